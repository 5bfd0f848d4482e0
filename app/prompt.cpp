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

bool gToError = false;

}  // namespace

void PromptToStandardError(bool toError) { gToError = toError; }

DriveAnswer AskDriveNotReady(char letter) {
  FILE* out = gToError ? stderr : stdout;
  DriveAnswer answer;
  for (;;) {
    fprintf(out,
            "Cannot read drive %c. Drive not ready. Abort, Retry, Ignore? ",
            letter);
    fflush(out);
    int key = platform::ReadKey();
    if (key < 0) {
      // Nobody can answer: asking again would never end.
      fprintf(out, "\n");
      fflush(out);
      return DriveAnswer::Ignore;
    }
    fprintf(out, "%c\n", key);
    fflush(out);
    if (AnswerForKey(key, &answer)) return answer;
  }
}
