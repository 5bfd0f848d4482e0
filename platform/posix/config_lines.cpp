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

std::string ConfigurationError(const char* kind, const std::string& fileName,
                               unsigned lineNumber, const std::string& reason) {
  return std::string(kind) + " " + fileName + ", line " +
         std::to_string(lineNumber) + ": " + reason + ".\n";
}

}  // namespace platform::posix
