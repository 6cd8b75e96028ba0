#pragma once

#include <QColor>
#include <QLabel>
#include <QWidget>
#include <array>

#include "app/status_refresher.h"
#include "stats/bar_graph_scale.h"

class QPainter;

namespace velmora::ui {

// Draws a bar over `frame`: grey, green up to `percent` of its width, and a red peak marker at
// `marker_percent`; both shares at most 100. Used by every bar of the window.
void DrawShareBar(QPainter& painter, const QRect& frame, uint32_t percent, uint32_t marker_percent);

// One round lamp: off (grey) or on in its colour. GUI thread only.
class Lamp final : public QWidget {
 public:
  explicit Lamp(QWidget* parent = nullptr);
  void Switch(bool on, QColor colour = Qt::green);
  bool on() const { return on_; }
  QColor colour() const { return colour_; }
  QSize sizeHint() const override { return {16, 16}; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  bool on_ = false;
  QColor colour_ = Qt::green;
};

// The unicast and multicast bars on one self-adjusting scale, with eleven tick labels and a peak
// marker per bar. GUI thread only.
class BarGraph final : public QWidget {
 public:
  explicit BarGraph(QWidget* parent = nullptr);
  void Update(uint32_t unicast_kbps, uint32_t multicast_kbps);
  void Reset();
  const BarGraphScale& scale() const { return scale_; }
  QSize sizeHint() const override { return {300, 90}; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  int BarWidth() const;
  void DrawBar(QPainter& painter, int row, const QString& name, const BarGraphScale::Bar& bar);
  void DrawTicks(QPainter& painter);

  BarGraphScale scale_;
};

// The status panel: lamps, packet counters, rates and peaks, the bar graph, ARP requests and
// resolution failures. Fed by the main window on the GUI thread.
class StatusPanel final : public QWidget {
 public:
  explicit StatusPanel(QWidget* parent = nullptr);
  void Show(const StatusSnapshot& snapshot);
  void ShowStopped();
  void ShowRemoteLamp(bool on) { remote_->Switch(on); }
  void ResetScale() { graph_->Reset(); }

 private:
  Lamp* AddLamp(const char* name, const char* object_name);
  QLabel* AddValue(int row, int column, const char* object_name);

  QWidget* lamps_;
  Lamp* status_;
  Lamp* external_;
  Lamp* routed_;
  Lamp* internal_;
  Lamp* l2tp_;
  Lamp* remote_;  // switched by the remote control's sessions, not by the snapshots
  QWidget* table_;
  QLabel* unicast_packets_;
  QLabel* unicast_rate_;
  QLabel* unicast_peak_;
  QLabel* multicast_packets_;
  QLabel* multicast_rate_;
  QLabel* multicast_peak_;
  QLabel* total_rate_;
  QLabel* arp_requests_;
  QLabel* resolution_failures_;
  BarGraph* graph_;
};

}  // namespace velmora::ui
