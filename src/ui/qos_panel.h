#pragma once

#include <QLabel>
#include <QWidget>
#include <array>
#include <functional>
#include <vector>

#include "app/status_refresher.h"
#include "ui/status_panel.h"

class QGridLayout;

namespace velmora::ui {

// A bar from 0 % to 100 % with a peak marker. GUI thread only.
class ShareBar final : public QWidget {
 public:
  explicit ShareBar(QWidget* parent = nullptr);
  void Show(uint32_t percent, uint32_t marker_percent);
  uint32_t percent() const { return percent_; }
  uint32_t marker_percent() const { return marker_percent_; }
  QSize sizeHint() const override { return {200, 14}; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  uint32_t percent_ = 0;
  uint32_t marker_percent_ = 0;
};

// The QoS panel "Bandwidth Management": a "Data" row for the whole of bandwidth management and
// one row per user profile (at most 16) with its addresses, rate, peak, share bar and three lamps
// for its traffic level. A separate top-level window fed by the main window on the GUI thread.
class QosPanel final : public QWidget {
 public:
  static constexpr const char* kTitle = "Bandwidth Management";
  static constexpr int kMaxProfiles = 16;

  // One row's widgets.
  struct Row {
    QLabel* alias;
    QLabel* users;
    QLabel* rate;
    QLabel* peak;
    ShareBar* bar;
    std::array<Lamp*, 3> lamps;  // within the guarantee, above it, dropped
    QWidget* lamp_box;
  };

  QosPanel();
  void Show(const QosFigures& figures);
  // The service stopped: every row stays, empty.
  void ShowStopped();

  // Runs when the operator closes the panel: where its placement is stored.
  void set_on_close(std::function<void()> on_close) { on_close_ = std::move(on_close); }

  const Row& data_row() const { return data_; }
  const std::vector<Row>& profile_rows() const { return profiles_; }

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  Row AddRow(int line);
  void RebuildProfileRows(size_t count);
  static void Fill(Row& row, const QString& alias, uint32_t users, uint64_t rate, uint64_t peak,
                   uint64_t full, int level);
  static void Empty(Row& row);

  QGridLayout* grid_;
  Row data_;
  std::vector<Row> profiles_;
  std::function<void()> on_close_;
};

}  // namespace velmora::ui
