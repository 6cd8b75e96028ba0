#include <gtest/gtest.h>

#include "ini/ini_file_reader.h"
#include "platform/address_text.h"
#include "support/log.h"
#include "tables/l2tp_peer_list.h"
#include "tables/l2tp_user_list.h"
#include "tables/list_section.h"
#include "tables/source_filter_list.h"
#include "tables/user_profile_list.h"
#include "testing/recording_prompt.h"

namespace velmora {
namespace {

using testing::RecordingPrompt;

// Reads `text` into one list's section and writes it back.
template <typename List>
std::string ReadAndWrite(List& list, const std::string& name, const std::string& text) {
  ListSection<List> section(name, list);
  IniFileReader reader;
  reader.AddSection(name, &section);
  reader.Read("[" + name + "]\r\n" + text);
  std::string out;
  section.WriteSection(out);
  return out;
}

TEST(ListTest, UsersFirstLineWinsAndOnlyALineEndIsDropped) {
  Log log;
  L2tpUserList users(log);
  const std::string out = ReadAndWrite(users, "L2TPUSERS",
                                       "bob=one\r\nbob=two\r\nno equals\r\nalice=\r\n"
                                       "carol=pass;word \"x\"\ndave=last");
  EXPECT_EQ(users.Password("bob"), "one");
  EXPECT_EQ(users.Password("alice"), "");
  EXPECT_EQ(users.Password("carol"), "pass;word \"x\"");
  EXPECT_EQ(users.Password("dave"), "last");  // no line end: nothing cut
  EXPECT_FALSE(users.Password("no equals"));
  EXPECT_EQ(out, "\r\n[L2TPUSERS]\r\nalice=\r\nbob=one\r\ncarol=pass;word \"x\"\r\ndave=last\r\n");
  RecordingPrompt prompt;
  EXPECT_EQ(users.Add("bob", "x", prompt).message, "User already exists.");
  EXPECT_FALSE(users.Add("[x", "x", prompt).ok);
  EXPECT_TRUE(users.Add("erin", "pw", prompt).ok);
  EXPECT_TRUE(users.ChangePassword("erin", "new", prompt).ok);
  EXPECT_EQ(users.Password("erin"), "new");
  EXPECT_TRUE(users.Remove("erin", prompt).ok);
  EXPECT_FALSE(users.Password("erin"));
}

TEST(ListTest, ProfilesInAliasOrderWithUnsignedFigures) {
  Log log;
  UserProfileList profiles(log);
  const std::string out =
      ReadAndWrite(profiles, "USERPROFILES",
                   "Zeta=1,2,3\r\nAlpha=4,5,6\r\nAlpha=7,8,9\r\nBeta=100,200\r\nNoEquals\r\n"
                   "Big= 4294967295, +3000000000 ,12x\r\n");
  const std::vector<UserProfile> entries = profiles.Entries();
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0], (UserProfile{"Alpha", 4, 5, 6}));
  EXPECT_EQ(entries[1], (UserProfile{"Big", 4294967295u, 3000000000u, 12}));
  EXPECT_EQ(entries[2].Alias, "Zeta");
  EXPECT_EQ(out,
            "\r\n[USERPROFILES]\r\nAlpha=4,5,6\r\nBig=4294967295,3000000000,12\r\n"
            "Zeta=1,2,3\r\n");
  RecordingPrompt prompt;
  EXPECT_EQ(profiles.Add({"Alpha", 1, 1, 1}, prompt).message, "Alias already exists.");
  EXPECT_FALSE(profiles.Add({"Go=ld", 1, 1, 1}, prompt).ok);
  EXPECT_TRUE(profiles.Add({"Gold", 1, 2, 3}, prompt).ok);
  EXPECT_EQ(profiles.Entries()[2].Alias, "Gold");
  EXPECT_TRUE(profiles.Change({"Gold", 9, 9, 9}, prompt).ok);
  EXPECT_EQ(profiles.Find("Gold")->summary, 9u);
  prompt.answers = {PromptAnswer::kNo};
  EXPECT_FALSE(profiles.Remove("Gold", prompt).ok);
  EXPECT_EQ(prompt.requests.back().title, "Delete User Profile entry");
  EXPECT_EQ(prompt.requests.back().text, "User Profile will be deleted.\nAre you sure?");
  EXPECT_TRUE(profiles.Remove("Gold", prompt).ok);
  EXPECT_FALSE(profiles.Find("Gold"));
}

TEST(ListTest, PeersSkipNonAddressesAndFiltersKeepThem) {
  Log log;
  L2tpPeerList peers(log);
  EXPECT_EQ(ReadAndWrite(peers, "L2TPPEERS", "10.0.0.1\r\nnot an address\r\n10.0.0.2\r\n"),
            "\r\n[L2TPPEERS]\r\n10.0.0.1\r\n10.0.0.2\r\n");
  RecordingPrompt prompt;
  EXPECT_EQ(peers.Add("10.0.0.1", prompt).message, "IP address already exists.");
  EXPECT_EQ(peers.Add("10.0.0.x", prompt).message, "Invalid IP address");
  EXPECT_TRUE(peers.Contains(DottedToAddress("10.0.0.2")));

  SourceFilterList filters;
  EXPECT_EQ(ReadAndWrite(filters, "PYLONSRCFILTER", "10.0.0.1\r\nbogus\r\n"),
            "\r\n[PYLONSRCFILTER]\r\n10.0.0.1\r\n255.255.255.255\r\n");
  EXPECT_EQ(filters.Add("10.0.0.x", prompt).message, "Invalid IP address");
  EXPECT_TRUE(filters.Add("10.0.0.3", prompt).ok);
  EXPECT_TRUE(filters.Add("10.0.0.4", prompt).ok);
  EXPECT_EQ(filters.Add("10.0.0.5", prompt).message, "You can add only 4 source filter IP address");
  EXPECT_TRUE(filters.Remove(1, prompt).ok);
  EXPECT_EQ(prompt.requests.back().title, "Delete source filter request");
  EXPECT_EQ(prompt.requests.back().text, "Really delete source filter IP(255.255.255.255)?");
  EXPECT_TRUE(filters.Change(0, "10.0.0.9", prompt).ok);
  EXPECT_EQ(filters.Entries(), (std::vector<std::string>{"10.0.0.9", "10.0.0.3", "10.0.0.4"}));
  EXPECT_TRUE(filters.Contains(DottedToAddress("10.0.0.3")));
}

}  // namespace
}  // namespace velmora
