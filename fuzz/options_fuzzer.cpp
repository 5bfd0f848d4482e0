// The command line: the input's NUL-separated pieces are the arguments.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/options.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> pieces = {"kavelo"};
  size_t start = 0;
  for (size_t end; (end = text.find('\0', start)) != std::string::npos;
       start = end + 1) {
    pieces.push_back(text.substr(start, end - start));
  }
  pieces.push_back(text.substr(start));
  std::vector<const char*> argv;
  for (const std::string& piece : pieces) argv.push_back(piece.c_str());
  argv.push_back(nullptr);

  RunRequest request;
  DynString creator;
  DynString description;
  ParseCommandLine(static_cast<int>(pieces.size()), argv.data(), &request,
                   &creator, &description);
  // Each value fits its buffer or is named as too long, never both.
  size_t drives = strnlen(request.driveSpecification, kDriveSpecificationSize);
  size_t path = strnlen(request.databasePath, platform::kPathSize);
  if (drives == kDriveSpecificationSize || path == platform::kPathSize) abort();
  if (request.overlongDriveSpecification != nullptr &&
      (drives != 0 ||
       strlen(request.overlongDriveSpecification) < kDriveSpecificationSize)) {
    abort();
  }
  if (request.overlongDatabasePath != nullptr &&
      (path != 0 ||
       strlen(request.overlongDatabasePath) < platform::kPathSize)) {
    abort();
  }
  if (strlen(creator.Text()) != creator.Length() ||
      strlen(description.Text()) != description.Length()) {
    abort();
  }
  return 0;
}
