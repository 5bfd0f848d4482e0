// Prints how wide the running program's pointers are: the tests under Wine
// run only where Wine runs a program of the build's own width.
#include <cstdio>

int main() {
  std::printf("%d-bit\n", static_cast<int>(sizeof(void*) * 8));
  return 0;
}
