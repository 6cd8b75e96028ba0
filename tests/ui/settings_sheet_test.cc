// The settings sheet on Qt's offscreen platform with a real router in this process and an
// operator who answers from a script: pages, fields, lists, refusals, the apply step and the
// restart question.

#include <gtest/gtest.h>

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <atomic>
#include <thread>

#include "app/bandwidth_service.h"
#include "bandwidth/bwc_controller.h"
#include "platform/address_text.h"
#include "stats/traffic_statistics.h"
#include "tables/table_editor.h"
#include "testing/recording_prompt.h"
#include "testing/remote_client.h"
#include "ui/record_dialog.h"
#include "ui/settings_sheet.h"
#include "ui/window_rig.h"

namespace velmora {
namespace {

using testing::RecordingPrompt;
using testing::WindowRig;

constexpr const char* kProfiles =
    "[USERPROFILES]\nGold=2000000,1000000,300000\nSilver=1000000,500000,100000\n"
    "[NETWORKS]\nAlias=\"Net\", IPSubNetAddr=10.0.0.0, IPSubNetMask=255.0.0.0, "
    "IPSubNetMAC=\"SubNet_001\", IPSubNetPID=291\n"
    "[SubNet_001]\n10.0.0.5 00-11-22-33-44-55 Gold\n10.0.0.6 00-11-22-33-44-56\n";

const QStringList kPageNames = {"Basic", "Expert", "Networks",     "Internal",
                                "L2TP",  "IpV6",   "User Profiles"};

// A rig whose service is stopped (no restart question) unless `running`.
struct SheetRig {
  explicit SheetRig(const char* name, bool running = false, const char* sections = kProfiles,
                    const std::string& general = "")
      : rig(name,
            (running ? "EnableBandwidth=1\n" : "StartListening=0\nEnableBandwidth=1\n") + general,
            sections) {
    rig.Open();
    if (running) {
      EXPECT_TRUE(WindowRig::WaitFor([&] { return rig.router().controller().running(); }));
    }
  }
  std::unique_ptr<ui::SettingsSheet> Sheet(int page = 0) {
    auto sheet = std::make_unique<ui::SettingsSheet>(rig.router(), rig.log(), prompt);
    sheet->tabs().setCurrentIndex(page);
    return sheet;
  }
  std::string Ini() { return testing::ReadAll(rig.dir() / "velmora.ini"); }

