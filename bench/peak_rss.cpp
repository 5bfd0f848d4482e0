// Runs a command and writes its peak resident set (KiB, from wait4) to a
// file.  A small static program of its own, as the peak counts what the
// child held before it exec'd: forked from Python it would start at
// Python's size.
//
//   peak_rss OUTFILE COMMAND [ARGS...]
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: peak_rss OUTFILE COMMAND [ARGS...]\n");
    return 2;
  }
  pid_t child = fork();
  if (child < 0) return 127;
  if (child == 0) {
    execvp(argv[2], argv + 2);
    _exit(127);
  }
  int status = 0;
  struct rusage usage;
  if (wait4(child, &status, 0, &usage) != child) return 127;
  FILE* out = fopen(argv[1], "w");
  if (out == nullptr) return 127;
  fprintf(out, "%ld\n", usage.ru_maxrss);
  fclose(out);
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + WTERMSIG(status);
}
