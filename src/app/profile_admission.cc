#include "app/profile_admission.h"

#include <memory>

#include "app/bandwidth_service.h"
#include "bandwidth/bwc_controller.h"
#include "bandwidth/bwc_error.h"
#include "support/log.h"

namespace velmora {
namespace {

using TessaroBWControl::BWCController;
using TessaroBWControl::BWCError;

// The transmitter of a controller that only checks: nothing is ever sent.
class SilentTransmitter final : public TessaroBWControl::BWCTransmitter {
 public:
  bool Open(uint32_t, uint16_t) override { return true; }
  void Close() override {}
  int32_t Send(std::span<const uint8_t>) override { return 0; }
};

}  // namespace

void EditShaperProfile(BWCController& controller, ProfileEditKind kind, const UserProfile& p) {
  switch (kind) {
    case ProfileEditKind::kAdd:
      return controller.AddProfile(p.Alias, p.summary, p.maximum, p.guarantee);
    case ProfileEditKind::kChange:
      return controller.ChangeProfile(p.Alias, p.summary, p.maximum, p.guarantee);
    case ProfileEditKind::kRemove:
      return controller.RemoveProfile(p.Alias);
  }
}

std::optional<std::string> AdmitProfileEdit(ProfileEditKind kind, const UserProfile& profile,
                                            const ProfileContext& context) {
  return AdmitShaperEdit(
      [&](BWCController& controller) { EditShaperProfile(controller, kind, profile); }, context);
}

std::optional<std::string> AdmitShaperEdit(const ShaperEdit& edit, const ProfileContext& context) {
  Log quiet;
  BWCController trial(RealClock(), quiet, std::make_unique<SilentTransmitter>());
  try {
    trial.SetPhysicalBandwidth(static_cast<uint32_t>(context.physical_bandwidth));
    LoadProfilesAndAddresses(trial, context.profiles.Entries(), context.tables,
                             context.default_profile);
  } catch (const BWCError&) {
    // What is stored breaks the rules already; the edit alone is judged below.
  }
  try {
    edit(trial);
    if (context.running_shaper != nullptr) edit(*context.running_shaper);
  } catch (const BWCError& error) {
    return error.what();
  }
  return std::nullopt;
}

}  // namespace velmora
