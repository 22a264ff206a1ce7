// Each of the updater's two defences against a DLL lying in its folder, on
// its own. This program lies in a folder that holds a marker hid.dll and runs
// with that folder as its current folder, with Wine asked to look for hid.dll
// as Windows does (native first). Each test runs in a process of its own.
#include <gtest/gtest.h>

#include <cstring>
#include <windows.h>
#include <winternl.h>

#include "driver/library_search.h"
#include "hid/bootloader_link.h"
#include "hid/hid_device.h"
#include "test_files.h"

// Windows 7 without update KB2533623 has no SetDefaultDllDirectories and
// refuses the LOAD_LIBRARY_SEARCH_* flags with error 87. The tests take the
// place of the GetProcAddress and LoadLibraryExW imports of the code under
// test to show such a system when old_windows is set; otherwise they pass
// every call on.
static bool old_windows = false;
static int default_directories_asked = 0;
static int search_flags_refused = 0;

extern "C" NTSTATUS NTAPI LdrGetProcedureAddress(HMODULE, const ANSI_STRING *, ULONG, void **);

static FARPROC WINAPI get_proc_address_for_tests(HMODULE module, LPCSTR name) {
  const bool by_name = reinterpret_cast<ULONG_PTR>(name) > 0xFFFF;
  if (by_name && std::strcmp(name, "SetDefaultDllDirectories") == 0) {
    ++default_directories_asked;
    if (old_windows) {
      SetLastError(ERROR_PROC_NOT_FOUND);
      return nullptr;
    }
  }
  ANSI_STRING name_string = {};
  if (by_name) RtlInitAnsiString(&name_string, name);
  void *address = nullptr;
  const ULONG ordinal = by_name ? 0 : static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(name));
  if (LdrGetProcedureAddress(module, by_name ? &name_string : nullptr, ordinal, &address) != 0) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  return reinterpret_cast<FARPROC>(address);
}

