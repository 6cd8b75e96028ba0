#include "ini/stdini.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

namespace velmora {
namespace {

class StdIniTest : public ::testing::Test {
 protected:
  stdini Loaded(const std::string& text) {
    files_.WriteFileAtomically("t.ini", text);
    stdini ini(files_);
    EXPECT_TRUE(ini.Load("t.ini"));
    return ini;
  }
  std::string Saved(const stdini& ini) {
    EXPECT_TRUE(ini.Save("out.ini"));
    return *files_.ReadFile("out.ini");
  }

  MemoryFileSystem files_;
};

TEST_F(StdIniTest, PairsBeforeTheFirstHeaderBelongToTheEmptySection) {
  const stdini ini = Loaded("a=1\n[s]\nb = 2\n");
  EXPECT_EQ(ini.GetValue("", "a"), "1");
  EXPECT_EQ(ini.GetValue("s", "b"), "2");
  EXPECT_EQ(Saved(ini),
            "#INI File writen by class stdini: comments are not kept\r\n\r\n"
            "\r\na = 1\r\n"
            "\r\n[s]\r\nb = 2\r\n");
}

TEST_F(StdIniTest, CommentsAreNotStoredAndAreLostOnSave) {
  const stdini ini = Loaded("# one\n; two\n  ;three=3\n[s]\n#k=v\nk=v\n");
  EXPECT_EQ(ini.GetValue("s", "#k"), "");
  EXPECT_EQ(ini.sections().at("s").size(), 1u);
  const std::string saved = Saved(ini);
  EXPECT_EQ(saved.find("one"), std::string::npos);
  EXPECT_EQ(saved.find("two"), std::string::npos);
  EXPECT_EQ(saved.find("three"), std::string::npos);
}

TEST_F(StdIniTest, SettersNeverAddKeysOrSections) {
  stdini ini = Loaded("[s]\nk=1\n");
  EXPECT_FALSE(ini.SetInt("s", "missing", 5));
  EXPECT_FALSE(ini.SetString("t", "k", "x"));
  EXPECT_EQ(Saved(ini).find("missing"), std::string::npos);
  EXPECT_TRUE(ini.SetInt("s", "k", -42));
  EXPECT_EQ(ini.GetValue("s", "k"), "-42");
  EXPECT_TRUE(ini.SetString("s", "k", "text"));
  EXPECT_EQ(ini.GetValue("s", "k"), "text");
}

TEST_F(StdIniTest, RepeatedHeadersMergeAndLaterKeysReplaceEarlierOnes) {
  const stdini ini = Loaded("[s]\na=1\nb=1\n[t]\nc=3\n[s]\nb=2\nd=4\n");
  EXPECT_EQ(ini.sections().size(), 3u);
  EXPECT_EQ(ini.GetValue("s", "a"), "1");
  EXPECT_EQ(ini.GetValue("s", "b"), "2");
  EXPECT_EQ(ini.GetValue("s", "d"), "4");
}

TEST_F(StdIniTest, SectionsAndKeysComeBackInByteOrder) {
  const stdini ini = Loaded("[b]\nz=1\nZ=2\na=3\n[B]\nx=1\n[a]\n\xc3\xa9=1\ny=2\n");
  EXPECT_EQ(Saved(ini),
            "#INI File writen by class stdini: comments are not kept\r\n\r\n\r\n"
            "\r\n[B]\r\nx = 1\r\n"
            "\r\n[a]\r\ny = 2\r\n\xc3\xa9 = 1\r\n"
            "\r\n[b]\r\nZ = 2\r\na = 3\r\nz = 1\r\n");
}

TEST_F(StdIniTest, LinesAreTrimmedAsTheFileFormatSays) {
  const stdini ini = Loaded("\t [ s ] \r\n  key \t=\t value = more \t\r\nnoequals\n=empty\nv=\n");
  EXPECT_EQ(ini.GetValue(" s ", "key"), "value = more");
  EXPECT_EQ(ini.GetValue(" s ", ""), "empty");
  EXPECT_EQ(ini.GetValue(" s ", "v"), "");
  EXPECT_EQ(ini.GetValue(" s ", "noequals"), "");
  EXPECT_EQ(ini.sections().at(" s ").size(), 3u);
}

TEST_F(StdIniTest, MissingSectionsAndKeysGiveEmptyResults) {
  const stdini ini = Loaded("[s]\nk=1\n");
  EXPECT_EQ(ini.GetValue("x", "k"), "");
  EXPECT_EQ(ini.GetValue("s", "x"), "");
  EXPECT_TRUE(ini.GetIntList("x", "k").empty());
}

TEST_F(StdIniTest, IntListsAreDecimalConversionsAfterEachComma) {
  const stdini ini = Loaded("[m]\na=1, 3,5\nb=7,\nc=,x,-2\nd=\n");
  EXPECT_EQ(ini.GetIntList("m", "a"), (std::vector<int32_t>{1, 3, 5}));
  EXPECT_EQ(ini.GetIntList("m", "b"), (std::vector<int32_t>{7}));
  EXPECT_EQ(ini.GetIntList("m", "c"), (std::vector<int32_t>{0, 0, -2}));
  EXPECT_TRUE(ini.GetIntList("m", "d").empty());
}

TEST_F(StdIniTest, AFailedLoadDiscardsThePreviousContents) {
  stdini ini = Loaded("[s]\nk=1\n");
  EXPECT_FALSE(ini.Load("absent.ini"));
  EXPECT_TRUE(ini.sections().empty());
  EXPECT_EQ(ini.GetValue("s", "k"), "");
}

TEST_F(StdIniTest, SavedTextLoadsBackToTheSameContents) {
  const stdini ini =
      Loaded("x=1\n[]\ny=2\n[a]b]\n[k=v]\n=\n[q\nk\r=v\n;c\n[s]\n k = v ; not a comment\n");
  stdini again(files_);
  again.Parse(ini.Text());
  EXPECT_EQ(again.sections(), ini.sections());
  EXPECT_EQ(ini.GetValue("", "y"), "2");
  EXPECT_EQ(ini.GetValue("k=v", ""), "");
  EXPECT_EQ(ini.GetValue("s", "k"), "v ; not a comment");
}

TEST(StdIniFileTest, SaveReplacesTheFileAndKeepsItsMode) {
  const auto dir = std::filesystem::temp_directory_path() / ("stdini_" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const std::string path = dir / "bouncer.ini";
  std::ofstream(path) << "[main]\nlinks=1\n";
  ASSERT_EQ(chmod(path.c_str(), 0640), 0);
  PosixFileSystem files;
  stdini ini(files);
  ASSERT_TRUE(ini.Load(path));
  ASSERT_TRUE(ini.SetString("main", "links", "2"));
  ASSERT_TRUE(ini.Save(path));
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  stdini reread(files);
  ASSERT_TRUE(reread.Load(path));
  EXPECT_EQ(reread.GetValue("main", "links"), "2");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 1);
  EXPECT_FALSE(ini.Save((dir / "no such folder" / "bouncer.ini").string()));
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace velmora
