#include "platform/posix/config_lines.h"

namespace platform::posix {

bool LineReader::Next(std::string* line) {
  if (next_ >= text_.size()) return false;
  size_t end = text_.find('\n', next_);
  if (end == std::string::npos) end = text_.size();
  line->assign(text_, next_, end - next_);
  next_ = end + 1;
  ++number_;
  return true;
}

std::string Escaped(const std::string& text) {
  static const char kDigits[] = "0123456789abcdef";
  std::string shown;
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) {
      shown += "\\x";
      shown += kDigits[byte >> 4];
      shown += kDigits[byte & 0xF];
    } else {
      shown += c;
    }
  }
  return shown;
}

std::string ConfigurationError(const char* kind, const std::string& fileName,
                               unsigned lineNumber, const std::string& reason) {
  return std::string(kind) + " " + Escaped(fileName) + ", line " +
         std::to_string(lineNumber) + ": " + Escaped(reason) + ".\n";
}

}  // namespace platform::posix
