#include "ui/qos_panel.h"

#include <QCloseEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QPainter>
#include <algorithm>

namespace velmora::ui {
namespace {

// The level of bandwidth management's statistics: 3 no traffic, 2 within the guarantees, 1 some
// address above its guarantee, 0 datagrams dropped.
constexpr int kNoTraffic = 3;
constexpr int kAlias = 0, kUsers = 1, kRate = 2, kPeak = 3, kBar = 4, kLamps = 5;

uint32_t Percent(uint64_t value, uint64_t full) {
  if (full == 0) return 0;
  return static_cast<uint32_t>(std::min<uint64_t>(value * 100 / full, 100));
}

QLabel* Cell(const QString& text, Qt::Alignment alignment = Qt::AlignRight | Qt::AlignVCenter) {
  auto* label = new QLabel(text);
  label->setAlignment(alignment);
  return label;
}

// The lowest level of the profiles: the Data row's lamps.
int WorstLevel(const TessaroBWControl::BWCStatistics& statistics) {
  int level = kNoTraffic;
  for (const auto& [alias, entry] : statistics.profiles) level = std::min(level, entry.level);
  return level;
}

}  // namespace

ShareBar::ShareBar(QWidget* parent) : QWidget(parent) {
  setMinimumSize(sizeHint());
}

void ShareBar::Show(uint32_t percent, uint32_t marker_percent) {
  percent_ = std::min<uint32_t>(percent, 100);
  marker_percent_ = std::min<uint32_t>(marker_percent, 100);
  update();
}

void ShareBar::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  DrawShareBar(painter, rect(), percent_, marker_percent_);
}

QosPanel::QosPanel() : grid_(new QGridLayout(this)) {
  setWindowTitle(kTitle);
  grid_->addWidget(Cell("#User"), 0, kUsers);
  grid_->addWidget(Cell("Kbit/s"), 0, kRate);
  grid_->addWidget(Cell("Peak Kbit/s"), 0, kPeak);
  auto* scale = new QWidget;
  auto* ends = new QHBoxLayout(scale);
  ends->setContentsMargins(0, 0, 0, 0);
  ends->addWidget(Cell("0%", Qt::AlignLeft));
  ends->addWidget(Cell("100%"));
  grid_->addWidget(scale, 0, kBar);
  data_ = AddRow(1);
  data_.alias->setText("Data");
  grid_->setRowStretch(kMaxProfiles + 2, 1);
  grid_->setColumnStretch(kBar, 1);
}

QosPanel::Row QosPanel::AddRow(int line) {
  Row row{Cell("", Qt::AlignLeft | Qt::AlignVCenter),
          Cell(""),
          Cell(""),
          Cell(""),
          new ShareBar,
          {new Lamp, new Lamp, new Lamp},
          new QWidget};
  grid_->addWidget(row.alias, line, kAlias);
  grid_->addWidget(row.users, line, kUsers);
  grid_->addWidget(row.rate, line, kRate);
  grid_->addWidget(row.peak, line, kPeak);
  grid_->addWidget(row.bar, line, kBar);
  auto* layout = new QHBoxLayout(row.lamp_box);
  layout->setContentsMargins(0, 0, 0, 0);
  row.lamps[0]->setToolTip("Traffic within the guarantee");
  row.lamps[1]->setToolTip("Traffic above the guarantee");
  row.lamps[2]->setToolTip("Datagrams dropped");
  for (Lamp* lamp : row.lamps) layout->addWidget(lamp);
  grid_->addWidget(row.lamp_box, line, kLamps);
  return row;
}

void QosPanel::RebuildProfileRows(size_t count) {
  for (Row& row : profiles_) {
    for (QWidget* cell : std::initializer_list<QWidget*>{row.alias, row.users, row.rate, row.peak,
                                                         row.bar, row.lamp_box}) {
      delete cell;
    }
  }
  profiles_.clear();
  for (size_t i = 0; i < count; ++i) profiles_.push_back(AddRow(static_cast<int>(i) + 2));
}

void QosPanel::Fill(Row& row, const QString& alias, uint32_t users, uint64_t rate, uint64_t peak,
                    uint64_t full, int level) {
  row.alias->setText(alias);
  row.users->setText(QString::number(users));
  row.rate->setText(QString::number(rate / 1000));
  row.peak->setText(QString::number(peak / 1000));
  row.bar->Show(Percent(rate, full), Percent(peak, full));
  row.lamps[0]->Switch(level == 2, Qt::green);
  row.lamps[1]->Switch(level == 1, Qt::yellow);
  row.lamps[2]->Switch(level == 0, Qt::red);
}

void QosPanel::Empty(Row& row) {
  for (QLabel* value : {row.users, row.rate, row.peak}) value->clear();
  row.bar->Show(0, 0);
  for (Lamp* lamp : row.lamps) lamp->Switch(false);
}

void QosPanel::Show(const QosFigures& figures) {
  const TessaroBWControl::BWCStatistics& statistics = figures.statistics;
  const size_t count = std::min<size_t>(statistics.profiles.size(), kMaxProfiles);
  if (count != profiles_.size()) RebuildProfileRows(count);
  Fill(data_, "Data", statistics.address_count, statistics.current_total, statistics.peak_total,
       figures.physical_bandwidth, WorstLevel(statistics));
  auto entry = statistics.profiles.begin();
  for (Row& row : profiles_) {
    const auto& [alias, profile] = *entry++;
    Fill(row, QString::fromStdString(alias), profile.address_count, profile.current,
         profile.profile.peak, profile.profile.summary, profile.level);
  }
}

void QosPanel::closeEvent(QCloseEvent* event) {
  if (on_close_) on_close_();
  QWidget::closeEvent(event);
}

void QosPanel::ShowStopped() {
  Empty(data_);
  for (Row& row : profiles_) Empty(row);
}

}  // namespace velmora::ui
