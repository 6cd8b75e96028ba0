// Feeds any bytes to the remote control's command interpreter, one line per line feed, against
// real tables, lists and statistics and a fake router. The first byte chooses master or not and
// the starting mode. Every reply in machine mode must end with CR LF; the tables must stay within
// their capacities.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "testing/remote_rig.h"

namespace {

class CheckedChannel final : public velmora::ReplyChannel {
 public:
  void Send(std::string_view bytes) override {
    if (bytes.empty() || !bytes.ends_with("\r\n")) std::abort();
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > 65536) return 0;
  velmora::testing::RemoteRig rig;
  rig.log.Configure({.level = 2});  // commands are logged, and masked, as in the field
  rig.human = (data[0] & 2) != 0;
  velmora::SessionState session{.master = (data[0] & 1) != 0};
  CheckedChannel out;
  std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
  while (!input.empty() && !session.quit) {
    const size_t end = std::min(input.find('\n'), input.size());
    rig.interpreter.Execute(input.substr(0, end), session, out);
    input.remove_prefix(std::min(end + 1, input.size()));
  }
  const auto tables = rig.tables.Snapshot();
  if (tables->subnets().size() > velmora::kMaxSubnets) std::abort();
  if (tables->ip_mac_rows().size() > velmora::kMaxIpMacRows) std::abort();
  return 0;
}
