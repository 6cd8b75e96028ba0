// Pictures of the main window with traffic flowing and of the QoS panel, written to the build
// folder for a person to look at.

#include <gtest/gtest.h>

#include <QAction>

#include "ui/window_rig.h"

namespace velmora {
namespace {

using testing::WindowRig;

constexpr const char* kProfiles =
    "[USERPROFILES]\nGold=2000000,1000000,300000\nSilver=1000000,500000,100000\n"
    "[NETWORKS]\nAlias=\"Net\", IPSubNetAddr=10.0.0.0, IPSubNetMask=255.0.0.0, "
    "IPSubNetMAC=\"SubNet_001\", IPSubNetPID=291\n"
    "[SubNet_001]\n10.0.0.5 00-11-22-33-44-55 Gold\n10.0.0.6 00-11-22-33-44-56 Silver\n";

void Save(QWidget& widget, const char* name) {
  const QString path = QString(SCREENSHOT_DIR) + "/" + name;
  ASSERT_TRUE(widget.grab().save(path)) << path.toStdString();
}

TEST(Screenshots, MainWindowWithTrafficAndTheQosPanel) {
  WindowRig rig("velmora_ui_pictures", "EnableBandwidth=1\nMaxPayloadCut=4000000\nLogLevel=3\n",
                kProfiles);
  rig.Open();
  EXPECT_EQ(rig.log().level(), 3);
  ASSERT_TRUE(WindowRig::WaitFor([&] { return rig.window().action("showQos").isEnabled(); }));
  rig.window().action("showQos").trigger();
  ui::QosPanel& qos = rig.window().qos_panel();
  // Two refreshes with traffic to both profiles, so that rates, peaks and lamps show.
  int refreshes = 0;
  QString last_packets;
  ASSERT_TRUE(WindowRig::WaitFor(
      [&] {
        rig.SendTraffic(30, 1200, "10.0.0.5");
        rig.SendTraffic(10, 800, "10.0.0.6");
        QTest::qWait(100);
        const QString packets = rig.Label("unicastPackets");
        if (packets != last_packets && packets != "0") ++refreshes;
        last_packets = packets;
        return refreshes >= 2 && qos.profile_rows().size() == 2 &&
               qos.profile_rows()[0].rate->text().toInt() > 0;
      },
      15000));
  Save(rig.window(), "main_window.png");
  Save(qos, "qos_panel.png");
}

}  // namespace
}  // namespace velmora
