#pragma once

#include <functional>
#include <string>
#include <vector>

#include "app/general_section.h"
#include "tables/l2tp_peer_list.h"
#include "tables/l2tp_user_list.h"
#include "tables/list_section.h"
#include "tables/network_tables.h"
#include "tables/source_filter_list.h"
#include "tables/table_editor.h"
#include "tables/table_file_reader.h"
#include "tables/table_file_writer.h"
#include "tables/user_profile_list.h"

namespace velmora {

class Configuration;
struct Settings;

// Everything velmora.ini holds beyond [GENERAL]: the network tables with their editor, reader
// and writer, and the four lists, plugged into the configuration's reading and writing. Built
// once by the router; the members are safe for the threads their classes name.
class ConfigurationTables {
 public:
  ConfigurationTables(FileSystem& files, Log& log, OperatorPrompt& prompt, RouteHooks& hooks,
                      const Settings& settings,
                      std::function<std::vector<std::string>()> own_files);

  // Registers the section readers and writers in the order of the file.
  void Attach(Configuration& configuration);
  // After the configuration is read: publishes the tables.
  void FinishLoad() { file_reader_.Finish(); }
  // The profiles' guarantees in alias order, for the default profile's correction.
  std::vector<ProfileGuarantee> ProfileGuarantees() const;

  NetworkTables& tables() { return tables_; }
  TableEditor& editor() { return editor_; }
  SourceFilterList& source_filters() { return source_filters_; }
  L2tpUserList& l2tp_users() { return l2tp_users_; }
  L2tpPeerList& l2tp_peers() { return l2tp_peers_; }
  UserProfileList& user_profiles() { return user_profiles_; }

 private:
  NetworkTables tables_;
  TableEditor editor_;
  TableFileReader file_reader_;
  TableFileWriter file_writer_;
  SourceFilterList source_filters_;
  L2tpUserList l2tp_users_;
  L2tpPeerList l2tp_peers_;
  UserProfileList user_profiles_;
  ListSection<SourceFilterList> source_filter_section_{"PYLONSRCFILTER", source_filters_};
  ListSection<L2tpUserList> l2tp_user_section_{"L2TPUSERS", l2tp_users_};
  ListSection<L2tpPeerList> l2tp_peer_section_{"L2TPPEERS", l2tp_peers_};
  ListSection<UserProfileList> user_profile_section_{"USERPROFILES", user_profiles_};
};

}  // namespace velmora
