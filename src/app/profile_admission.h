#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "tables/user_profile_list.h"

namespace velmora {

class Log;
class TableSnapshot;
namespace TessaroBWControl {
class BWCController;
}

// What a profile edit is checked against: the settings page's physical bandwidth, the profiles
// and rows as they are, the default profile, and the shaper when it runs (null otherwise).
struct ProfileContext {
  int64_t physical_bandwidth = 0;
  const UserProfileList& profiles;
  const TableSnapshot& tables;
  std::string default_profile;
  TessaroBWControl::BWCController* running_shaper = nullptr;
};

enum class ProfileEditKind { kAdd, kChange, kRemove };

// An edit of the shaper's profiles or addresses, made on a trial controller and the running one.
using ShaperEdit = std::function<void(TessaroBWControl::BWCController&)>;

// Checks `edit` by the bandwidth admission rules on a controller of its own that never sends and,
// when admitted and `context` names a running shaper, makes it there too. Returns the operator's
// message of a refusal, or nothing. Called on the control thread.
std::optional<std::string> AdmitShaperEdit(const ShaperEdit& edit, const ProfileContext& context);

// Makes a profile edit in `controller`; raises BWCError on a refusal.
void EditShaperProfile(TessaroBWControl::BWCController& controller, ProfileEditKind kind,
                       const UserProfile& profile);

// Checks a profile edit by the bandwidth admission rules on a controller of its own that never
// sends (so a refused edit is found whether or not shaping runs) and, when admitted and shaping
// runs, makes it in the running shaper too, whose unchanged queues keep their datagrams. Returns
// the operator's message of a refusal, or nothing. Called on the control thread.
std::optional<std::string> AdmitProfileEdit(ProfileEditKind kind, const UserProfile& profile,
                                            const ProfileContext& context);

}  // namespace velmora
