#include "ini/ini_text.h"

#include <gtest/gtest.h>

namespace velmora {
namespace {

TEST(IniTextTest, LinesEndAtLfOrCrLfAndNeverKeepACr) {
  const auto lines = SplitIniLines("a=1\r\nb=2\nc=3\r");
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "a=1");
  EXPECT_EQ(lines[1], "b=2");
  EXPECT_EQ(lines[2], "c=3");
}

TEST(IniTextTest, LongLinesAreReadInPiecesOf511) {
  const std::string line(1100, 'x');
  const auto lines = SplitIniLines(line + "\n");
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].size(), 511u);
  EXPECT_EQ(lines[2].size(), 78u);
}

TEST(IniTextTest, DecimalValueIsAPlainConversion) {
  EXPECT_EQ(DecimalValue("  42abc"), 42);
  EXPECT_EQ(DecimalValue("-1"), -1);
  EXPECT_EQ(DecimalValue("abc"), 0);
  EXPECT_EQ(DecimalValue(""), 0);
  EXPECT_EQ(DecimalValue("99999999999999"), 2147483647);
  EXPECT_EQ(DecimalValue("-99999999999999"), -2147483648LL);
}

TEST(IniTextTest, SettingTextCutsRemarksAndTrims) {
  EXPECT_EQ(SettingText(" \"my log.txt\" ; remark"), "my log.txt");
  EXPECT_EQ(SettingText("\t\r"), "");
  EXPECT_EQ(CleanIniLine(" [ GEN\"ERAL ]\t"), "[GENERAL]");
}

}  // namespace
}  // namespace velmora
