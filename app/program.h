// The whole program behind main: options, platform configuration, stored
// settings, the scan run and its message.
#pragma once

// Runs kavelo once with `argv` and returns its exit code; messages go to
// standard error.  Each call starts from the options of its own command
// line, so a test can run the program several times in one process.
int RunProgram(int argc, char** argv);