static HMODULE WINAPI load_library_ex_for_tests(LPCWSTR name, HANDLE file, DWORD flags) {
  constexpr DWORD SEARCH_FLAGS = 0xFFFFFF00;
  if (old_windows && (flags & SEARCH_FLAGS) != 0) {
    ++search_flags_refused;
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  typedef HMODULE(WINAPI * load_library_ex_function)(LPCWSTR, HANDLE, DWORD);
  const auto real = reinterpret_cast<load_library_ex_function>(
      reinterpret_cast<void (*)()>(get_proc_address_for_tests(GetModuleHandleA("kernel32.dll"), "LoadLibraryExW")));
  return real(name, file, flags);
}

// On Windows, SetDllDirectoryW(L"") takes the current folder out of the
// search. Wine 8 takes an empty folder for none set and keeps searching the
// current folder, but honours a folder that is given: here the system
// folder, which then takes the current folder's place and adds nothing.
static BOOL WINAPI set_dll_directory_for_tests(LPCWSTR folder) {
  typedef BOOL(WINAPI * set_dll_directory_function)(LPCWSTR);
  const auto real = reinterpret_cast<set_dll_directory_function>(
      reinterpret_cast<void (*)()>(get_proc_address_for_tests(GetModuleHandleA("kernel32.dll"), "SetDllDirectoryW")));
  if (folder == nullptr || *folder != L'\0') return real(folder);
  wchar_t system_folder[MAX_PATH];
  const UINT length = GetSystemDirectoryW(system_folder, MAX_PATH);
  return length != 0 && length < MAX_PATH && real(system_folder);
}

// The import slots the linker would otherwise fill from kernel32.
extern "C" FARPROC(WINAPI *get_proc_address_import)(HMODULE, LPCSTR) __asm__("__imp__GetProcAddress@8");
FARPROC(WINAPI *get_proc_address_import)(HMODULE, LPCSTR) = get_proc_address_for_tests;
extern "C" HMODULE(WINAPI *load_library_ex_import)(LPCWSTR, HANDLE, DWORD) __asm__("__imp__LoadLibraryExW@12");
HMODULE(WINAPI *load_library_ex_import)(LPCWSTR, HANDLE, DWORD) = load_library_ex_for_tests;
extern "C" BOOL(WINAPI *set_dll_directory_import)(LPCWSTR) __asm__("__imp__SetDllDirectoryW@4");
BOOL(WINAPI *set_dll_directory_import)(LPCWSTR) = set_dll_directory_for_tests;

namespace {

std::string module_path(HMODULE module) {
  char path[MAX_PATH];
  return std::string(path, GetModuleFileNameA(module, path, MAX_PATH));
}

std::string system_hid_path() {
  char path[MAX_PATH];
  return std::string(path, GetSystemDirectoryA(path, MAX_PATH)) + "\\hid.dll";
}

class PlantedFolder : public testing::Test {
protected:
  void SetUp() override {
    char current[MAX_PATH];
    const std::string folder = std::string(current, GetCurrentDirectoryA(MAX_PATH, current)) + "\\";
    ASSERT_STRCASEEQ(folder.c_str(), program_folder().c_str()) << "not run in the program's own folder";
    DeleteFileA(mark.c_str());
  }

  const std::string mark = program_folder() + "hid.dll.loaded";
};

// The search order that the other tests meet reaches the marker.
TEST_F(PlantedFolder, APlainLoadTakesTheMarker) {
  ASSERT_NE(LoadLibraryA("hid.dll"), nullptr);
  EXPECT_TRUE(file_exists(mark));
}

TEST_F(PlantedFolder, TheRestrictedSearchTakesNothingFromTheProgramOrCurrentFolder) {
  restrict_library_search();
  const HMODULE hid = LoadLibraryA("hid.dll");
  EXPECT_FALSE(file_exists(mark)) << "the marker was loaded";
  ASSERT_NE(hid, nullptr);
  EXPECT_STRCASEEQ(module_path(hid).c_str(), system_hid_path().c_str());
}

// Without the restricted search: the device search alone must not take it.
TEST_F(PlantedFolder, TheDeviceSearchTakesTheSystemHidLibrary) {
  EXPECT_EQ(hid_find_device(BOOTLOADER_VENDOR_ID, BOOTLOADER_PRODUCT_ID, BOOTLOADER_OUTPUT_REPORT_LENGTH), NO_DEVICE);
  EXPECT_FALSE(file_exists(mark)) << "the marker was loaded";
  const HMODULE hid = GetModuleHandleA("hid.dll");
  ASSERT_NE(hid, nullptr);
  EXPECT_STRCASEEQ(module_path(hid).c_str(), system_hid_path().c_str());
}

// On such a system only SetDllDirectoryW(L"") takes the current folder out
// of the search, and hid.dll is loaded by its full path in the system
// folder. The current folder here is another than the program's and holds
// the marker as hid.dll and under a name no system DLL has.
TEST_F(PlantedFolder, WithoutTheSearchFlagsTheCurrentFolderIsOutAndHidComesFromTheSystemFolder) {
  const std::string current = program_folder() + "current\\";
  CreateDirectoryA(current.c_str(), nullptr);
  for (const char *name : {"hid.dll", "korvane-planted.dll"}) {
    ASSERT_TRUE(CopyFileA((program_folder() + "hid.dll").c_str(), (current + name).c_str(), FALSE)) << name;
    DeleteFileA((current + name + ".loaded").c_str());
  }
  ASSERT_TRUE(SetCurrentDirectoryA(current.c_str()));
  old_windows = true;

  restrict_library_search();
  EXPECT_EQ(default_directories_asked, 1);
  EXPECT_EQ(LoadLibraryA("korvane-planted.dll"), nullptr);
  EXPECT_FALSE(file_exists(current + "korvane-planted.dll.loaded")) << "the current folder was searched";

  EXPECT_EQ(hid_find_device(BOOTLOADER_VENDOR_ID, BOOTLOADER_PRODUCT_ID, BOOTLOADER_OUTPUT_REPORT_LENGTH), NO_DEVICE);
  EXPECT_EQ(search_flags_refused, 1) << "the search flags were not tried first";
  EXPECT_FALSE(file_exists(current + "hid.dll.loaded")) << "the marker in the current folder was loaded";
  EXPECT_FALSE(file_exists(mark)) << "the marker beside the program was loaded";
  const HMODULE hid = GetModuleHandleA("hid.dll");
  ASSERT_NE(hid, nullptr);
  EXPECT_STRCASEEQ(module_path(hid).c_str(), system_hid_path().c_str());
}

} // namespace
