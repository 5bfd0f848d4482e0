// The registry: RegOpenKeyExA, RegCreateKeyExA, RegQueryValueExA and
// RegCloseKey on the current user's keys.
//
// advapi32 is loaded when the registry is first used, not with the program:
// most runs name their drives and database and read no setting, and loading
// it costs a run a few milliseconds of processor time under Wine.
#include <windows.h>

#include "platform/platform.h"

namespace platform {
namespace {

HKEY AsKey(RegistryHandle* key) { return reinterpret_cast<HKEY>(key); }

struct Advapi {
  decltype(&RegOpenKeyExA) open;
  decltype(&RegCreateKeyExA) create;
  decltype(&RegQueryValueExA) query;
  decltype(&RegCloseKey) close;
};

template <typename Function>
bool Take(HMODULE module, const char* name, Function* function) {
  *function = reinterpret_cast<Function>(
      reinterpret_cast<void*>(GetProcAddress(module, name)));
  return *function != nullptr;
}

// The registry functions, or null when advapi32 cannot be had (each call
// then fails as the system would with the library missing).  Settings are
// read on the main thread alone.
const Advapi* Functions() {
  static Advapi functions;
  static bool loaded = false;
  if (!loaded) {
    HMODULE module = LoadLibraryA("advapi32.dll");
    loaded = module != nullptr &&
             Take(module, "RegOpenKeyExA", &functions.open) &&
             Take(module, "RegCreateKeyExA", &functions.create) &&
             Take(module, "RegQueryValueExA", &functions.query) &&
             Take(module, "RegCloseKey", &functions.close);
    if (!loaded) return nullptr;
  }
  return &functions;
}

}  // namespace

RegistryHandle* CurrentUserRoot() {
  return reinterpret_cast<RegistryHandle*>(HKEY_CURRENT_USER);
}

uint32_t RegistryOpen(RegistryHandle* root, const char* path, uint32_t access,
                      RegistryHandle** key) {
  HKEY opened = nullptr;
  const Advapi* advapi = Functions();
  LONG result = advapi == nullptr
                    ? ERROR_MOD_NOT_FOUND
                    : advapi->open(AsKey(root), path, 0, access, &opened);
  *key = reinterpret_cast<RegistryHandle*>(opened);
  return static_cast<uint32_t>(result);
}

uint32_t RegistryCreate(RegistryHandle* root, const char* path,
                        uint32_t options, uint32_t access, void* security,
                        RegistryHandle** key) {
  HKEY created = nullptr;
  const Advapi* advapi = Functions();
  LONG result =
      advapi == nullptr
          ? ERROR_MOD_NOT_FOUND
          : advapi->create(AsKey(root), path, 0, nullptr, options, access,
                           static_cast<LPSECURITY_ATTRIBUTES>(security),
                           &created, nullptr);
  *key = reinterpret_cast<RegistryHandle*>(created);
  return static_cast<uint32_t>(result);
}

uint32_t RegistryQuery(RegistryHandle* key, const char* name, void* data,
                       uint32_t* size) {
  DWORD bytes = *size;
  const Advapi* advapi = Functions();
  LONG result = advapi == nullptr
                    ? ERROR_MOD_NOT_FOUND
                    : advapi->query(AsKey(key), name, nullptr, nullptr,
                                    static_cast<BYTE*>(data), &bytes);
  *size = bytes;
  return static_cast<uint32_t>(result);
}

uint32_t RegistryClose(RegistryHandle* key) {
  const Advapi* advapi = Functions();
  return static_cast<uint32_t>(advapi == nullptr ? ERROR_MOD_NOT_FOUND
                                                 : advapi->close(AsKey(key)));
}

}  // namespace platform
