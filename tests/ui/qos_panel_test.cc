// The QoS panel on Qt's offscreen platform with a real router whose bandwidth management shapes
// the traffic of two profiles.

#include <gtest/gtest.h>

#include <QAction>

#include "ui/window_rig.h"

namespace velmora {
namespace {

using testing::WindowRig;

constexpr const char* kTwoProfiles =
    "[USERPROFILES]\nGold=2000000,1000000,300000\nSilver=1000000,500000,100000\n"
    "[NETWORKS]\nAlias=\"Net\", IPSubNetAddr=10.0.0.0, IPSubNetMask=255.0.0.0, "
    "IPSubNetMAC=\"SubNet_001\", IPSubNetPID=291\n"
    "[SubNet_001]\n10.0.0.5 00-11-22-33-44-55 Gold\n10.0.0.6 00-11-22-33-44-56 Silver\n";

TEST(QosPanel, RowsFollowTheProfilesAndTheirTraffic) {
  WindowRig rig("velmora_ui_qos", "EnableBandwidth=1\nMaxPayloadCut=4000000\n", kTwoProfiles);
  rig.Open();
  ASSERT_TRUE(WindowRig::WaitFor([&] { return rig.router().controller().menu_running(); }));
  QAction& show = rig.window().action("showQos");
  ASSERT_TRUE(show.isEnabled()) << rig.ConsoleText();
  show.trigger();
  ui::QosPanel& panel = rig.window().qos_panel();
  EXPECT_TRUE(panel.isVisible());
  EXPECT_EQ(panel.windowTitle(), "Bandwidth Management");
  ASSERT_TRUE(WindowRig::WaitFor([&] { return panel.profile_rows().size() == 2; }));
  EXPECT_EQ(panel.profile_rows()[0].alias->text(), "Gold");
  EXPECT_EQ(panel.profile_rows()[1].alias->text(), "Silver");
  EXPECT_EQ(panel.data_row().alias->text(), "Data");
  EXPECT_EQ(panel.data_row().users->text(), "2");

  // Gold's traffic above its guarantee: its rate, bar and the level lamp above the guarantee.
  ASSERT_TRUE(WindowRig::WaitFor([&] {
    rig.SendTraffic(40, 1000);
    QTest::qWait(100);
    return panel.profile_rows()[0].rate->text().toInt() > 0;
  })) << rig.ConsoleText();
  const ui::QosPanel::Row& gold = panel.profile_rows()[0];
  EXPECT_EQ(gold.users->text(), "1");
  EXPECT_GT(gold.bar->percent(), 0u);
  EXPECT_LE(gold.bar->marker_percent(), 100u);
  EXPECT_GE(gold.bar->marker_percent(), gold.bar->percent());
  EXPECT_TRUE(gold.lamps[0]->on() || gold.lamps[1]->on() || gold.lamps[2]->on());
  EXPECT_EQ(panel.profile_rows()[1].rate->text(), "0");

  // A third profile rebuilds the rows.
  rig.router().bandwidth_controller().AddProfile("Bronze", 500000, 200000, 50000);
  ASSERT_TRUE(WindowRig::WaitFor([&] { return panel.profile_rows().size() == 3; }));
  EXPECT_EQ(panel.profile_rows()[0].alias->text(), "Bronze");

  // Stopped: the rows stay, empty, and the menu item is off.
  rig.window().action("stop").trigger();
  EXPECT_FALSE(show.isEnabled());
  ASSERT_TRUE(WindowRig::WaitFor([&] { return panel.profile_rows()[1].rate->text().isEmpty(); }))
      << panel.profile_rows()[1].rate->text().toStdString() << rig.ConsoleText();
  EXPECT_EQ(panel.profile_rows().size(), 3u);
  EXPECT_TRUE(panel.isVisible());
}

TEST(QosPanel, ItsPlacementSurvivesARestart) {
  WindowRig rig("velmora_ui_qos_place", "EnableBandwidth=1\n", kTwoProfiles);
  rig.Open();
  ASSERT_TRUE(WindowRig::WaitFor([&] { return rig.window().action("showQos").isEnabled(); }));
  rig.window().action("showQos").trigger();
  rig.window().qos_panel().setGeometry(300, 200, 520, 360);
  rig.CloseWithoutQuestion();
  EXPECT_NE(testing::ReadAll(rig.dir() / "velmora.ini")
                .find("WinPositionQoS=0,1,-1,-1,-1,-1,300,200,820,560"),
            std::string::npos);
  rig.Open();
  ASSERT_TRUE(WindowRig::WaitFor([&] { return rig.window().action("showQos").isEnabled(); }));
  rig.window().action("showQos").trigger();
  EXPECT_EQ(rig.window().qos_panel().geometry(), QRect(300, 200, 520, 360));
}

}  // namespace
}  // namespace velmora
