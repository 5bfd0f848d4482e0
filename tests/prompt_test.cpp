#include "app/prompt.h"

#include <gtest/gtest.h>

TEST(AnswerForKey, OnlyARAndIAnswer) {
  struct Case {
    int key;
    bool answers;
    DriveAnswer answer;
  };
  const Case cases[] = {
      {'a', true, DriveAnswer::Abort},
      {'A', true, DriveAnswer::Abort},
      {'r', true, DriveAnswer::Retry},
      {'R', true, DriveAnswer::Retry},
      {'i', true, DriveAnswer::Ignore},
      {'I', true, DriveAnswer::Ignore},
      // F7's and Insert's extended codes are the characters A and R.
      {0x41, true, DriveAnswer::Abort},
      {0x52, true, DriveAnswer::Retry},
      {'x', false, {}},
      {3, false, {}},
      {0, false, {}},
      {0xE0, false, {}},
      {'\r', false, {}},
      {27, false, {}},
      {'a' + 256, false, {}},
  };
  for (const Case& c : cases) {
    DriveAnswer answer = DriveAnswer::Ignore;
    EXPECT_EQ(c.answers, AnswerForKey(c.key, &answer)) << c.key;
    if (c.answers) {
      EXPECT_EQ(c.answer, answer) << c.key;
    }
  }
}
