#include "planted_dlls.h"

#include <windows.h>

#include <algorithm>
#include <cctype>

#include "test_files.h"

namespace {

std::string lower_case(std::string text) {
  for (char &c : text) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return text;
}

std::string folder_of(const std::string &path) { return lower_case(path.substr(0, path.find_last_of("\\/") + 1)); }

// "hid" for "C:\\windows\\system32\\HID.dll".
std::string module_name(const std::string &path) {
  std::string name = lower_case(path.substr(path.find_last_of("\\/") + 1));
  return name.size() > 4 && name.compare(name.size() - 4, 4, ".dll") == 0 ? name.substr(0, name.size() - 4) : name;
}

const char *const KNOWN_DLL = "a known DLL: Windows always takes it, and the DLLs it imports, from the system folder";

struct LeftOut {
  const char *name;
  const char *reason;
};

const LeftOut NEVER_SEARCHED[] = {
    {"ntdll", "loaded by the system into every process before any search"},
    {"kernelbase", "imported by KERNEL32, a known DLL"},
    // Windows' known DLLs (the KnownDLLs list of Windows 10).
    {"advapi32", KNOWN_DLL},
    {"clbcatq", KNOWN_DLL},
    {"combase", KNOWN_DLL},
    {"comdlg32", KNOWN_DLL},
    {"coml2", KNOWN_DLL},
    {"difxapi", KNOWN_DLL},
    {"gdi32", KNOWN_DLL},
    {"gdiplus", KNOWN_DLL},
    {"imagehlp", KNOWN_DLL},
    {"imm32", KNOWN_DLL},
    {"kernel32", KNOWN_DLL},
    {"msctf", KNOWN_DLL},
    {"msvcrt", KNOWN_DLL},
    {"normaliz", KNOWN_DLL},
    {"nsi", KNOWN_DLL},
    {"ole32", KNOWN_DLL},
    {"oleaut32", KNOWN_DLL},
    {"psapi", KNOWN_DLL},
    {"rpcrt4", KNOWN_DLL},
    {"sechost", KNOWN_DLL},
    {"setupapi", KNOWN_DLL},
    {"shcore", KNOWN_DLL},
    {"shell32", KNOWN_DLL},
    {"shlwapi", KNOWN_DLL},
    {"user32", KNOWN_DLL},
    {"wldap32", KNOWN_DLL},
    {"ws2_32", KNOWN_DLL},
    // Loaded under Wine only because Wine's own builtin known DLLs import
    // them; Wine searches for those imports like any other DLL, Windows
    // takes them from the system folder with the known DLL.
    {"version", "imported by Wine's builtin SETUPAPI"},
    {"ucrtbase", "imported by Wine's builtin msvcrt"},
    {"win32u", "imported by Wine's builtin USER32 and GDI32"},
};

} // namespace

// From entries such as "hid,version=n,b".
std::vector<std::string> native_first_overrides() {
  char overrides[4096] = "";
  GetEnvironmentVariableA("WINEDLLOVERRIDES", overrides, sizeof overrides);
  std::vector<std::string> names;
  const std::string text = lower_case(overrides);
  for (std::size_t start = 0, end; start < text.size(); start = end + 1) {
    end = std::min(text.find(';', start), text.size());
    const std::size_t equals = text.find('=', start);
    if (equals >= end || text.compare(equals + 1, 1, "n") != 0) continue;
    for (std::size_t name = start, comma; name < equals; name = comma + 1) {
      comma = std::min(text.find(',', name), equals);
      names.push_back(text.substr(name, comma - name));
    }
  }
  return names;
}

PlantingPlan plan_planting(const std::vector<std::string> &loaded) {
  const std::vector<std::string> native_first = native_first_overrides();
  std::vector<std::string> candidates = native_first;
  for (const std::string &path : loaded) {
    const std::string name = module_name(path);
    if (name.find('.') == std::string::npos) candidates.push_back(name); // not the exe
  }
  std::sort(candidates.begin(), candidates.end());
  candidates.erase(std::unique(candidates.begin(), candidates.end()), candidates.end());

  PlantingPlan plan;
  for (const std::string &name : candidates) {
    const auto left_out = std::find_if(std::begin(NEVER_SEARCHED), std::end(NEVER_SEARCHED),
                                       [&](const LeftOut &entry) { return name == entry.name; });
    if (left_out != std::end(NEVER_SEARCHED)) {
      plan.left_out.push_back(name + ": " + left_out->reason);
      continue;
    }
    plan.names.push_back(name);
    if (std::find(native_first.begin(), native_first.end(), name) == native_first.end()) {
      plan.not_native_first.push_back(name);
    }
  }
  return plan;
}

bool plant_marker(const std::string &marker, const std::string &folder, const std::vector<std::string> &names) {
  bool planted = true;
  for (const std::string &name : names) {
    const std::string copy = folder + name + ".dll";
    DeleteFileA((copy + ".loaded").c_str());
    planted = CopyFileA(marker.c_str(), copy.c_str(), FALSE) != 0 && planted;
  }
  return planted;
}

std::vector<std::string> planted_copies_loaded(const std::string &folder, const std::vector<std::string> &names) {
  std::vector<std::string> loaded;
  for (const std::string &name : names) {
    if (file_exists(folder + name + ".dll.loaded")) loaded.push_back(name);
  }
  return loaded;
}

std::vector<std::string> loaded_outside_the_system_folder(const std::vector<std::string> &loaded) {
  char system[MAX_PATH];
  const UINT length = GetSystemDirectoryA(system, MAX_PATH);
  const std::string system_folder = lower_case(std::string(system, length)) + "\\";
  std::vector<std::string> outside;
  for (const std::string &path : loaded) {
    if (folder_of(path) != system_folder) outside.push_back(module_name(path));
  }
  return outside;
}
