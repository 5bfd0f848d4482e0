#include "support/text.h"

#include <cstring>

bool CopyIfFits(const char* text, size_t length, char* buffer, size_t size) {
  if (length >= size) {
    buffer[0] = '\0';
    return false;
  }
  memcpy(buffer, text, length);
  buffer[length] = '\0';
  return true;
}

int LastIndexOf(const char* text, char character) {
  int last = -1;
  for (int i = 0; text[i] != '\0'; ++i) {
    if (text[i] == character) last = i;
  }
  return last;
}
