// One open registry key, closed when the wrapper is destroyed or reopened.
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "support/dyn_string.h"

// The system's access mask for kavelo's compact access-flags word:
//   bit 1 KEY_CREATE_LINK, 2 KEY_CREATE_SUB_KEY, 3 KEY_ENUMERATE_SUB_KEYS,
//   4 KEY_READ, 5 KEY_NOTIFY, 6 KEY_QUERY_VALUE, 7 KEY_SET_VALUE;
//   the whole word 0xFE means KEY_ALL_ACCESS.
// Bit 0 (open an existing key only) and bit 8 (create volatile) are no rights.
uint32_t AccessMask(uint32_t accessFlags);

class RegKey {
 public:
  enum : uint32_t {
    kOpenExisting = 0x01,
    kVolatile = 0x100,
  };

  RegKey() = default;
  virtual ~RegKey();
  RegKey(const RegKey&) = delete;
  RegKey& operator=(const RegKey&) = delete;

  // Opens `subkeyPath` under `root` (bit 0 of `accessFlags` set), or creates
  // it or opens it when it exists (bit 0 clear).  Returns the system's error
  // code, 0 on success; on failure no key is open.
  uint32_t Open(platform::RegistryHandle* root, const char* subkeyPath,
                uint32_t accessFlags, void* securityAttributes);

  // Reads value `valueName` into `out`, as text up to its first NUL or the
  // end of the bytes read.  Returns the value's size in bytes, or 0 when it
  // cannot be read (missing, larger than 2048 bytes, no key open); `out` is
  // then empty.
  uint32_t QueryString(const char* valueName, DynString* out);

 private:
  void Close();

  platform::RegistryHandle* key_ = nullptr;
};