  WindowRig rig;
  RecordingPrompt prompt;
};

// Fills the next edit dialog with `texts` (empty ones left as shown) and presses OK; `meanwhile`
// runs while the dialog is open, as a remote session's change would.
void FillNextDialog(
    QObject* owner, std::vector<QString> texts, std::function<void()> meanwhile = [] {}) {
  auto* timer = new QTimer(owner);
  QObject::connect(timer, &QTimer::timeout, [timer, texts, meanwhile] {
    auto* dialog = dynamic_cast<ui::RecordDialog*>(QApplication::activeModalWidget());
    if (dialog == nullptr) return;
    timer->deleteLater();
    meanwhile();
    for (size_t i = 0; i < texts.size(); ++i) {
      if (!texts[i].isEmpty()) dialog->edit(i).setText(texts[i]);
    }
    dialog->accept();
  });
  timer->start(10);
}

void Click(ui::SettingsSheet& sheet, const char* button) {
  sheet.Find<QPushButton>(button).click();
}

void Select(ui::SettingsSheet& sheet, const char* list, const QString& starting) {
  auto& widget = sheet.Find<QListWidget>(list);
  for (int i = 0; i < widget.count(); ++i) {
    if (widget.item(i)->text().startsWith(starting)) widget.setCurrentRow(i);
  }
}

TEST(SettingsSheet, SevenPagesInOrderReopeningOnTheLast) {
  SheetRig t("velmora_sheet_pages");
  auto sheet = t.Sheet();
  EXPECT_EQ(sheet->windowTitle(), "Velmora setting...");
  ASSERT_EQ(sheet->tabs().count(), 7);
  for (int i = 0; i < 7; ++i) EXPECT_EQ(sheet->tabs().tabText(i), kPageNames[i]);
  sheet->tabs().setCurrentIndex(3);
  sheet.reset();
  sheet = std::make_unique<ui::SettingsSheet>(t.rig.router(), t.rig.log(), t.prompt);
  EXPECT_EQ(sheet->tabs().currentIndex(), 3);
  sheet->tabs().setCurrentIndex(0);
}

TEST(SettingsSheet, FieldsAreStoredAndWrittenToTheFile) {
  SheetRig t("velmora_sheet_fields");
  auto sheet = t.Sheet(1);
  sheet->Find<QLineEdit>("inserterPort").setText("9000");
  sheet->Find<QLineEdit>("inserterIp").setText("127.0.0.9");
  sheet->tabs().setCurrentIndex(6);
  sheet->Find<QLineEdit>("bufferingTime").setText("200");
  sheet->tabs().setCurrentIndex(3);
  sheet->Find<QComboBox>("logLevel").setCurrentIndex(2);
  ASSERT_TRUE(sheet->Apply());
  sheet->tabs().setCurrentIndex(0);
  const std::string ini = t.Ini();
  EXPECT_NE(ini.find("\r\nInserterPort=9000\r\n"), std::string::npos) << ini;
  EXPECT_NE(ini.find("\r\nInserterIP=127.0.0.9\r\n"), std::string::npos);
  EXPECT_NE(ini.find("\r\nBufTime=500\r\n"), std::string::npos);
  EXPECT_NE(ini.find("\r\nLogLevel=3\r\n"), std::string::npos);
  EXPECT_NE(ini.find("\r\nPylonEnable=0\r\n"), std::string::npos);
  EXPECT_NE(ini.find("\r\nBouncerEnable=0\r\n"), std::string::npos);
  EXPECT_TRUE(t.prompt.requests.empty());
}

TEST(SettingsSheet, AFieldThatCannotBeStoredIsRefused) {
  SheetRig t("velmora_sheet_refusal");
  const std::string before = t.Ini();
  auto sheet = t.Sheet(1);
  sheet->Find<QLineEdit>("commandPort").setText("70000");
  sheet->Find<QLineEdit>("inserterPort").setText("9000");
  EXPECT_FALSE(sheet->Apply());
  sheet->Find<QLineEdit>("commandPort").setText("6101");
  sheet->Find<QLineEdit>("inserterIp").setText("10.0.0.999");
  EXPECT_FALSE(sheet->Apply());
  sheet->tabs().setCurrentIndex(0);
  EXPECT_EQ(t.prompt.Texts(),
            (std::vector<std::string>{
                "Command Port \"70000\" is not a port from 1 to 65535.",
                "Data Inserter IP address \"10.0.0.999\" is not an IPv4 address."}));
  EXPECT_EQ(t.Ini(), before);
  EXPECT_NE(t.rig.router().settings().InserterPort, 9000);
}

TEST(SettingsSheet, NoKeepsTheRunningServiceAndSaysWhen) {
  SheetRig t("velmora_sheet_no", true);
  auto sheet = t.Sheet(3);
  sheet->Find<QComboBox>("logLevel").setCurrentIndex(1);
  t.prompt.answers = {PromptAnswer::kNo};
  ASSERT_TRUE(sheet->Apply());
  sheet->tabs().setCurrentIndex(0);
  EXPECT_EQ(t.prompt.Texts(),
            (std::vector<std::string>{"Activate new parameters now?",
                                      "New parameters will take effect after restart Velmora"}));
  EXPECT_EQ(t.prompt.requests[0].title, "Warning");
  EXPECT_EQ(t.prompt.requests[1].title, "Warning");
  EXPECT_TRUE(t.rig.router().controller().running());
  EXPECT_NE(t.Ini().find("\r\nLogLevel=2\r\n"), std::string::npos);
}

TEST(SettingsSheet, YesRestartsTheService) {
  SheetRig t("velmora_sheet_yes", true);
  auto sheet = t.Sheet(4);
  FillNextDialog(sheet.get(), {"alice", "secret"});
  Click(*sheet, "addUser");
  EXPECT_EQ(sheet->Find<QListWidget>("users").count(), 1);
  t.prompt.answers = {PromptAnswer::kYes};
  ASSERT_TRUE(sheet->Apply());
  sheet->tabs().setCurrentIndex(0);
  EXPECT_EQ(t.prompt.Texts(), std::vector<std::string>{"Activate new parameters now?"});
  EXPECT_TRUE(t.rig.router().controller().running());
  EXPECT_NE(t.Ini().find("alice"), std::string::npos);
}

TEST(SettingsSheet, NextHopEnablesTheProfilesAndTheQosPanel) {
  SheetRig t("velmora_sheet_next_hop", true);
  auto sheet = t.Sheet();
  sheet->set_on_applied([&](bool shaping) { t.rig.window().FollowNextHop(shaping); });
  ASSERT_TRUE(WindowRig::WaitFor([&] { return t.rig.window().action("showQos").isEnabled(); }));
  t.rig.window().action("showQos").trigger();
  ASSERT_TRUE(t.rig.window().qos_panel().isVisible());
  auto& controls = sheet->Find<QWidget>("profileControls");
  EXPECT_TRUE(controls.isEnabled());
  sheet->Find<QComboBox>("nextHop").setCurrentIndex(0);
  EXPECT_FALSE(controls.isEnabled());
  t.prompt.answers = {PromptAnswer::kNo};
  ASSERT_TRUE(sheet->Apply());
  EXPECT_FALSE(t.rig.window().qos_panel().isVisible());
  EXPECT_FALSE(t.rig.window().action("showQos").isEnabled());
  EXPECT_NE(t.Ini().find("\r\nEnableBandwidth=0\r\n"), std::string::npos);
  sheet->Find<QComboBox>("nextHop").setCurrentIndex(1);
  EXPECT_TRUE(controls.isEnabled());
}

// Counts what reaches the rig's inserter until nothing more comes for 300 ms.
int DatagramsAtTheInserter(WindowRig& rig) {
  rig.inserter().set_timeout(std::chrono::milliseconds(300));
  int count = 0;
  while (rig.inserter().Next() != "<nothing>") ++count;
  return count;
}

TEST(SettingsSheet, ShapingSwitchedOffWhileRunningLeavesTheQueueServed) {
  SheetRig t("velmora_sheet_shaping_off", true);
  ASSERT_TRUE(WindowRig::WaitFor([&] { return t.rig.router().bandwidth().running().load(); }));
  auto sheet = t.Sheet();
  sheet->Find<QComboBox>("nextHop").setCurrentIndex(0);
  t.prompt.answers = {PromptAnswer::kNo};
  ASSERT_TRUE(sheet->Apply());
  EXPECT_FALSE(t.rig.router().bandwidth().running());
  t.rig.SendTraffic(300);
  EXPECT_GT(DatagramsAtTheInserter(t.rig), 128);
}

TEST(SettingsSheet, RowEditsReachTheRunningShaperByAddress) {
  SheetRig t("velmora_sheet_rows_shaped", true);
  ASSERT_TRUE(WindowRig::WaitFor([&] { return t.rig.router().bandwidth().running().load(); }));
  const auto& shaper = t.rig.router().bandwidth_controller();
  auto sheet = t.Sheet(2);
  Select(*sheet, "subnets", "Net");
  FillNextDialog(sheet.get(), {"10.0.0.9", "00-11-22-33-44-99"});
  Click(*sheet, "addIpMac");
  ASSERT_TRUE(shaper.Queue(DottedToAddress("10.0.0.9")));
  Select(*sheet, "ipMacs", "10.0.0.9");
  FillNextDialog(sheet.get(), {"10.0.0.8", ""});
  Click(*sheet, "editIpMac");
  EXPECT_FALSE(shaper.Queue(DottedToAddress("10.0.0.9")));
  EXPECT_TRUE(shaper.Queue(DottedToAddress("10.0.0.8")));
  t.prompt.answers = {PromptAnswer::kYes};
  Select(*sheet, "ipMacs", "10.0.0.8");
  Click(*sheet, "removeIpMac");
  EXPECT_FALSE(shaper.Queue(DottedToAddress("10.0.0.8")));
  EXPECT_TRUE(shaper.Queue(DottedToAddress("10.0.0.5")));
  EXPECT_TRUE(t.rig.router().bandwidth().running());
}

TEST(SettingsSheet, RangeAndIpv6RowsReachTheRunningShaperByAddress) {
  SheetRig t("velmora_sheet_range_shaped", true);
  ASSERT_TRUE(WindowRig::WaitFor([&] { return t.rig.router().bandwidth().running().load(); }));
  const auto& shaper = t.rig.router().bandwidth_controller();
  auto sheet = t.Sheet(2);
  Select(*sheet, "subnets", "Net");
  FillNextDialog(sheet.get(), {"10.0.0.5", "00-11-22-33-44-a5", "3"});
  Click(*sheet, "rangeIpMac");  // 10.0.0.5 and .6 exist: skipped, .7 added
  EXPECT_TRUE(shaper.Queue(DottedToAddress("10.0.0.7")));
  EXPECT_FALSE(shaper.Queue(DottedToAddress("10.0.0.8")));
  sheet->tabs().setCurrentIndex(5);
  FillNextDialog(sheet.get(), {"Six", "1a"});
  Click(*sheet, "addIpv6Subnet");
  FillNextDialog(sheet.get(), {"2001:db8::5", "00-11-22-33-44-66"});
  Click(*sheet, "addIpv6Mac");
  EXPECT_TRUE(shaper.Queue(*TextToIpv6("2001:db8::5")));
  Select(*sheet, "ipv6Macs", "2001:db8::5");
  FillNextDialog(sheet.get(), {"2001:db8::6", ""});
  Click(*sheet, "editIpv6Mac");
  EXPECT_FALSE(shaper.Queue(*TextToIpv6("2001:db8::5")));
  EXPECT_TRUE(shaper.Queue(*TextToIpv6("2001:db8::6")));
  t.prompt.answers = {PromptAnswer::kYes};
  Select(*sheet, "ipv6Macs", "2001:db8::6");
  Click(*sheet, "removeIpv6Mac");
  EXPECT_FALSE(shaper.Queue(*TextToIpv6("2001:db8::6")));
  EXPECT_TRUE(shaper.Queue(DottedToAddress("10.0.0.5")));
  EXPECT_TRUE(t.rig.router().bandwidth().running());
}

TEST(SettingsSheet, RangeAndIpv6RowsFollowTheAdmissionRules) {
  SheetRig t("velmora_sheet_range_admission");
  auto sheet = t.Sheet(6);
  sheet->Find<QLineEdit>("physicalBandwidth").setText("1000000");
  sheet->tabs().setCurrentIndex(2);
  Select(*sheet, "subnets", "Net");
  FillNextDialog(sheet.get(), {"10.0.0.10", "00-11-22-33-44-a0", "20"});
  Click(*sheet, "rangeIpMac");
  EXPECT_EQ(sheet->Find<QListWidget>("ipMacs").count(), 2);
  ASSERT_EQ(t.prompt.requests.size(), 1u);
  sheet->tabs().setCurrentIndex(5);
  FillNextDialog(sheet.get(), {"Six", "1a"});
  Click(*sheet, "addIpv6Subnet");
  sheet->Find<QLineEdit>("physicalBandwidth").setText("700000");
  FillNextDialog(sheet.get(), {"2001:db8::5", "00-11-22-33-44-66"});
  Click(*sheet, "addIpv6Mac");
  EXPECT_EQ(sheet->Find<QListWidget>("ipv6Macs").count(), 0);
  EXPECT_EQ(t.prompt.requests.size(), 2u) << t.prompt.Texts().back();
}

TEST(SettingsSheet, ARowsProfileIsSetByAddressAndReadBackFromTheFile) {
  SheetRig t("velmora_sheet_row_profile");
  TableEditor& editor = t.rig.router().tables().editor();
  const auto known = [&](const std::string& alias) {
    return t.rig.router().tables().user_profiles().Find(alias).has_value();
  };
  const uint32_t row = DottedToAddress("10.0.0.6");
  EXPECT_EQ(editor.SetIpMacProfile(row, "Bronze", known, t.prompt).refusal,
            TableRefusal::kUnknownProfile);
  EXPECT_EQ(editor.SetIpMacProfile(DottedToAddress("10.0.0.9"), "Gold", known, t.prompt).refusal,
            TableRefusal::kNoSuchEntry);
  EXPECT_EQ(t.prompt.Texts(),
            (std::vector<std::string>{"Bronze - not found User Profile", "No such IP/MAC entry"}));
  auto sheet = t.Sheet(6);
  Select(*sheet, "ipQos", "10.0.0.6");
  FillNextDialog(sheet.get(), {"", "Silver"});
  Click(*sheet, "editIpQos");
  EXPECT_TRUE(sheet->Find<QListWidget>("ipQos").item(1)->text().endsWith("Silver"));
  ASSERT_TRUE(t.rig.router().configuration().Save(t.rig.router().settings()));
  EXPECT_NE(t.Ini().find("00-11-22-33-44-56 Silver"), std::string::npos) << t.Ini();
  t.rig.CloseWithoutQuestion();
  t.rig.Open();
  const auto tables = t.rig.router().tables().tables().Snapshot();
  ASSERT_NE(tables->FindIpMacRow(row), nullptr);
  EXPECT_EQ(tables->FindIpMacRow(row)->profile_alias, "Silver");
}

TEST(SettingsSheet, AProfileThatARowNamesIsNotRemoved) {
  SheetRig t("velmora_sheet_profiles");
  auto sheet = t.Sheet(6);
  Select(*sheet, "profiles", "Gold");
  Click(*sheet, "removeProfile");
  t.prompt.answers = {PromptAnswer::kYes};
  Select(*sheet, "profiles", "Silver");  // 10.0.0.6 follows it as the default profile
  Click(*sheet, "removeProfile");
  EXPECT_EQ(t.prompt.Texts(),
            (std::vector<std::string>{"Gold - IP(s) exist with this User Profile",
                                      "User Profile will be deleted.\nAre you sure?",
                                      "Silver - IP(s) exist with this User Profile"}));
  EXPECT_EQ(t.prompt.requests[1].title, "Delete User Profile entry");
  EXPECT_EQ(sheet->Find<QListWidget>("profiles").count(), 2);
}

TEST(SettingsSheet, ProfilesFollowTheAdmissionRules) {
  SheetRig t("velmora_sheet_admission");
  auto sheet = t.Sheet(6);
  FillNextDialog(sheet.get(), {"", "1500000", "700000", "200000"});
  Select(*sheet, "profiles", "Gold");
  Click(*sheet, "editProfile");
  EXPECT_EQ(t.rig.router().tables().user_profiles().Find("Gold")->summary, 1500000u);
  sheet->Find<QLineEdit>("physicalBandwidth").setText("3000000");
  FillNextDialog(sheet.get(), {"Big", "4000000", "1000000", "100000"});
  Click(*sheet, "addProfile");
  EXPECT_EQ(t.prompt.Texts(),
            std::vector<std::string>{"Big - Summary bandwidth more than physical bandwidth"});
  FillNextDialog(sheet.get(), {"Tin", "100000", "100000", "10000"});
  Click(*sheet, "addProfile");
  t.prompt.answers = {PromptAnswer::kYes};
  Select(*sheet, "profiles", "Tin");
  Click(*sheet, "removeProfile");
  EXPECT_EQ(sheet->Find<QListWidget>("profiles").count(), 2);
  ASSERT_TRUE(sheet->Apply());
  sheet->tabs().setCurrentIndex(0);
  const std::string ini = t.Ini();
  EXPECT_NE(ini.find("Gold=1500000,700000,200000"), std::string::npos) << ini;
  EXPECT_NE(ini.find("\r\nMaxPayloadCut=3000000\r\n"), std::string::npos);
  EXPECT_EQ(ini.find("Tin"), std::string::npos);
  EXPECT_EQ(ini.find("Big"), std::string::npos);
}

TEST(SettingsSheet, ButtonsWithNothingSelectedSaySo) {
  SheetRig t("velmora_sheet_nothing");
  auto sheet = t.Sheet(4);
  Click(*sheet, "editUser");
  Click(*sheet, "removePeer");
  sheet->tabs().setCurrentIndex(0);
  ASSERT_EQ(t.prompt.requests.size(), 2u);
  EXPECT_EQ(t.prompt.requests[0].title, "Info");
  EXPECT_EQ(t.prompt.requests[0].text, "Nothing selected.");
}

TEST(SettingsSheet, ListEditsGoThroughTheListsOwnRules) {
  SheetRig t("velmora_sheet_lists");
  auto sheet = t.Sheet(4);
  FillNextDialog(sheet.get(), {"10.1.1.1"});
  Click(*sheet, "addPeer");
  FillNextDialog(sheet.get(), {"not an address"});
  Click(*sheet, "addPeer");
  ASSERT_EQ(t.prompt.requests.size(), 1u);  // the list's own refusal
  Select(*sheet, "peers", "10.1.1.1");
  FillNextDialog(sheet.get(), {"10.1.1.2"});
  Click(*sheet, "editPeer");
  ASSERT_EQ(sheet->Find<QListWidget>("peers").count(), 1);
  EXPECT_EQ(sheet->Find<QListWidget>("peers").item(0)->text(), "10.1.1.2");
  sheet->tabs().setCurrentIndex(1);
  FillNextDialog(sheet.get(), {"127.0.0.1"});
  Click(*sheet, "addSourceFilter");
  EXPECT_EQ(sheet->Find<QListWidget>("sourceFilters").count(), 1);
  ASSERT_TRUE(sheet->Apply());
  sheet->tabs().setCurrentIndex(0);
  const std::string ini = t.Ini();
  EXPECT_NE(ini.find("10.1.1.2"), std::string::npos) << ini;
}

TEST(SettingsSheet, RemoveAsksEachListsOwnQuestion) {
  SheetRig t("velmora_sheet_remove_questions");
  ConfigurationTables& tables = t.rig.router().tables();
  ASSERT_TRUE(tables.l2tp_users().Add("Ann", "Secret", t.prompt).ok);
  ASSERT_TRUE(tables.l2tp_peers().Add("10.1.1.1", t.prompt).ok);
  ASSERT_TRUE(tables.source_filters().Add("127.0.0.1", t.prompt).ok);
  auto sheet = t.Sheet(6);
  FillNextDialog(sheet.get(), {"Tin", "100000", "100000", "10000"});
  Click(*sheet, "addProfile");
  ASSERT_TRUE(tables.user_profiles().Find("Tin"));
  sheet->tabs().setCurrentIndex(4);
  t.prompt.answers = {PromptAnswer::kNo, PromptAnswer::kYes, PromptAnswer::kYes, PromptAnswer::kYes,
                      PromptAnswer::kYes};
  Select(*sheet, "users", "Ann");
  Click(*sheet, "removeUser");  // No keeps the user
  EXPECT_EQ(sheet->Find<QListWidget>("users").count(), 1);
  Click(*sheet, "removeUser");
  Select(*sheet, "peers", "10.1.1.1");
  Click(*sheet, "removePeer");
  sheet->tabs().setCurrentIndex(1);
  Select(*sheet, "sourceFilters", "127.0.0.1");
  Click(*sheet, "deleteSourceFilter");
  sheet->tabs().setCurrentIndex(6);
  Select(*sheet, "profiles", "Tin");
  Click(*sheet, "removeProfile");
  std::vector<std::pair<std::string, std::string>> asked;
  for (const PromptRequest& request : t.prompt.requests)
    asked.emplace_back(request.title, request.text);
  EXPECT_EQ(asked,
            (std::vector<std::pair<std::string, std::string>>{
                {"Warning", "Are you sure?"},
                {"Warning", "Are you sure?"},
                {"Warning", "Are you sure?"},
                {"Delete source filter request", "Really delete source filter IP(127.0.0.1)?"},
                {"Delete User Profile entry", "User Profile will be deleted.\nAre you sure?"}}));
  EXPECT_TRUE(tables.l2tp_users().Entries().empty());
  EXPECT_TRUE(tables.l2tp_peers().Entries().empty());
  EXPECT_TRUE(tables.source_filters().Entries().empty());
  EXPECT_FALSE(tables.user_profiles().Find("Tin"));
}

TEST(SettingsSheet, SubnetsAndTheirRowsThroughTheTableEditor) {
  SheetRig t("velmora_sheet_networks");
  auto sheet = t.Sheet(2);
  FillNextDialog(sheet.get(), {"Lab", "192.168.7.0", "255.255.255.0", "1a2"});
  Click(*sheet, "addSubnet");
  Select(*sheet, "subnets", "Lab");
  FillNextDialog(sheet.get(), {"192.168.7.9", "00-11-22-33-44-99"});
  Click(*sheet, "addIpMac");
  FillNextDialog(sheet.get(), {"192.168.7.20", "00-11-22-33-44-20", "3"});
  Click(*sheet, "rangeIpMac");
  EXPECT_EQ(sheet->Find<QListWidget>("ipMacs").count(), 4);
  FillNextDialog(sheet.get(), {"10.0.0.7", "00-11-22-33-44-77"});
  Click(*sheet, "addIpMac");  // outside the subnet: the editor's refusal
  EXPECT_EQ(t.prompt.requests.size(), 1u);
  EXPECT_EQ(sheet->Find<QListWidget>("ipMacs").count(), 4);
  t.prompt.answers = {PromptAnswer::kYes};
  Select(*sheet, "ipMacs", "192.168.7.21");
  Click(*sheet, "removeIpMac");
  EXPECT_EQ(sheet->Find<QListWidget>("ipMacs").count(), 3);
  ASSERT_TRUE(sheet->Apply());
  sheet->tabs().setCurrentIndex(0);
  const std::string ini = t.Ini();
  EXPECT_NE(ini.find("Alias=\"Lab\", IPSubNetAddr=192.168.7.0"), std::string::npos) << ini;
  EXPECT_NE(ini.find("192.168.7.22"), std::string::npos);
  EXPECT_EQ(ini.find("192.168.7.21"), std::string::npos);
}

TEST(SettingsSheet, Ipv6SubnetsAndRows) {
  SheetRig t("velmora_sheet_ipv6");
  auto sheet = t.Sheet(5);
  FillNextDialog(sheet.get(), {"Six", "1a"});
  Click(*sheet, "addIpv6Subnet");
  ASSERT_EQ(sheet->Find<QListWidget>("ipv6Subnets").count(), 1);
  FillNextDialog(sheet.get(), {"2001:db8::5", "00-11-22-33-44-66"});
  Click(*sheet, "addIpv6Mac");
  Select(*sheet, "ipv6Macs", "2001:db8::5");
  FillNextDialog(sheet.get(), {"2001:db8::6", ""});
  Click(*sheet, "editIpv6Mac");
  ASSERT_EQ(sheet->Find<QListWidget>("ipv6Macs").count(), 1);
  EXPECT_TRUE(sheet->Find<QListWidget>("ipv6Macs").item(0)->text().startsWith("2001:db8::6"));
  EXPECT_TRUE(t.prompt.requests.empty());
  const auto known = [&](const std::string& alias) {
    return t.rig.router().tables().user_profiles().Find(alias).has_value();
  };
  const Ipv6Address row = *TextToIpv6("2001:db8::6");
  TableEditor& editor = t.rig.router().tables().editor();
  EXPECT_EQ(editor.SetIpv6MacProfile(row, "Bronze", known, t.prompt).refusal,
            TableRefusal::kUnknownProfile);
  t.prompt.requests.clear();
  sheet->tabs().setCurrentIndex(6);
  auto& qos = sheet->Find<QListWidget>("ipQos");
  ASSERT_EQ(qos.count(), 3);
  EXPECT_TRUE(qos.item(2)->text().startsWith("2001:db8::6  ("));
  Select(*sheet, "ipQos", "2001:db8::6");
  FillNextDialog(sheet.get(), {"", "Gold"});
  Click(*sheet, "editIpQos");
  EXPECT_TRUE(t.prompt.requests.empty()) << t.prompt.Texts().front();
  EXPECT_EQ(qos.item(2)->text(), "2001:db8::6  Gold");
  ASSERT_TRUE(sheet->Apply());
  sheet->tabs().setCurrentIndex(0);
  const std::string ini = t.Ini();
  EXPECT_NE(ini.find("2001:db8::6"), std::string::npos) << ini;
  EXPECT_NE(ini.find("00-11-22-33-44-66 Gold"), std::string::npos) << ini;
  EXPECT_NE(ini.find("Six"), std::string::npos);
}

TEST(SettingsSheet, ADialogEditsItsRecordWhateverChangedMeanwhile) {
  SheetRig t("velmora_sheet_record");
  auto sheet = t.Sheet(2);
  Select(*sheet, "ipMacs", "10.0.0.6");
  FillNextDialog(sheet.get(), {"10.0.0.8", ""}, [&] {
    SilentPrompt remote;
    t.rig.router().tables().editor().DeleteIpMacRow(DottedToAddress("10.0.0.5"), remote);
  });
  Click(*sheet, "editIpMac");
  sheet->tabs().setCurrentIndex(0);
  const auto tables = t.rig.router().tables().tables().Snapshot();
  ASSERT_EQ(tables->ip_mac_rows().size(), 1u);
  EXPECT_EQ(tables->ip_mac_rows()[0].address_text, "10.0.0.8");
  EXPECT_EQ(tables->ip_mac_rows()[0].mac_text, "00-11-22-33-44-56");
}

// The packets counted for `address` in a statistic file, 0 when it has no record of it.
uint32_t PacketsInFile(const std::filesystem::path& file, const std::string& address) {
  const std::string text = testing::ReadAll(file);
  const size_t at = text.find("\r\n" + address + " ");
  return at == std::string::npos ? 0 : std::stoul(text.substr(at + 3 + address.size()));
}

TEST(SettingsSheet, TheStatisticFileSwitchedWhileTrafficFlowsGetsTheLaterTraffic) {
  WindowRig rig("velmora_sheet_statistics", "StatisticEnable=1\nStatisticFile=first.log\n",
                testing::kOneAddressNetwork);
  rig.Open();
  ASSERT_TRUE(WindowRig::WaitFor([&] { return rig.router().controller().running(); }));
  TrafficStatistics& statistics = rig.router().statistics();
  const auto counted = [&] {
    return statistics.Address(DottedToAddress("10.0.0.5")).value_or(AddressStatistics{}).packets;
  };
  ASSERT_TRUE(WindowRig::WaitFor([&] {  // datagrams before the port listens are not counted
    rig.SendTraffic(1);
    QTest::qWait(20);
    return counted() > 0;
  }));
  QTest::qWait(200);
  std::atomic<bool> flowing = true;
  std::atomic<uint32_t> sent = counted();
  std::thread sender([&] {
    for (; flowing; ++sent) {
      rig.SendTraffic(1);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  ASSERT_TRUE(WindowRig::WaitFor([&] { return counted() >= 10; }));
  RecordingPrompt prompt;
  prompt.answers = {PromptAnswer::kNo};
  ui::SettingsSheet sheet(rig.router(), rig.log(), prompt);
  sheet.tabs().setCurrentIndex(3);
  sheet.Find<QLineEdit>("statisticFileName").setText("second.log");
  const bool applied = sheet.Apply();
  const uint32_t sent_at_switch = sent;
  WindowRig::WaitFor([&] { return sent >= sent_at_switch + 10; });
  flowing = false;
  sender.join();
  ASSERT_TRUE(applied);
  EXPECT_EQ(statistics.active_file(), "second.log");
  ASSERT_TRUE(WindowRig::WaitFor(
      [&] { return counted() + PacketsInFile(rig.dir() / "first.log", "10.0.0.5") == sent; }));
  statistics.WriteFile();
  const uint32_t first = PacketsInFile(rig.dir() / "first.log", "10.0.0.5");
  const uint32_t second = PacketsInFile(rig.dir() / "second.log", "10.0.0.5");
  EXPECT_GE(first, 10u);
  EXPECT_GE(second, 10u);
  EXPECT_EQ(first + second, sent);
}

TEST(SettingsSheet, ADialogActsOnItsRecordAfterARemoteSessionChangedItsList) {
  const uint16_t port = testing::UdpPeer::FreePort();
  const std::string remote =
      "RemoteControlOn=1\nRemoteControlBind=127.0.0.1\nRemoteControlPort=" + std::to_string(port) +
      "\n";
  SheetRig t("velmora_sheet_remote", false, kProfiles, remote);
  testing::RemoteClient client(port);
  ASSERT_TRUE(client.connected());
  auto sheet = t.Sheet(2);
  Select(*sheet, "ipMacs", "10.0.0.6");
  FillNextDialog(sheet.get(), {"10.0.0.8", ""}, [&] {
    client.Send("SET RDELS 10.0.0.5\n");
    WindowRig::WaitFor(
        [&] { return t.rig.router().tables().tables().Snapshot()->ip_mac_rows().size() == 1; });
  });
  Click(*sheet, "editIpMac");
  const auto tables = t.rig.router().tables().tables().Snapshot();
  ASSERT_EQ(tables->ip_mac_rows().size(), 1u);
  EXPECT_EQ(tables->ip_mac_rows()[0].address_text, "10.0.0.8");
  sheet->tabs().setCurrentIndex(4);
  FillNextDialog(sheet.get(), {"Ann", "Secret"});
  Click(*sheet, "addUser");
  Select(*sheet, "users", "Ann");
  FillNextDialog(sheet.get(), {"", "Changed"}, [&] {
    client.Send("SET L2TPUSER Bob Other\n");
    WindowRig::WaitFor([&] { return t.rig.router().tables().l2tp_users().Entries().size() == 2; });
  });
  Click(*sheet, "editUser");
  const auto users = t.rig.router().tables().l2tp_users().Entries();
  EXPECT_EQ(users.at("Ann"), "Changed");
  EXPECT_EQ(users.at("Bob"), "Other");
}

// velmora.ini as written after the sheet below, with %I, %T and %N for the inserter port, the
// transparent port and the multicast NIC of the machine.
constexpr const char* kWholeFile =
    "; INI for Velmora application\r\n"
    "\r\n"
    "; Meaning of the adjustments:\r\n"
    "; Section [GENERAL]\r\n"
    ";   WinPosition: last position of the window (don't change this parameter)\r\n"
    ";   WinPositionQoS: last position of the QoS window (don't change this parameter)\r\n"
    ";   LogFileName: File's name where debug window's contents have output if LogOn=1\r\n"
    ";   LogFileSize: File's max size where debug window's contents have output if LogOn=1\r\n"
    ";   LogOn: if non-zero then debug window's contents have output to file <LogFileName>\r\n"
    ";   LogLevel: 1..3 - level of debug messages in the miniconsole\r\n"
    ";   LoadOnStartup: auto run application after power on (0 (off), 1 (on))\r\n"
    ";   StartListening: always equal to 1\r\n"
    ";   TrafficControl: Drops all traffic if summary loading more than 50 Mbits/s\r\n"
    ";   RemoteControlOn: Enables remote control on Velmora by TCP/IP session\r\n"
    ";   RemoteControlPort: TCP/IP port where Velmora waits for remote control connections\r\n"
    ";   CorvidEnable: if non-zero then Corvid driver source enabled\r\n"
    ";   PylonEnable: if non-zero then Pylon driver source enabled\r\n"
    ";   TransparentEnable: if non-zero then Transparent Port source enabled\r\n"
    ";   BouncerEnable: if non-zero then Bouncer source enabled\r\n"
    ";   L2tpEnable: if non-zero then L2tp source enabled\r\n"
    ";   InserterIP: IP address of Inserter hope\r\n"
    ";   InserterPort: port of Inserter hope\r\n"
    ";   EnableBandwidth: enable bandwidth control\r\n"
    ";   TransparentPort: port of Transparent source\r\n"
    ";   StatisticEnable: if non-zero then statistic file will be created\r\n"
    ";   StatisticFile: statistic file name\r\n"
    ";   TypeChannel: DVB/DAB\r\n"
    ";   MaxPayloadCut: payload, when trafic cut (bit/s), default 50000\r\n"
    ";   BufTime: time of buffering of packets (msec), default 3000\r\n"
    ";   DefaultUP: alias of default user profile\r\n"
    ";   MCastNIC: NIC for multicast joining\r\n"
    ";   L2tpPort: L2TP port\r\n"
    ";   L2tpPoolIP: IP pool starting address\r\n"
    ";   L2tpPool: IP pool\r\n"
    ";   \r\n"
    ";   [PYLONSRCFILTER] section: \r\n"
    ";      List of Pylon source filter IP addresses.\r\n"
    ";   \r\n"
    ";   [L2TPUSERS] section: \r\n"
    ";      List of L2TP source users.\r\n"
    ";   \r\n"
    ";   [USERPROFILES] section: \r\n"
    ";      List of User Profiles.\r\n"
    ";   \r\n"
    ";   [NETWORKS] section: \r\n"
    ";      Describes parameters for adding QoS headers to ethernet frames.\r\n"
    ";      Velmora itself maintains IpSubNetMAC parameter. You should not change it\r\n"
    "\r\n"
    "[GENERAL]\r\n"
    "WinPosition=0,1,-1,-1,-1,-1,5,5,630,470\r\n"
    "WinPositionQoS=0,1,-1,-1,-1,-1,1,1,640,480\r\n"
    "LogFileName=\"velmora.log\"\r\n"
    "LogFileSize=100\r\n"
    "LogOn=0\r\n"
    "LogLevel=1\r\n"
    "LoadOnStartup=0\r\n"
    "StartListening=0\r\n"
    "TrafficControl=0\r\n"
    "RemoteControlOn=0\r\n"
    "RemoteControlPort=6101\r\n"
    "CorvidEnable=0\r\n"
    "PylonEnable=0\r\n"
    "TransparentEnable=1\r\n"
    "BouncerEnable=0\r\n"
    "L2tpEnable=0\r\n"
    "CorvidDefaultRoute=0\r\n"
    "BufTime=3000\r\n"
    "InserterIP=127.0.0.1\r\n"
    "InserterPort=%I\r\n"
    "EnableBandwidth=1\r\n"
    "TransparentPort=%T\r\n"
    "StatisticEnable=0\r\n"
    "StatisticFile=\"stat<date>.log\"\r\n"
    "TypeChannel=DAB\r\n"
    "MaxPayloadCut=15000000\r\n"
    "DefaultUP=Silver\r\n"
    "MCastNIC=%N\r\n"
    "L2tpPort=1701\r\n"
    "L2tpPoolIP=192.168.100.0\r\n"
    "L2tpPool=100\r\n"
    "Ipv6Adapter=0\r\n"
    "\r\n"
    "[PYLONSRCFILTER]\r\n"
    "\r\n"
    "[L2TPUSERS]\r\n"
    "Ann=Secret\r\n"
    "\r\n"
    "[L2TPPEERS]\r\n"
    "\r\n"
    "[USERPROFILES]\r\n"
    "Gold=2000000,1000000,300000\r\n"
    "Silver=1000000,500000,100000\r\n"
    "\r\n"
    "[NETWORKS]\r\n"
    "Alias=\"Net\", IPSubNetAddr=10.0.0.0, IPSubNetMask=255.0.0.0, IPSubNetMAC=\"SubNet_001\",\r\n"
    "    IPSubNetPID=291\r\n"
    "\r\n"
    "[SubNet_001]\r\n"
    "; IP/MACs for the subnet entry: Alias=\"Net\" IPsubnet=10.0.0.0\r\n"
    "10.0.0.5    00-11-22-33-44-55 Gold\r\n"
    "10.0.0.6    00-11-22-33-44-56 \r\n"
    "\r\n"
    "[NETV6WORKS]\r\n";

TEST(SettingsSheet, TheWholeFileAfterAnApply) {
  SheetRig t("velmora_sheet_whole_file");
  auto sheet = t.Sheet(4);
  FillNextDialog(sheet.get(), {"Ann", "Secret"});
  Click(*sheet, "addUser");
  sheet->tabs().setCurrentIndex(0);
  sheet->Find<QComboBox>("physicalChannel").setCurrentText("DAB");
  ASSERT_TRUE(sheet->Apply());
  const Settings& s = t.rig.router().settings();
  std::string expected = kWholeFile;
  for (const auto& [mark, value] : {std::pair{"%I", std::to_string(s.InserterPort)},
                                    std::pair{"%T", std::to_string(s.TransparentPort)},
                                    std::pair{"%N", std::string(s.MCastNIC.get())}}) {
    expected.replace(expected.find(mark), 2, value);
  }
  EXPECT_EQ(t.Ini(), expected);
}

TEST(SettingsSheet, PicturesOfEveryPage) {
  SheetRig t("velmora_sheet_pictures");
  auto sheet = t.Sheet();
  sheet->resize(640, 480);
  sheet->show();
  for (int i = 0; i < sheet->tabs().count(); ++i) {
    sheet->tabs().setCurrentIndex(i);
    QTest::qWait(20);
    const QString path = QString(SCREENSHOT_DIR) + "/settings_page_" + QString::number(i) + ".png";
    EXPECT_TRUE(sheet->grab().save(path)) << path.toStdString();
  }
  sheet->tabs().setCurrentIndex(0);
}

}  // namespace
}  // namespace velmora
