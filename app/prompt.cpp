#include "app/prompt.h"

#include <cstdio>

#include "platform/platform.h"

bool AnswerForKey(int key, DriveAnswer* answer) {
  switch (key) {
    case 'A':
    case 'a': *answer = DriveAnswer::Abort; return true;
    case 'R':
    case 'r': *answer = DriveAnswer::Retry; return true;
    case 'I':
    case 'i': *answer = DriveAnswer::Ignore; return true;
    default: return false;
  }
}

namespace {

bool gDatabaseOnOutput = false;

// Shows the `length` bytes of `text` where the prompt goes, at once.  The
// echo of a key without a character is a NUL: the length says where the
// text ends.
void Show(const char* text, int length) {
  if (length <= 0) return;
  if (gDatabaseOnOutput &&
      platform::WriteToConsole(text, static_cast<uint32_t>(length))) {
    return;
  }
  FILE* out = gDatabaseOnOutput ? stderr : stdout;
  fwrite(text, 1, static_cast<size_t>(length), out);
  fflush(out);
}

}  // namespace

void PromptBesideDatabase(bool databaseOnOutput) {
  gDatabaseOnOutput = databaseOnOutput;
}

DriveAnswer AskDriveNotReady(char letter) {
  char text[64];
  DriveAnswer answer;
  for (;;) {
    Show(text, snprintf(text, sizeof text,
                        "Cannot read drive %c. Drive not ready. Abort, Retry, "
                        "Ignore? ",
                        letter));
    int key = platform::ReadKey();
    if (key < 0) {
      // Nobody can answer: asking again would never end.
      Show("\n", 1);
      return DriveAnswer::Ignore;
    }
    Show(text, snprintf(text, sizeof text, "%c\n", key));
    if (AnswerForKey(key, &answer)) return answer;
  }
}
