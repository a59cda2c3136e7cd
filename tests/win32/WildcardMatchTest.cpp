#include "platform/win32/WildcardMatch.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using korvane::win32::MatchFileName;

struct MatchCase {
  const char* pattern;
  const char* name;
  bool matches;
};

TEST(MatchFileNameTest, Match_AsTheOriginalRewritesIt) {
  const MatchCase cases[] = {
      // '*' alone and "*.*" take every name, full stop or not, "." and ".." included.
      {"*", "abc", true}, {"*", ".", true}, {"*", "..", true},
      {"*.*", "abc", true}, {"*.*", "a.b", true}, {"*.*", ".", true},
      // A star before a full stop stops at the name's last full stop.
      {"*.txt", "a.txt", true}, {"*.txt", "a.b.txt", true}, {"*.txt", ".txt", true},
      {"*.txt", "a.txt.bak", false}, {"*.txt", "atxt", false}, {"*.tmp", "1001000_333667_0.tmp", true},
      {"*.tmp", "precache.data", false}, {"*.tmp", ".", false}, {"*.tmp", "..", false},
      // A trailing full stop: names without one.
      {"*.", "abc", true}, {"*.", "a.b", false},
      // '?' is one character, or none at a full stop or the end of the name.
      {"a?c", "abc", true}, {"a?c", "ac", false}, {"a?c", "abbc", false}, {"a?", "a", true},
      {"a?", "ab", true}, {"a?", "abc", false}, {"file??.txt", "file1.txt", true},
      {"file??.txt", "file12.txt", true}, {"file??.txt", "file123.txt", false}, {"?", ".", false},
      // Stars elsewhere are plain runs; literals fold ASCII case.
      {"x*", "x", true}, {"x*", "xyz", true}, {"x*", "ax", false}, {"*b*", "abc", true}, {"*b*", "ac", false},
      {"a*b*c", "aXbYc", true}, {"ABC.TXT", "abc.txt", true}, {"abc", "abd", false}, {"", "a", false},
      // '?' counts code points, not bytes: "é" is two bytes of UTF-8.
      {"caf?", "caf\xC3\xA9", true}, {"caf??", "caf\xC3\xA9x", true}, {"caf?x", "caf\xC3\xA9\xC3\xA9x", false},
      // A byte that is not UTF-8 is one character of its own.
      {"a?b", "a\xFF" "b", true}};
  for (const MatchCase& c : cases) {
    EXPECT_EQ(c.matches, MatchFileName(c.pattern, c.name)) << '"' << c.pattern << "\" vs \"" << c.name << '"';
  }
}

TEST(MatchFileNameCaseTest, Match_ManyStarsOnLongNameStayLinear) {
  // Exponential backtracking would take far longer than the test's time limit here.
  const std::string pattern = std::string(120, '*') + "b";
  const std::string name(255, 'a');
  EXPECT_FALSE(MatchFileName(pattern, name));
  EXPECT_TRUE(MatchFileName(pattern, name + "b"));
}

}  // namespace
