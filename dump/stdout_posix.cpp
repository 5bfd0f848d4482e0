#include <cstdio>

#include "dump/stdout.h"

// POSIX streams carry bytes as they are.
void SetStdoutBinary() {}

// Renaming over an open file never fails on POSIX.
FILE* OpenDatabase(const char* path) { return fopen(path, "rb"); }
