// The POSIX registry file: any text is parsed or refused with a message
// that names the line and holds no control byte but its final line feed.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/posix/reg_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  platform::posix::RegistryKeys keys;
  std::string error;
  if (platform::posix::ParseRegistryFile(text, "user.reg", &keys, &error)) {
    // Every stored string value came with its NUL.
    return 0;
  }
  if (error.compare(0, 23, "Registry file user.reg,") != 0) abort();
  for (size_t i = 0; i + 1 < error.size(); ++i) {
    auto byte = static_cast<unsigned char>(error[i]);
    if (byte < 0x20 || byte == 0x7F) abort();
  }
  if (error.back() != '\n') abort();
  return 0;
}
