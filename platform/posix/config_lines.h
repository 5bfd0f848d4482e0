// The line-by-line reading that the drive table and the registry file share,
// and the one form of their messages.
#pragma once

#include <string>

namespace platform::posix {

// The lines of a configuration text, numbered from 1.  A line break is
// `\n`; a `\r` before it stays in the line.
class LineReader {
 public:
  explicit LineReader(const std::string& text) : text_(text) {}

  // The next line, or false after the last.  A text ending in a line break
  // has no empty line after it.
  bool Next(std::string* line);
  // The number of the line Next gave last.
  unsigned Number() const { return number_; }

 private:
  const std::string& text_;
  size_t next_ = 0;
  unsigned number_ = 0;
};

// `text` with its control bytes (below 0x20, and 0x7F) shown as `\xNN`, so
// that it cannot drive the terminal it is printed to; every other byte,
// 8-bit ones included, as it is.
std::string Escaped(const std::string& text);

// "<kind> FILE, line N: reason.\n", with control bytes of the file name and
// the reason shown escaped, so that a line quoted from the file cannot
// drive the terminal.
std::string ConfigurationError(const char* kind, const std::string& fileName,
                               unsigned lineNumber, const std::string& reason);

}  // namespace platform::posix
