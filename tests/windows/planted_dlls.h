// DLLs planted beside a copy of the updater and in its current folder, as a
// Downloads folder may hold them, to show that the updater loads none of
// them. The copies are of one marker DLL that, once loaded, leaves a file
// NAME.dll.loaded beside itself.
#pragma once

#include <string>
#include <vector>

#include "updater_process.h"

// The DLL names that WINEDLLOVERRIDES asks Wine to look for native first,
// as Windows looks for any DLL, in lower case.
std::vector<std::string> native_first_overrides();

struct PlantingPlan {
  // Each DLL the updater loaded and each name that WINEDLLOVERRIDES asks Wine
  // to look for as Windows does, native first; sorted, each once.
  std::vector<std::string> names;
  // Those of them left out, as "name: why Windows never looks for it in a
  // program's folder".
  std::vector<std::string> left_out;
  // Names to plant that WINEDLLOVERRIDES does not ask for native first: Wine
  // would load its own DLL of that name and so hide a planted copy.
  std::vector<std::string> not_native_first;
};

PlantingPlan plan_planting(const std::vector<std::string> &loaded);

// Copies the marker into folder under each name; false when one fails.
bool plant_marker(const std::string &marker, const std::string &folder, const std::vector<std::string> &names);

// The names whose copy in folder was loaded.
std::vector<std::string> planted_copies_loaded(const std::string &folder, const std::vector<std::string> &names);

// The names of the loaded modules that do not lie in the system folder, in
// the order loaded, in lower case and without ".dll": "hid", "korvane_updater.exe".
std::vector<std::string> loaded_outside_the_system_folder(const std::vector<std::string> &loaded);
