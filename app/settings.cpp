#include "app/settings.h"

#include <cstring>

#include "app/options.h"

int LastIndexOf(const char* text, char character) {
  int last = -1;
  for (int i = 0; text[i] != '\0'; ++i) {
    if (text[i] == character) last = i;
  }
  return last;
}

void DefaultDatabasePath(const char* programPath, char separator, char* out) {
  static const char kName[] = "FILES.DBS";
  size_t directory = static_cast<size_t>(LastIndexOf(programPath, separator) + 1);
  if (directory + sizeof kName > kDatabasePathSize) directory = 0;
  memcpy(out, programPath, directory);
  memcpy(out + directory, kName, sizeof kName);
}
