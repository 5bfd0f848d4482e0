// What differs between the systems for kavelo-dump.
#pragma once

#include <cstdio>

// Makes standard output pass bytes as they are: no line-end translation on
// Windows, where the C runtime starts it in text mode.
void SetStdoutBinary();

// Opens the database at `path` for reading in binary mode.  On Windows it is
// shared for reading, writing and deletion, so that kavelo can replace the
// database while a listing reads it.  Null with errno set on failure.
FILE* OpenDatabase(const char* path);
