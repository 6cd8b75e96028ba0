#pragma once

#include <QWidget>

#include "app/settings.h"

namespace velmora::ui {

// A top-level window's placement as velmora.ini keeps it, and back. GUI thread only.
WindowPlacement PlacementOf(const QWidget& window);
// Moves and sizes `window` as `placement` says and shows it (maximised when it was).
void ShowPlaced(QWidget& window, const WindowPlacement& placement);

}  // namespace velmora::ui
