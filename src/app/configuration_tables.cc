#include "app/configuration_tables.h"

#include "app/configuration.h"
#include "app/settings.h"

namespace velmora {

ConfigurationTables::ConfigurationTables(FileSystem& files, Log& log, OperatorPrompt& prompt,
                                         RouteHooks& hooks, const Settings& settings,
                                         std::function<std::vector<std::string>()> own_files)
    : editor_(tables_, hooks, [&settings] { return settings.CorvidDefaultRoute == 0; }),
      file_reader_(tables_, files, log, prompt, own_files),
      file_writer_(editor_, files, own_files),
      l2tp_users_(log),
      l2tp_peers_(log),
      user_profiles_(log) {}

void ConfigurationTables::Attach(Configuration& configuration) {
  configuration.AddSectionReader("NETWORKS", &file_reader_.networks());
  configuration.AddSectionReader("NETV6WORKS", &file_reader_.netv6works());
  configuration.AddSectionReader("PYLONSRCFILTER", &source_filter_section_);
  configuration.AddSectionReader("L2TPUSERS", &l2tp_user_section_);
  configuration.AddSectionReader("USERPROFILES", &user_profile_section_);
  configuration.AddSectionReader("L2TPPEERS", &l2tp_peer_section_);
  configuration.AddSectionReader("SubNet_", &file_reader_.row_sections());
  configuration.AddSectionReader("SubNetV6_", &file_reader_.ipv6_row_sections());
  configuration.AddSectionWriter(&source_filter_section_);
  configuration.AddSectionWriter(&l2tp_user_section_);
  configuration.AddSectionWriter(&l2tp_peer_section_);
  configuration.AddSectionWriter(&user_profile_section_);
  configuration.AddSectionWriter(&file_writer_);
}

std::vector<ProfileGuarantee> ConfigurationTables::ProfileGuarantees() const {
  std::vector<ProfileGuarantee> guarantees;
  for (const UserProfile& profile : user_profiles_.Entries()) {
    guarantees.push_back({profile.Alias, profile.guarantee});
  }
  return guarantees;
}

}  // namespace velmora
