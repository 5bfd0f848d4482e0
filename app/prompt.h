// The readiness dialogue: Abort, Retry or Ignore for a drive that is not
// ready, answered with one key on the console.
#pragma once

enum class DriveAnswer { Abort, Retry, Ignore };

// The answer a key gives: false for every key but a, r, i in either case.
bool AnswerForKey(int key, DriveAnswer* answer);

// Where the prompt goes: standard output, unless the database goes there
// (`databaseOnOutput`) and the prompt would land in its bytes: then the
// console, or standard error when there is none.
void PromptBesideDatabase(bool databaseOnOutput);

// Asks until a key answers.  With no console to read from, the prompt is
// shown once and the answer is Ignore, as quiet mode would have skipped the
// drive.
DriveAnswer AskDriveNotReady(char letter);
