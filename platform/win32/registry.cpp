// The registry: RegOpenKeyExA, RegCreateKeyExA, RegQueryValueExA and
// RegCloseKey on the current user's keys.
#include <windows.h>

#include "platform/platform.h"

namespace platform {
namespace {

HKEY AsKey(RegistryHandle* key) { return reinterpret_cast<HKEY>(key); }

}  // namespace

RegistryHandle* CurrentUserRoot() {
  return reinterpret_cast<RegistryHandle*>(HKEY_CURRENT_USER);
}

uint32_t RegistryOpen(RegistryHandle* root, const char* path, uint32_t access,
                      RegistryHandle** key) {
  HKEY opened = nullptr;
  LONG result = RegOpenKeyExA(AsKey(root), path, 0, access, &opened);
  *key = reinterpret_cast<RegistryHandle*>(opened);
  return static_cast<uint32_t>(result);
}

uint32_t RegistryCreate(RegistryHandle* root, const char* path,
                        uint32_t options, uint32_t access, void* security,
                        RegistryHandle** key) {
  HKEY created = nullptr;
  LONG result = RegCreateKeyExA(AsKey(root), path, 0, nullptr, options, access,
                                static_cast<LPSECURITY_ATTRIBUTES>(security),
                                &created, nullptr);
  *key = reinterpret_cast<RegistryHandle*>(created);
  return static_cast<uint32_t>(result);
}

uint32_t RegistryQuery(RegistryHandle* key, const char* name, void* data,
                       uint32_t* size) {
  DWORD bytes = *size;
  LONG result = RegQueryValueExA(AsKey(key), name, nullptr, nullptr,
                                 static_cast<BYTE*>(data), &bytes);
  *size = bytes;
  return static_cast<uint32_t>(result);
}

uint32_t RegistryClose(RegistryHandle* key) {
  return static_cast<uint32_t>(RegCloseKey(AsKey(key)));
}

}  // namespace platform
