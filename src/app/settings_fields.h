#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/settings.h"

namespace velmora {

// Strict readers for the texts of the settings pages' fields: each gives nothing for a text that
// cannot be stored as it stands, where the file's own conversion would store something else.
std::optional<int32_t> IntegerField(std::string_view text);
// A port: 1 to 65535.
std::optional<uint16_t> PortField(std::string_view text);
// A dotted IPv4 address, four decimal parts; network byte order.
std::optional<uint32_t> Ipv4Field(std::string_view text);

// The corrections the file's settings get at start-up, for the pages to apply the same way.
int32_t CorrectedBufTime(int32_t milliseconds);
std::string CorrectedMCastNic(const std::string& wanted, const std::vector<std::string>& local);

// The free-text fields of the Expert, L2TP and User Profiles pages as the operator typed them.
struct GeneralFields {
  std::string transparent_port;
  std::string inserter_port;
  std::string inserter_ip;
  std::string remote_control_port;
  std::string l2tp_port;
  std::string l2tp_pool_ip;
  std::string l2tp_pool;
  std::string buf_time;
  std::string max_payload_cut;  // the physical bandwidth, bit/s
};

// The fields filled from `settings`.
GeneralFields GeneralFieldsOf(const Settings& settings);
// Stores every field into `settings` when each can be stored (BufTime corrected into its range)
// and returns nothing; otherwise stores none and returns the refusal to show. Called on the
// window thread by the pages' apply step.
std::optional<std::string> StoreGeneralFields(const GeneralFields& fields, Settings& settings);

// Whether any value the settings file stores differs between the two records (the window
// placements aside): what sets the pages' restart-needed flag.
bool SettingsChanged(const Settings& before, const Settings& after);

}  // namespace velmora
