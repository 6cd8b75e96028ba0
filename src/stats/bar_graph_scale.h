#pragma once

#include <array>
#include <cstdint>

namespace velmora {

// The status panel's self-scaling bar graph: one full scale shared by the unicast and multicast
// bars, each bar's share of it and a peak marker per bar. Holds no drawing; whoever draws the
// graph owns one and feeds it every refresh (the window's GUI thread).
class BarGraphScale {
 public:
  static constexpr uint32_t kInitialScale = 100;
  static constexpr int kTicks = 11;

  struct Bar {
    uint32_t percent = 0;         // the rate as a share of the scale
    uint32_t marker_percent = 0;  // where the peak marker stands
    uint32_t marker_value = 0;    // the highest rate the marker has shown, kbit/s
  };

  // One refresh with the two rates in kbit/s; true when the scale changed.
  bool Update(uint32_t unicast_kbps, uint32_t multicast_kbps);
  // Back to the initial scale, both bars and markers at zero.
  void Reset();

  uint32_t scale() const { return scale_; }
  // The labels 0, S/10 ... 9S/10, S.
  std::array<uint32_t, kTicks> TickLabels() const;
  const Bar& unicast() const { return unicast_; }
  const Bar& multicast() const { return multicast_; }

 private:
  // The larger rate fell below 30 % of the scale but not to zero.
  bool Fell(uint32_t rate) const;
  // The scale for the larger rate: grown when the rate reached it, else the present one.
  uint32_t GrownScale(uint32_t rate) const;
  void Show(Bar& bar, uint32_t rate, bool scale_changed) const;
  bool Apply(uint32_t unicast_kbps, uint32_t multicast_kbps, bool reset);

  uint32_t scale_ = kInitialScale;
  Bar unicast_;
  Bar multicast_;
};

}  // namespace velmora
