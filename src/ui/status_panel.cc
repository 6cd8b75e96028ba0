#include "ui/status_panel.h"

#include <algorithm>

#include <QGridLayout>
#include <QHBoxLayout>
#include <QPainter>
#include <QVBoxLayout>

namespace velmora::ui {
namespace {

constexpr QColor kBarBackground{190, 190, 190};
constexpr QColor kBarColour{0, 170, 0};
constexpr QColor kMarkerColour{200, 0, 0};
constexpr int kMarkerWidth = 3;
constexpr int kBarHeight = 18;
constexpr int kNameWidth = 70;
constexpr int kRightMargin = 30;  // room for half of the last tick label

QString Number(uint32_t value) {
  return QString::number(value);
}

int Share(int length, uint32_t percent) {
  return length * static_cast<int>(std::min<uint32_t>(percent, 100)) / 100;
}

}  // namespace

void DrawShareBar(QPainter& painter, const QRect& frame, uint32_t percent,
                  uint32_t marker_percent) {
  painter.fillRect(frame, kBarBackground);
  painter.fillRect(QRect(frame.left(), frame.top(), Share(frame.width(), percent), frame.height()),
                   kBarColour);
  const int marker =
      frame.left() + std::min(Share(frame.width(), marker_percent), frame.width() - kMarkerWidth);
  painter.fillRect(QRect(marker, frame.top(), kMarkerWidth, frame.height()), kMarkerColour);
}

Lamp::Lamp(QWidget* parent) : QWidget(parent) {
  setFixedSize(sizeHint());
}

void Lamp::Switch(bool on, QColor colour) {
  if (on == on_ && colour == colour_) return;
  on_ = on;
  colour_ = colour;
  update();
}

void Lamp::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(Qt::darkGray);
  painter.setBrush(on_ ? colour_ : QColor(Qt::lightGray).darker(110));
  painter.drawEllipse(rect().adjusted(1, 1, -1, -1));
}

BarGraph::BarGraph(QWidget* parent) : QWidget(parent) {
  setMinimumSize(sizeHint());
}

void BarGraph::Update(uint32_t unicast_kbps, uint32_t multicast_kbps) {
  scale_.Update(unicast_kbps, multicast_kbps);
  update();
}

void BarGraph::Reset() {
  scale_.Reset();
  update();
}

int BarGraph::BarWidth() const {
  return width() - kNameWidth - kRightMargin;
}

void BarGraph::DrawBar(QPainter& painter, int row, const QString& name,
                       const BarGraphScale::Bar& bar) {
  const int width = BarWidth();
  const int top = 4 + row * (kBarHeight + 6);
  painter.setPen(palette().color(QPalette::WindowText));
  painter.drawText(QRect(0, top, kNameWidth, kBarHeight), Qt::AlignVCenter, name);
  DrawShareBar(painter, QRect(kNameWidth, top, width, kBarHeight), bar.percent, bar.marker_percent);
}

void BarGraph::DrawTicks(QPainter& painter) {
  const int width = BarWidth();
  const int top = 4 + 2 * (kBarHeight + 6);
  const auto labels = scale_.TickLabels();
  painter.setPen(palette().color(QPalette::WindowText));
  for (int i = 0; i < BarGraphScale::kTicks; ++i) {
    const int x = kNameWidth + width * i / 10;
    painter.drawLine(x, top, x, top + 4);
    const QRect text(x - 30, top + 5, 60, 16);
    painter.drawText(text, Qt::AlignHCenter | Qt::AlignTop, Number(labels[i]));
  }
}

void BarGraph::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  QFont small = font();
  small.setPointSizeF(small.pointSizeF() * 0.85);
  painter.setFont(small);
  DrawBar(painter, 0, "Unicast", scale_.unicast());
  DrawBar(painter, 1, "Multicast", scale_.multicast());
  DrawTicks(painter);
}

