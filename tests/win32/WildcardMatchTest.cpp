#include "platform/win32/WildcardMatch.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct MatchCase {
  const char* pattern;
  const char* name;
  bool matches;
};

void PrintTo(const MatchCase& c, std::ostream* os) {
  *os << '"' << c.pattern << "\" vs \"" << c.name << "\" → " << (c.matches ? "match" : "no match");
}

class MatchFileNameTest : public ::testing::TestWithParam<MatchCase> {};

TEST_P(MatchFileNameTest, Match_AsTheOriginalRewritesIt) {
  const MatchCase& c = GetParam();
  EXPECT_EQ(c.matches, korvane::win32::MatchFileName(c.pattern, c.name));
}

INSTANTIATE_TEST_SUITE_P(
    Wildcards, MatchFileNameTest,
    ::testing::Values(
        // '*' alone and "*.*" take every name, full stop or not, "." and ".." included.
        MatchCase{"*", "abc", true}, MatchCase{"*", ".", true}, MatchCase{"*", "..", true},
        MatchCase{"*.*", "abc", true}, MatchCase{"*.*", "a.b", true}, MatchCase{"*.*", ".", true},
        // A star before a full stop stops at the name's last full stop.
        MatchCase{"*.txt", "a.txt", true}, MatchCase{"*.txt", "a.b.txt", true}, MatchCase{"*.txt", ".txt", true},
        MatchCase{"*.txt", "a.txt.bak", false}, MatchCase{"*.txt", "atxt", false},
        MatchCase{"*.tmp", "1001000_333667_0.tmp", true}, MatchCase{"*.tmp", "precache.data", false},
        MatchCase{"*.tmp", ".", false}, MatchCase{"*.tmp", "..", false},
        // A trailing full stop: names without one.
        MatchCase{"*.", "abc", true}, MatchCase{"*.", "a.b", false},
        // '?' is one character, or none at a full stop or the end of the name.
        MatchCase{"a?c", "abc", true}, MatchCase{"a?c", "ac", false}, MatchCase{"a?c", "abbc", false},
        MatchCase{"a?", "a", true}, MatchCase{"a?", "ab", true}, MatchCase{"a?", "abc", false},
        MatchCase{"file??.txt", "file1.txt", true}, MatchCase{"file??.txt", "file12.txt", true},
        MatchCase{"file??.txt", "file123.txt", false}, MatchCase{"?", ".", false},
        // Stars elsewhere are plain runs; literals fold ASCII case.
        MatchCase{"x*", "x", true}, MatchCase{"x*", "xyz", true}, MatchCase{"x*", "ax", false},
        MatchCase{"*b*", "abc", true}, MatchCase{"*b*", "ac", false}, MatchCase{"a*b*c", "aXbYc", true},
        MatchCase{"ABC.TXT", "abc.txt", true}, MatchCase{"abc", "abd", false}, MatchCase{"", "a", false},
        // '?' counts code points, not bytes: "é" is two bytes of UTF-8.
        MatchCase{"caf?", "caf\xC3\xA9", true}, MatchCase{"caf??", "caf\xC3\xA9x", true},
        MatchCase{"caf?x", "caf\xC3\xA9\xC3\xA9x", false},
        // A byte that is not UTF-8 is one character of its own.
        MatchCase{"a?b", "a\xFF" "b", true}));

TEST(MatchFileNameCaseTest, Match_CaseSensitiveWhenAsked) {
  EXPECT_TRUE(korvane::win32::MatchFileName("Name.TXT", "name.txt", false));
  EXPECT_FALSE(korvane::win32::MatchFileName("Name.TXT", "name.txt", true));
  EXPECT_TRUE(korvane::win32::MatchFileName("Name.*", "Name.txt", true));
}

TEST(MatchFileNameCaseTest, Match_ManyStarsOnLongNameStayLinear) {
  // Exponential backtracking would take far longer than the test's time limit here.
  const std::string pattern = std::string(120, '*') + "b";
  const std::string name(255, 'a');
  EXPECT_FALSE(korvane::win32::MatchFileName(pattern, name));
  EXPECT_TRUE(korvane::win32::MatchFileName(pattern, name + "b"));
}

}  // namespace
