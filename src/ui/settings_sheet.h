#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <functional>
#include <set>

#include "app/profile_admission.h"
#include "app/settings.h"
#include "tables/table_entries.h"

namespace velmora {
class Log;
class OperatorPrompt;
class Router;
}  // namespace velmora

namespace velmora::ui {

// The tabbed sheet "Velmora setting..." that edits every [GENERAL] setting and the lists of
// velmora.ini. List edits go through the lists' own operations at once; the fields are stored
// when OK applies the pages that were opened. Lives on the GUI thread, the router's control
// thread.
class SettingsSheet final : public QDialog {
 public:
  static constexpr const char* kTitle = "Velmora setting...";

  SettingsSheet(Router& router, Log& log, OperatorPrompt& prompt, QWidget* parent = nullptr);
  ~SettingsSheet() override;

  // OK: applies every opened page, writes velmora.ini once and asks whether to restart. A refused
  // field keeps the sheet open and returns false.
  bool Apply();
  // Runs after an accepted apply with the "Next hop" choice: bandwidth management or not.
  void set_on_applied(std::function<void(bool)> applied) { on_applied_ = std::move(applied); }

  QTabWidget& tabs() { return *tabs_; }
  template <typename T>
  T& Find(const char* name) {
    return *findChild<T*>(name);
  }

 private:
  QWidget* BuildBasic();
  QWidget* BuildExpert();
  QWidget* BuildNetworks();
  QWidget* BuildInternal();
  QWidget* BuildL2tp();
  QWidget* BuildIpv6();
  QWidget* BuildProfiles();
  void ApplyBasic();
  void ApplyExpert();
  void ApplyInternal();
  void ApplyIpv6();

  // The lists shown from the tables as they are now.
  void FillSourceFilters();
  void FillUsers();
  void FillPeers();
  void FillProfiles();
  void FillIpQos();
  void FillSubnets();
  void FillSubnetRows();
  std::optional<SubnetId> SelectedSubnet();
  // The selected row's record key, or nothing after "Nothing selected.".
  std::optional<uint64_t> SelectedData(QListWidget& list);
  // "New Subnet entry" or, with `edit`, "Edit Subnet entry" on the selected subnet.
  void EditSubnet(bool edit);
  void RemoveSubnet();
  void EditIpMac(bool edit);
  void RemoveIpMac();
  void AddIpMacRange();
  // The addresses from `start` on, `count` of them up to the end of the subnet, that have no row.
  std::vector<uint32_t> FreshRangeAddresses(SubnetId subnet, const std::string& start, int count);
  void FillIpv6Subnets();
  void FillIpv6Rows();
  void EditIpv6Subnet(bool edit);
  void RemoveIpv6Subnet();
  // The selected IPv6/MAC row's address, or nothing after "Nothing selected.".
  std::optional<Ipv6Address> SelectedIpv6Row();
  void EditIpv6Mac(bool edit);
  void RemoveIpv6Mac();
  // Enables the User Profiles controls as "Next hop" says.
  void FollowNextHop();
  // The selected row's text, or nothing after "Nothing selected.".
  std::optional<std::string> Selected(QListWidget& list);
  // Notes an accepted list change: it counts as a change that wants a restart.
  void Changed(bool ok);

  void AddSourceFilter();
  void DeleteSourceFilter();
  void AddUser();
  void EditUser();
  void RemoveUser();
  void AddPeer();
  void EditPeer();
  void RemovePeer();
  void AddProfile();
  void EditProfile();
  void RemoveProfile();
  // "Edit IP/QoS entry": the profile of the selected IPv4 or IPv6 row, an empty one for the
  // default.
  void EditIpQos();
  // Checks a profile edit by the admission rules against the page's physical bandwidth and makes
  // it in the running shaper; false after showing the refusal.
  bool Admitted(ProfileEditKind kind, const UserProfile& profile);
  // Checks an edit of the shaper's addresses or profiles against the page's physical bandwidth,
  // in the running shaper too when `in_running_shaper`; false after showing the refusal.
  bool AdmittedEdit(const ShaperEdit& edit, bool in_running_shaper);
  // An IP/MAC row edit that the table editor accepted, made in the running shaper.
  void FollowRowInShaper(const ShaperEdit& edit);
  // The profile the shaper gives a row that names `alias`.
  std::string ProfileOfRow(const std::string& alias);
  // Asks a Yes/No question titled "Warning" whose default is No; true on Yes.
  bool Sure(const std::string& question);
  void Tell(const std::string& title, const std::string& text);

  Router& router_;
  Log& log_;
  OperatorPrompt& prompt_;
  Settings before_;
  std::set<int> opened_;
  bool lists_changed_ = false;
  std::function<void(bool)> on_applied_;
  QTabWidget* tabs_ = nullptr;
  QComboBox* next_hop_ = nullptr;
  QWidget* profile_controls_ = nullptr;
};

}  // namespace velmora::ui
