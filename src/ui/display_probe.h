#pragma once

namespace velmora::ui {

// Whether a display can be opened: a Wayland compositor that accepts a connection on
// WAYLAND_DISPLAY, or an X server that accepts one on DISPLAY. Picks Qt's platform plugin for the
// one found. A QT_QPA_PLATFORM set already is kept, and only the platforms it names are probed.
// Called by main before any Qt object exists, so
// that a missing or broken display leads to a headless run instead of an abort.
bool PrepareDisplay();

}  // namespace velmora::ui