StatusPanel::StatusPanel(QWidget* parent)
    : QWidget(parent), lamps_(new QWidget(this)), table_(new QWidget(this)) {
  auto* lamps = new QHBoxLayout(lamps_);
  lamps->setContentsMargins(0, 0, 0, 0);
  status_ = AddLamp("Status", "statusLamp");
  external_ = AddLamp("External", "externalLamp");
  routed_ = AddLamp("Routed", "routedLamp");
  internal_ = AddLamp("Internal", "internalLamp");
  l2tp_ = AddLamp("L2TP", "l2tpLamp");
  remote_ = AddLamp("RCmd", "remoteLamp");
  lamps->addStretch();

  auto* grid = new QGridLayout(table_);
  grid->setContentsMargins(0, 0, 0, 0);
  grid->addWidget(new QLabel("#packets"), 0, 1, Qt::AlignRight);
  grid->addWidget(new QLabel("kbit/s"), 0, 2, Qt::AlignRight);
  grid->addWidget(new QLabel("Peak Rate, kbit/s"), 0, 3, Qt::AlignRight);
  grid->addWidget(new QLabel("Unicast IP"), 1, 0);
  grid->addWidget(new QLabel("Multicast IP"), 2, 0);
  unicast_packets_ = AddValue(1, 1, "unicastPackets");
  unicast_rate_ = AddValue(1, 2, "unicastRate");
  unicast_peak_ = AddValue(1, 3, "unicastPeak");
  multicast_packets_ = AddValue(2, 1, "multicastPackets");
  multicast_rate_ = AddValue(2, 2, "multicastRate");
  multicast_peak_ = AddValue(2, 3, "multicastPeak");
  grid->addWidget(new QLabel("kbit/s"), 3, 0);
  total_rate_ = AddValue(3, 2, "totalRate");
  grid->addWidget(new QLabel("ARP req"), 4, 0);
  arp_requests_ = AddValue(4, 1, "arpRequests");
  grid->addWidget(new QLabel("IP/PID-NOK"), 5, 0);
  resolution_failures_ = AddValue(5, 1, "resolutionFailures");

  graph_ = new BarGraph(this);
  graph_->setObjectName("barGraph");
  auto* column = new QVBoxLayout(this);
  column->addWidget(lamps_);
  column->addWidget(table_);
  column->addWidget(graph_);
  column->addStretch();
}

Lamp* StatusPanel::AddLamp(const char* name, const char* object_name) {
  auto* lamp = new Lamp(lamps_);
  lamp->setObjectName(object_name);
  lamps_->layout()->addWidget(lamp);
  lamps_->layout()->addWidget(new QLabel(name, lamps_));
  return lamp;
}

QLabel* StatusPanel::AddValue(int row, int column, const char* object_name) {
  auto* label = new QLabel("0", table_);
  label->setObjectName(object_name);
  label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  label->setMinimumWidth(70);
  static_cast<QGridLayout*>(table_->layout())->addWidget(label, row, column);
  return label;
}

void StatusPanel::Show(const StatusSnapshot& s) {
  unicast_packets_->setText(Number(s.unicast_packets));
  multicast_packets_->setText(Number(s.multicast_packets));
  status_->Switch(s.status_lamp);
  external_->Switch(s.external_lamp);
  routed_->Switch(s.routed_lamp);
  internal_->Switch(s.internal_lamp, s.internal_warning_lamp ? Qt::yellow : Qt::green);
  l2tp_->Switch(s.l2tp_lamp);
  total_rate_->setText(Number(s.total_kbps));
  unicast_rate_->setText(Number(s.unicast_kbps));
  unicast_peak_->setText(Number(s.unicast_peak_kbps));
  multicast_rate_->setText(Number(s.multicast_kbps));
  multicast_peak_->setText(Number(s.multicast_peak_kbps));
  graph_->Update(s.unicast_kbps, s.multicast_kbps);
  arp_requests_->setText(Number(s.arp_requests));
  resolution_failures_->setText(Number(s.resolution_failures));
}

void StatusPanel::ShowStopped() {
  for (QLabel* value : {unicast_packets_, unicast_rate_, multicast_packets_, multicast_rate_,
                        total_rate_, arp_requests_, resolution_failures_}) {
    value->setText("0");
  }
  status_->Switch(false);
}

}  // namespace velmora::ui
