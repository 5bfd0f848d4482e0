#include "dump/stdout.h"

// POSIX streams carry bytes as they are.
void SetStdoutBinary() {}
