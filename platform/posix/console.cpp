// The console: _getch over the controlling terminal, read raw only while it
// waits, with escape sequences decoded to _getch's two values; and writing
// to that terminal.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>

#include "platform/platform.h"
#include "platform/posix/internal.h"
#include "platform/posix/key_sequences.h"

namespace platform {

namespace {

using posix::DecodeKeySequence;
using posix::SequenceMatch;

// A lone ESC, or the start of a sequence?  Terminals send a sequence's bytes
// together; a person cannot type the next key this fast.
constexpr int kSequenceWaitMs = 50;
constexpr int kEscapeKey = 0x1B;

int gTerminal = -1;
struct termios gSaved;
volatile sig_atomic_t gRawMode = 0;
int gPendingCode = -1;  // the second value of an extended key

constexpr int kRestoredSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
struct sigaction gPrevious[sizeof kRestoredSignals / sizeof(int)];

// Puts the terminal back before the signal does its usual work, so that an
// interrupted read never leaves the user's shell without echo.
void RestoreAndRaise(int signal) {
  if (gRawMode) tcsetattr(gTerminal, TCSAFLUSH, &gSaved);
  gRawMode = 0;
  for (size_t i = 0; i < sizeof kRestoredSignals / sizeof(int); ++i) {
    if (kRestoredSignals[i] == signal)
      sigaction(signal, &gPrevious[i], nullptr);
  }
  raise(signal);
}

// One byte from the terminal, waiting at most `timeoutMs` (-1: for ever).
// -1 on end of input, a read error or the timeout.
int ReadByte(int timeoutMs) {
  struct pollfd ready = {gTerminal, POLLIN, 0};
  for (;;) {
    int polled = poll(&ready, 1, timeoutMs);
    if (polled < 0 && errno == EINTR) continue;
    if (polled <= 0) return -1;
    unsigned char byte;
    ssize_t got = read(gTerminal, &byte, 1);
    if (got < 0 && errno == EINTR) continue;
    return got == 1 ? byte : -1;
  }
}

// Reads one key in raw mode: its character, or for a key without one the
// lead, with its extended code left in gPendingCode.
int ReadRawKey() {
  int first = ReadByte(-1);
  if (first != kEscapeKey) return first;
  unsigned char sequence[16] = {kEscapeKey};
  size_t length = 1;
  int lead = 0;
  int code = 0;
  for (;;) {
    SequenceMatch match = DecodeKeySequence(sequence, length, &lead, &code);
    if (match == SequenceMatch::Key) {
      gPendingCode = code;
      return lead;
    }
    if (match == SequenceMatch::Unknown || length == sizeof sequence) break;
    int next = ReadByte(kSequenceWaitMs);
    if (next < 0) break;
    sequence[length++] = static_cast<unsigned char>(next);
  }
  // An escape alone, or a sequence no key sends: taken whole as the escape
  // key, so that none of its letters answers the prompt.
  while (length > 1 && ReadByte(0) >= 0) {
  }
  return kEscapeKey;
}

// Opens the controlling terminal once.  False when the process has none.
bool OpenTerminal() {
  if (gTerminal < 0) {
    gTerminal = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  }
  return gTerminal >= 0;
}

}  // namespace

int ReadKey() {
  if (gPendingCode >= 0) {
    int code = gPendingCode;
    gPendingCode = -1;
    return code;
  }
  if (!OpenTerminal()) return -1;
  if (tcgetattr(gTerminal, &gSaved) != 0) return -1;
  struct termios raw = gSaved;
  // As _getch: no line input, no echo, Ctrl+C and Ctrl+S as characters,
  // Enter as carriage return.
  raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG | IEXTEN);
  raw.c_iflag &= ~static_cast<tcflag_t>(IXON | ICRNL | INLCR | IGNCR);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;

  struct sigaction restore = {};
  restore.sa_handler = RestoreAndRaise;
  sigemptyset(&restore.sa_mask);
  for (size_t i = 0; i < sizeof kRestoredSignals / sizeof(int); ++i) {
    sigaction(kRestoredSignals[i], &restore, &gPrevious[i]);
  }
  int key = -1;
  if (tcsetattr(gTerminal, TCSANOW, &raw) == 0) {
    gRawMode = 1;
    key = ReadRawKey();
    gRawMode = 0;
    tcsetattr(gTerminal, TCSANOW, &gSaved);
  }
  for (size_t i = 0; i < sizeof kRestoredSignals / sizeof(int); ++i) {
    sigaction(kRestoredSignals[i], &gPrevious[i], nullptr);
  }
  return key;
}

bool WriteToConsole(const char* text, uint32_t length) {
  if (!OpenTerminal()) return false;
  uint32_t written;
  return WriteToFile(posix::HandleOf(gTerminal), text, length, &written);
}

}  // namespace platform
