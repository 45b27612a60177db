// kv-resource-reader EXE: prints what Windows reads from an executable's
// resources: the application manifest, whether it has an icon, and its version
// information (fixed numbers and the FileVersion and ProductVersion texts).
// For the resource test, which runs it under wine.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr WORD kManifestId = 1;  // CREATEPROCESS_MANIFEST_RESOURCE_ID
constexpr WORD kIconId = 1;

void PrintManifest(HMODULE module) {
  HRSRC found = FindResourceA(module, MAKEINTRESOURCEA(kManifestId), MAKEINTRESOURCEA(24));
  if (found == nullptr) {
    std::printf("manifest: none\n");
    return;
  }
  HGLOBAL loaded = LoadResource(module, found);
  const char* text = loaded != nullptr ? static_cast<const char*>(LockResource(loaded)) : nullptr;
  const DWORD size = SizeofResource(module, found);
  std::printf("manifest: %lu bytes\n%.*s\n", static_cast<unsigned long>(size),
              text != nullptr ? static_cast<int>(size) : 0, text != nullptr ? text : "");
}

std::string VersionText(const std::vector<char>& info, const char* name) {
  const std::string path = std::string("\\StringFileInfo\\040904B0\\") + name;
  char* value = nullptr;
  UINT length = 0;
  if (!VerQueryValueA(info.data(), path.c_str(), reinterpret_cast<void**>(&value), &length) ||
      value == nullptr) {
    return "(none)";
  }
  return std::string(value, length > 0 ? length - 1 : 0);
}

bool PrintVersion(const char* file) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeA(file, &ignored);
  if (size == 0) {
    std::printf("version: none\n");
    return false;
  }
  std::vector<char> info(size);
  if (!GetFileVersionInfoA(file, 0, size, info.data())) return false;
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  if (VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&fixed), &length) &&
      fixed != nullptr) {
    std::printf("fixed: %lu.%lu.%lu.%lu\n",
                static_cast<unsigned long>(HIWORD(fixed->dwFileVersionMS)),
                static_cast<unsigned long>(LOWORD(fixed->dwFileVersionMS)),
                static_cast<unsigned long>(HIWORD(fixed->dwFileVersionLS)),
                static_cast<unsigned long>(LOWORD(fixed->dwFileVersionLS)));
  }
  for (const char* name : {"FileVersion", "ProductVersion", "ProductName", "OriginalFilename"}) {
    std::printf("%s: %s\n", name, VersionText(info, name).c_str());
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: kv-resource-reader EXE\n");
    return kExitUsage;
  }
  HMODULE module =
      LoadLibraryExA(argv[1], nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  if (module == nullptr) {
    std::printf("cannot load %s\n", argv[1]);
    return kExitFailed;
  }
  PrintManifest(module);
  std::printf(
      "icon: %s\n",
      FindResourceA(module, MAKEINTRESOURCEA(kIconId), RT_GROUP_ICON) != nullptr ? "yes" : "no");
  FreeLibrary(module);
  return PrintVersion(argv[1]) ? kExitOk : kExitFailed;
}
