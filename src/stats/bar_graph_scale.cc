#include "stats/bar_graph_scale.h"

#include <algorithm>

namespace velmora {
namespace {

// A rate below this share of the scale, in percent, sends the scale back to its start.
constexpr uint64_t kFallPercent = 30;

uint64_t RoundUp(uint64_t value, uint64_t step) {
  return (value + step - 1) / step * step;
}

uint32_t Percent(uint32_t rate, uint32_t scale) {
  return static_cast<uint32_t>(std::min<uint64_t>(uint64_t{rate} * 100 / scale, 100));
}

}  // namespace

bool BarGraphScale::Update(uint32_t unicast_kbps, uint32_t multicast_kbps) {
  return Apply(unicast_kbps, multicast_kbps, false);
}

void BarGraphScale::Reset() {
  Apply(0, 0, true);
}

std::array<uint32_t, BarGraphScale::kTicks> BarGraphScale::TickLabels() const {
  std::array<uint32_t, kTicks> labels{};
  for (int i = 0; i < kTicks; ++i) labels[i] = scale_ * i / 10;
  labels[kTicks - 1] = scale_;
  return labels;
}

bool BarGraphScale::Fell(uint32_t rate) const {
  return rate > 0 && rate < uint64_t{scale_} * kFallPercent / 100;
}

uint32_t BarGraphScale::GrownScale(uint32_t rate) const {
  if (rate < scale_) return scale_;
  const uint64_t wanted = uint64_t{rate} * 10 / 7;
  const uint64_t step = wanted < 1000 ? 100 : 1000;
  return static_cast<uint32_t>(std::min<uint64_t>(RoundUp(wanted, step), UINT32_MAX));
}

void BarGraphScale::Show(Bar& bar, uint32_t rate, bool scale_changed) const {
  bar.percent = Percent(rate, scale_);
  if (rate > bar.marker_value || scale_changed) {
    bar.marker_value = std::max(bar.marker_value, rate);
    bar.marker_percent = Percent(bar.marker_value, scale_);
  }
}

bool BarGraphScale::Apply(uint32_t unicast_kbps, uint32_t multicast_kbps, bool reset) {
  const uint32_t rate = std::max(unicast_kbps, multicast_kbps);
  const bool restart = reset || Fell(rate);
  const uint32_t scale = restart ? kInitialScale : GrownScale(rate);
  const bool changed = scale != scale_;
  if (restart) {
    unicast_.marker_value = 0;
    multicast_.marker_value = 0;
  }
  scale_ = scale;
  Show(unicast_, unicast_kbps, changed || restart);
  Show(multicast_, multicast_kbps, changed || restart);
  return changed;
}

}  // namespace velmora
