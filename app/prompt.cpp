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

DriveAnswer AskDriveNotReady(char letter) {
  DriveAnswer answer;
  for (;;) {
    printf("Cannot read drive %c. Drive not ready. Abort, Retry, Ignore? ",
           letter);
    fflush(stdout);
    int key = platform::ReadKey();
    if (key < 0) {
      // Nobody can answer: asking again would never end.
      printf("\n");
      fflush(stdout);
      return DriveAnswer::Ignore;
    }
    printf("%c\n", key);
    fflush(stdout);
    if (AnswerForKey(key, &answer)) return answer;
  }
}
