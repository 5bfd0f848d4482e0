// The current user's registry, read from a REGEDIT4 export (config.cpp
// loads it).  Keys the program creates live in memory only: kavelo never
// writes the registry.
#include <cstring>
#include <new>
#include <string>
#include <utility>

#include "platform/platform.h"
#include "platform/posix/internal.h"

namespace platform {

struct RegistryHandle {
  std::string path;  // the full key path, from HKEY_CURRENT_USER
};

namespace {

posix::RegistryKeys gRegistry;
RegistryHandle gCurrentUser = {"HKEY_CURRENT_USER"};

std::string SubkeyPath(RegistryHandle* root, const char* path) {
  std::string full = root->path;
  if (path != nullptr && path[0] != '\0') full += std::string("\\") + path;
  return full;
}

}  // namespace

void posix::InstallRegistry(RegistryKeys keys) { gRegistry = std::move(keys); }

RegistryHandle* CurrentUserRoot() { return &gCurrentUser; }

uint32_t RegistryOpen(RegistryHandle* root, const char* path, uint32_t,
                      RegistryHandle** key) {
  *key = nullptr;
  std::string full = SubkeyPath(root, path);
  if (gRegistry.find(full) == gRegistry.end()) return kErrorFileNotFound;
  *key = new (std::nothrow) RegistryHandle{full};
  return *key != nullptr ? kErrorSuccess : kErrorOutOfMemory;
}

uint32_t RegistryCreate(RegistryHandle* root, const char* path, uint32_t,
                        uint32_t, void*, RegistryHandle** key) {
  std::string full = SubkeyPath(root, path);
  gRegistry[full];
  *key = new (std::nothrow) RegistryHandle{full};
  return *key != nullptr ? kErrorSuccess : kErrorOutOfMemory;
}

uint32_t RegistryQuery(RegistryHandle* key, const char* name, void* data,
                       uint32_t* size) {
  auto found = gRegistry.find(key->path);
  if (found == gRegistry.end()) return kErrorFileNotFound;
  auto value = found->second.find(name != nullptr ? name : "");
  if (value == found->second.end()) return kErrorFileNotFound;
  uint32_t needed = static_cast<uint32_t>(value->second.size());
  // As RegQueryValueExA: too small a buffer gets the size it needs.
  if (data != nullptr && needed > *size) {
    *size = needed;
    return kErrorMoreData;
  }
  if (data != nullptr) memcpy(data, value->second.data(), needed);
  *size = needed;
  return kErrorSuccess;
}

uint32_t RegistryClose(RegistryHandle* key) {
  if (key != &gCurrentUser) delete key;
  return kErrorSuccess;
}

}  // namespace platform
