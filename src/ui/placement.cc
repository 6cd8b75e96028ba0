#include "ui/placement.h"

#include <algorithm>

namespace velmora::ui {
namespace {

// The show states of a stored placement.
constexpr uint32_t kShowNormal = 1;
constexpr uint32_t kShowMinimized = 2;
constexpr uint32_t kShowMaximized = 3;
constexpr int kSmallestSide = 100;

}  // namespace

WindowPlacement PlacementOf(const QWidget& window) {
  WindowPlacement placement;
  const QRect normal =
      window.normalGeometry().isValid() ? window.normalGeometry() : window.geometry();
  placement.show = window.isMaximized()   ? kShowMaximized
                   : window.isMinimized() ? kShowMinimized
                                          : kShowNormal;
  placement.left = normal.left();
  placement.top = normal.top();
  placement.right = normal.left() + normal.width();
  placement.bottom = normal.top() + normal.height();
  return placement;
}

void ShowPlaced(QWidget& window, const WindowPlacement& placement) {
  window.setGeometry(placement.left, placement.top,
                     std::max(placement.right - placement.left, kSmallestSide),
                     std::max(placement.bottom - placement.top, kSmallestSide));
  if (placement.show == kShowMaximized) {
    window.showMaximized();
  } else {
    window.show();
  }
}

}  // namespace velmora::ui
