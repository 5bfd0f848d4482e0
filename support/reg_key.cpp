#include "support/reg_key.h"

namespace {

constexpr uint32_t kAllAccessFlags = 0xFE;
constexpr uint32_t kKeyAllAccess = 0xF003F;
constexpr uint32_t kReadBufferSize = 2048;

// The right each of bits 1 to 7 asks for.
constexpr uint32_t kRights[8] = {
    0,        // bit 0: open, not a right
    0x20,     // KEY_CREATE_LINK
    0x04,     // KEY_CREATE_SUB_KEY
    0x08,     // KEY_ENUMERATE_SUB_KEYS
    0x20019,  // KEY_READ
    0x10,     // KEY_NOTIFY
    0x01,     // KEY_QUERY_VALUE
    0x02,     // KEY_SET_VALUE
};

}  // namespace

uint32_t AccessMask(uint32_t accessFlags) {
  if (accessFlags == kAllAccessFlags) return kKeyAllAccess;
  uint32_t mask = 0;
  for (uint32_t bit = 1; bit < 8; ++bit) {
    if ((accessFlags & (1u << bit)) != 0) mask |= kRights[bit];
  }
  return mask;
}

RegKey::~RegKey() { Close(); }

void RegKey::Close() {
  if (key_ == nullptr) return;
  platform::RegistryClose(key_);
  key_ = nullptr;
}

uint32_t RegKey::Open(platform::RegistryHandle* root, const char* subkeyPath,
                      uint32_t accessFlags, void* securityAttributes) {
  Close();
  uint32_t mask = AccessMask(accessFlags);
  platform::RegistryHandle* key = nullptr;
  uint32_t result;
  if ((accessFlags & kOpenExisting) != 0) {
    result = platform::RegistryOpen(root, subkeyPath, mask, &key);
  } else {
    uint32_t options = (accessFlags & kVolatile) != 0 ? 1 : 0;
    result = platform::RegistryCreate(root, subkeyPath, options, mask,
                                      securityAttributes, &key);
  }
  key_ = result == platform::kErrorSuccess ? key : nullptr;
  return result;
}

uint32_t RegKey::QueryString(const char* valueName, DynString* out) {
  char* buffer = out->OpenBuffer(kReadBufferSize);
  if (buffer == nullptr) return 0;
  uint32_t size = kReadBufferSize;
  uint32_t result =
      key_ == nullptr ? platform::kErrorFileNotFound
                      : platform::RegistryQuery(key_, valueName, buffer, &size);
  if (result != platform::kErrorSuccess) {
    // Whatever a failed call left in the buffer is no value.
    out->CloseBuffer(0);
    return 0;
  }
  // Data without a NUL ends where the bytes read end.
  uint32_t length = 0;
  while (length < size && buffer[length] != '\0') ++length;
  out->CloseBuffer(length);
  return size;
}
