// The POSIX registry file: any text is parsed or refused with a message
// that names the line and holds no control byte but its final line feed;
// what is parsed, written out again as an export, parses to the same keys.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/posix/reg_file.h"

namespace {

using platform::posix::ParseRegistryFile;
using platform::posix::RegistryKeys;

std::string Quoted(const std::string& text) {
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"') quoted += '\\';
    quoted += c;
  }
  return quoted + "\"";
}

std::string Export(const RegistryKeys& keys) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text = "REGEDIT4\n";
  for (const auto& [path, values] : keys) {
    text += "\n[" + path + "]\n";
    for (const auto& [name, bytes] : values) {
      text += (name.empty() ? std::string("@") : Quoted(name)) + "=hex:";
      for (size_t i = 0; i < bytes.size(); ++i) {
        auto byte = static_cast<unsigned char>(bytes[i]);
        if (i != 0) text += ',';
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0xF];
      }
      text += '\n';
    }
  }
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  RegistryKeys keys;
  std::string error;
  if (ParseRegistryFile(text, "user.reg", &keys, &error)) {
    RegistryKeys again;
    if (!ParseRegistryFile(Export(keys), "again.reg", &again, &error) ||
        again != keys) {
      abort();
    }
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
