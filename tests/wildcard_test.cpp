#include "dump/wildcard.h"

#include <gtest/gtest.h>

#include <cstring>

TEST(WildcardMatch, WindowsStyleSamples) {
  struct Case {
    const char* pattern;
    const char* name;
    bool matches;
  };
  const Case cases[] = {
      {"a.txt", "A.TXT", true},
      {"a.txt", "a.txt2", false},
      {"*.txt", "notes.txt", true},
      {"*.txt", "notes.txt.bak", false},
      {"*.txt", ".txt", true},
      {"?.txt", "a.txt", true},
      {"?.txt", ".txt", false},  // ? takes exactly one character
      {"*ab", "aab", true},      // the star gives back what it took
      {"*a*b*c", "xxaxxbxxcxxc", true},
      {"*a*b*c", "xxaxxcxxb", false},
      {"**", "", true},
      {"", "", true},
      {"", "a", false},
      {"a*", "a", true},
      {"*.*", "README", true},  // a closing ".*" also matches nothing
      {"read*.*", "README", true},
      {"readme.*", "READMEX", false},
      {"*.*", "a.b.c", true},
      {"caf\xc9.txt", "CAF\xe9.TXT", true},  // É and é in code page 1252
      {"\x8a*",
       "\x9a"
       "a",
       true},                   // Š and š
      {"\xd7", "\xf7", false},  // × and ÷ are no letters
      {"\xdf", "\xff", false},  // ß and ÿ: ÿ's capital is Ÿ
      {"\x9f", "\xff", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.matches, WildcardMatch(c.pattern, strlen(c.pattern), c.name,
                                       strlen(c.name)))
        << c.pattern << " " << c.name;
  }
}

TEST(PathMatchesAny, NameOrWholePath) {
  const MatchPattern patterns[] = {MakeMatchPattern("docs*"),
                                   MakeMatchPattern("c:\\*\\x?")};
  const char* path = "C:\\Docs\\a.txt";
  EXPECT_FALSE(PathMatchesAny(patterns, 1, path, strlen(path)));
  path = "C:\\Docs\\docs.txt";
  EXPECT_TRUE(PathMatchesAny(patterns, 1, path, strlen(path)));
  path = "C:\\Docs\\xy";
  EXPECT_TRUE(PathMatchesAny(patterns, 2, path, strlen(path)));
  EXPECT_FALSE(PathMatchesAny(patterns, 2, "D:\\xy", 5));
  EXPECT_TRUE(PathMatchesAny(patterns, 1, "docs", 4));  // no \ at all
}
