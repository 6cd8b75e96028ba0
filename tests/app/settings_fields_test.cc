#include <gtest/gtest.h>

#include "app/profile_admission.h"
#include "app/settings_apply.h"
#include "app/settings_fields.h"
#include "bandwidth/bwc_controller.h"
#include "bandwidth/bwc_error.h"
#include "testing/recording_prompt.h"
#include "testing/stored_configuration.h"

namespace velmora {
namespace {

using testing::RecordingPrompt;

TEST(SettingsFieldsTest, PortsAreSixteenBit) {
  EXPECT_EQ(PortField("6101"), 6101);
  EXPECT_EQ(PortField("65535"), 65535);
  EXPECT_FALSE(PortField("70000"));
  EXPECT_FALSE(PortField("0"));
  EXPECT_FALSE(PortField("80a"));
  EXPECT_FALSE(PortField(""));
  EXPECT_FALSE(PortField("-1"));
}

TEST(SettingsFieldsTest, AddressesMustBeFourDecimalParts) {
  EXPECT_EQ(Ipv4Field("10.1.2.3"), DottedToAddress("10.1.2.3"));
  EXPECT_EQ(Ipv4Field("255.255.255.255"), DottedToAddress("255.255.255.255"));
  EXPECT_FALSE(Ipv4Field("10.1.2"));
  EXPECT_FALSE(Ipv4Field("10.1.2.3.4"));
  EXPECT_FALSE(Ipv4Field("10.1.2.256"));
  EXPECT_FALSE(Ipv4Field("10.1..3"));
  EXPECT_FALSE(Ipv4Field("garbled"));
}

TEST(SettingsFieldsTest, CorrectionsMatchTheFilesOwn) {
  EXPECT_EQ(CorrectedBufTime(200), 500);
  EXPECT_EQ(CorrectedBufTime(20000), 10000);
  EXPECT_EQ(CorrectedBufTime(2500), 2500);
  EXPECT_EQ(CorrectedMCastNic("10.0.0.2", {"10.0.0.1", "10.0.0.2"}), "10.0.0.2");
  EXPECT_EQ(CorrectedMCastNic("10.9.9.9", {"10.0.0.1", "10.0.0.2"}), "10.0.0.1");
  EXPECT_EQ(CorrectedMCastNic("10.9.9.9", {}), "127.0.0.1");
}

TEST(SettingsFieldsTest, StoresEveryFieldWhenAllAreValid) {
  Settings s;
  GeneralFields fields = GeneralFieldsOf(s);
  fields.inserter_port = "9000";
  fields.inserter_ip = "10.0.0.7";
  fields.buf_time = "200";
  EXPECT_EQ(StoreGeneralFields(fields, s), std::nullopt);
  EXPECT_EQ(s.InserterPort, 9000);
  EXPECT_EQ(s.InserterIP, DottedToAddress("10.0.0.7"));
  EXPECT_EQ(s.BufTime, 500);
  EXPECT_EQ(GeneralFieldsOf(s).buf_time, "500");
}

TEST(SettingsFieldsTest, ARefusedFieldStoresNothing) {
  Settings s;
  GeneralFields fields = GeneralFieldsOf(s);
  fields.inserter_port = "9000";
  fields.remote_control_port = "70000";
  EXPECT_EQ(StoreGeneralFields(fields, s), "Command Port \"70000\" is not a port from 1 to 65535.");
  EXPECT_EQ(s.InserterPort, 8000);
  EXPECT_EQ(s.RemoteControlPort, 6101);

  fields = GeneralFieldsOf(s);
  fields.inserter_ip = "10.0.0.x";
  EXPECT_EQ(StoreGeneralFields(fields, s),
            "Data Inserter IP address \"10.0.0.x\" is not an IPv4 address.");
  EXPECT_EQ(s.InserterIP, DottedToAddress("127.0.0.1"));
}

TEST(SettingsFieldsTest, AnyStoredValueCountsAsAChange) {
  const Settings before;
  Settings after = before;
  EXPECT_FALSE(SettingsChanged(before, after));
  after.WinPosition.left = 77;
  EXPECT_FALSE(SettingsChanged(before, after));
  after.LogLevel = 3;
  EXPECT_TRUE(SettingsChanged(before, after));
  after = before;
  after.MCastNIC = "10.0.0.1";
  EXPECT_TRUE(SettingsChanged(before, after));
}

struct ApplyRig {
  SettingsApplyActions Actions() {
    return {.save = [this] { return ++saves, true; },
            .service_running = [this] { return running; },
            .restart = [this] { return ++restarts, true; }};
  }
  RecordingPrompt prompt;
  bool running = true;
  int saves = 0;
  int restarts = 0;
};

TEST(SettingsApplyTest, YesRestartsTheRunningService) {
  ApplyRig rig;
  rig.prompt.answers = {PromptAnswer::kYes};
  FinishSettingsApply(true, rig.prompt, rig.Actions());
  EXPECT_EQ(rig.saves, 1);
  EXPECT_EQ(rig.restarts, 1);
  ASSERT_EQ(rig.prompt.requests.size(), 1u);
  EXPECT_EQ(rig.prompt.requests[0].title, "Warning");
  EXPECT_EQ(rig.prompt.requests[0].text, "Activate new parameters now?");
  EXPECT_EQ(rig.prompt.requests[0].buttons, PromptButtons::kYesNo);
}

TEST(SettingsApplyTest, NoLeavesTheServiceAndSaysWhen) {
  ApplyRig rig;
  rig.prompt.answers = {PromptAnswer::kNo};
  FinishSettingsApply(true, rig.prompt, rig.Actions());
  EXPECT_EQ(rig.saves, 1);
  EXPECT_EQ(rig.restarts, 0);
  EXPECT_EQ(rig.prompt.Texts(),
            (std::vector<std::string>{"Activate new parameters now?",
                                      "New parameters will take effect after restart Velmora"}));
  EXPECT_EQ(rig.prompt.requests[1].title, "Warning");
}

TEST(SettingsApplyTest, NoQuestionWithoutAChangeOrAService) {
  ApplyRig rig;
  FinishSettingsApply(false, rig.prompt, rig.Actions());
  rig.running = false;
  FinishSettingsApply(true, rig.prompt, rig.Actions());
  EXPECT_EQ(rig.saves, 2);
  EXPECT_TRUE(rig.prompt.requests.empty());
}

TEST(SettingsApplyTest, AProfileThatARowNamesCannotBeRemoved) {
  testing::StoredConfiguration config;
  config.Load(
      "[NETWORKS]\r\n"
      "Alias=\"Office\", IPSubNetAddr=192.168.1.0, IPSubNetMask=255.255.255.0, "
      "IPSubNetMAC=\"SubNet_001\", IPSubNetPID=256\r\n"
      "[SubNet_001]\r\n"
      "192.168.1.5    00-0a-1b-2c-3d-4e Gold\r\n");
  const auto tables = config.tables.tables().Snapshot();
  EXPECT_EQ(ProfileRemovalRefusal("Gold", *tables), "Gold - IP(s) exist with this User Profile");
  EXPECT_EQ(ProfileRemovalRefusal("Silver", *tables), std::nullopt);
}

TEST(ProfileAdmissionTest, EditsAreJudgedAgainstThePagesPhysicalBandwidth) {
  testing::StoredConfiguration config;
  config.Load(
      "[USERPROFILES]\r\nGold=2000000,1000000,300000\r\n"
      "[NETWORKS]\r\n"
      "Alias=\"Office\", IPSubNetAddr=192.168.1.0, IPSubNetMask=255.255.255.0, "
      "IPSubNetMAC=\"SubNet_001\", IPSubNetPID=256\r\n"
      "[SubNet_001]\r\n"
      "192.168.1.5    00-0a-1b-2c-3d-4e Gold\r\n");
  const auto tables = config.tables.tables().Snapshot();
  const ProfileContext context{.physical_bandwidth = 3000000,
                               .profiles = config.tables.user_profiles(),
                               .tables = *tables,
                               .default_profile = "Gold"};
  EXPECT_EQ(AdmitProfileEdit(ProfileEditKind::kAdd, {"Big", 4000000, 1000000, 100000}, context),
            "Big - Summary bandwidth more than physical bandwidth");
  EXPECT_EQ(AdmitProfileEdit(ProfileEditKind::kAdd, {"Small", 500000, 400000, 100000}, context),
            std::nullopt);
  EXPECT_NE(AdmitProfileEdit(ProfileEditKind::kRemove, {.Alias = "Gold"}, context), std::nullopt);
}

TEST(ProfileAdmissionTest, AnAdmittedEditReachesTheRunningShaper) {
  testing::StoredConfiguration config;
  config.Load("[USERPROFILES]\r\nGold=2000000,1000000,300000\r\n");
  Log log;
  TessaroBWControl::BWCController shaper(RealClock(), log);
  shaper.SetPhysicalBandwidth(3000000);
  shaper.AddProfile("Gold", 2000000, 1000000, 300000);
  const auto tables = config.tables.tables().Snapshot();
  const ProfileContext context{.physical_bandwidth = 3000000,
                               .profiles = config.tables.user_profiles(),
                               .tables = *tables,
                               .running_shaper = &shaper};
  EXPECT_EQ(AdmitProfileEdit(ProfileEditKind::kChange, {"Gold", 2500000, 1000000, 300000}, context),
            std::nullopt);
  EXPECT_NE(AdmitProfileEdit(ProfileEditKind::kAdd, {"Gold", 100000, 100000, 10000}, context),
            std::nullopt);  // the running shaper has it already
  EXPECT_EQ(AdmitProfileEdit(ProfileEditKind::kAdd, {"Tin", 400000, 100000, 10000}, context),
            std::nullopt);
  EXPECT_THROW(shaper.AddProfile("Tin", 400000, 100000, 10000), TessaroBWControl::BWCError);
}

}  // namespace
}  // namespace velmora
