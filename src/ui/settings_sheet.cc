#include "ui/settings_sheet.h"

#include <arpa/inet.h>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>
#include <algorithm>

#include "app/profile_admission.h"
#include "app/router.h"
#include "app/settings_apply.h"
#include "app/settings_fields.h"
#include "bandwidth/bwc_controller.h"
#include "bandwidth/bwc_error.h"
#include "platform/address_text.h"
#include "platform/local_addresses.h"
#include "support/log.h"
#include "tables/table_prompts.h"
#include "ui/record_dialog.h"

namespace velmora::ui {
namespace {

// The page shown when the sheet was last closed, for the next opening.
int last_page = 0;

constexpr const char* kPageNames[] = {"Basic", "Expert", "Networks",     "Internal",
                                      "L2TP",  "IpV6",   "User Profiles"};
enum Page { kBasic, kExpert, kNetworks, kInternal, kL2tp, kIpv6, kProfiles };

QString Q(const std::string& text) {
  return QString::fromStdString(text);
}

template <typename W>
W* Named(W* widget, const char* name) {
  widget->setObjectName(name);
  return widget;
}

QCheckBox* Check(const char* label, const char* name, bool on) {
  auto* box = Named(new QCheckBox(label), name);
  box->setChecked(on);
  return box;
}

QLineEdit* Edit(const std::string& text, const char* name) {
  return Named(new QLineEdit(Q(text)), name);
}

QPushButton* Button(const char* label, const char* name, QWidget* owner,
                    std::function<void()> action) {
  auto* button = Named(new QPushButton(label, owner), name);
  QObject::connect(button, &QPushButton::clicked, owner, std::move(action));
  return button;
}

// A titled list with its buttons in a column beside it and an optional note below.
QGroupBox* ListGroup(const char* title, QListWidget* list, std::vector<QPushButton*> buttons,
                     const char* note = nullptr) {
  auto* group = new QGroupBox(title);
  auto* layout = new QVBoxLayout(group);
  auto* row = new QHBoxLayout;
  row->addWidget(list, 1);
  auto* column = new QVBoxLayout;
  for (QPushButton* button : buttons) column->addWidget(button);
  column->addStretch();
  row->addLayout(column);
  layout->addLayout(row);
  if (note != nullptr) {
    auto* label = new QLabel(note);
    label->setWordWrap(true);
    layout->addWidget(label);
  }
  return group;
}

void Fill(QListWidget& list, const std::vector<std::string>& texts) {
  list.clear();
  for (const std::string& text : texts) list.addItem(Q(text));
}

std::string ProfileText(const UserProfile& p) {
  return p.Alias + "  " + std::to_string(p.summary) + " / " + std::to_string(p.maximum) + " / " +
         std::to_string(p.guarantee);
}

// A PID or sub-channel typed in hexadecimal.
std::optional<uint16_t> HexPid(const std::string& text) {
  bool ok = false;
  const uint value = Q(text).toUInt(&ok, 16);
  if (!ok || value > 0xffff) return std::nullopt;
  return static_cast<uint16_t>(value);
}

std::string AliasOf(const std::string& row) {
  return row.substr(0, row.find(' '));
}

}  // namespace

SettingsSheet::SettingsSheet(Router& router, Log& log, OperatorPrompt& prompt, QWidget* parent)
    : QDialog(parent), router_(router), log_(log), prompt_(prompt), before_(router.settings()) {
  setWindowTitle(kTitle);
  setObjectName("settingsSheet");
  auto* layout = new QVBoxLayout(this);
  tabs_ = Named(new QTabWidget(this), "pages");
  layout->addWidget(tabs_);
  tabs_->addTab(BuildBasic(), kPageNames[kBasic]);
  tabs_->addTab(BuildExpert(), kPageNames[kExpert]);
  tabs_->addTab(BuildNetworks(), kPageNames[kNetworks]);
  tabs_->addTab(BuildInternal(), kPageNames[kInternal]);
  tabs_->addTab(BuildL2tp(), kPageNames[kL2tp]);
  tabs_->addTab(BuildIpv6(), kPageNames[kIpv6]);
  tabs_->addTab(BuildProfiles(), kPageNames[kProfiles]);
  tabs_->setCurrentIndex(last_page);
  opened_.insert(last_page);
  connect(tabs_, &QTabWidget::currentChanged, this, [this](int page) {
    opened_.insert(page);
    last_page = page;
    if (page == kProfiles) FillIpQos();
  });
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  connect(buttons, &QDialogButtonBox::accepted, this, [this] {
    if (Apply()) accept();
  });
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  layout->addWidget(buttons);
  FollowNextHop();
}

SettingsSheet::~SettingsSheet() = default;

QWidget* SettingsSheet::BuildBasic() {
  const Settings& s = router_.settings();
  const auto tables = router_.tables().tables().Snapshot();
  auto* page = new QWidget(this);
  auto* form = new QFormLayout(page);
  form->addRow("Number of IP networks",
               Named(new QLabel(QString::number(tables->subnets().size())), "networkCount"));
  form->addRow("Number of IP routes",
               Named(new QLabel(QString::number(tables->ip_mac_rows().size())), "routeCount"));
  auto* channel = Named(new QComboBox, "physicalChannel");
  channel->addItems({"DVB", "DAB"});
  channel->setCurrentText(Q(s.TypeChannel));
  form->addRow("Physical channel", channel);
  next_hop_ = Named(new QComboBox, "nextHop");
  next_hop_->addItems({"Inserter", "Bandwidth Mgmt"});
  next_hop_->setCurrentIndex(s.EnableBandwidth ? 1 : 0);
  connect(next_hop_, &QComboBox::currentIndexChanged, this, [this] { FollowNextHop(); });
  form->addRow("Next hop", next_hop_);
  form->addRow(Check("Remote Control", "remoteControl", s.RemoteControlOn != 0));
  form->addRow(Check("External traffic", "externalTraffic", s.PylonEnable != 0));
  form->addRow(Check("Routed traffic", "routedTraffic", s.CorvidEnable != 0));
  form->addRow(Check("Internal socket", "internalSocket", s.TransparentEnable != 0));
  form->addRow(Check("Bouncer", "bouncer", s.BouncerEnable != 0));
  form->addRow(Check("L2TP Tunnel", "l2tpTunnel", s.L2tpEnable != 0));
  return page;
}

QWidget* SettingsSheet::BuildExpert() {
  const Settings& s = router_.settings();
  auto* page = new QWidget(this);
  auto* layout = new QVBoxLayout(page);
  auto* lists = new QHBoxLayout;
  auto* local = Named(new QListWidget, "localAddresses");
  const std::vector<std::string> addresses = LocalIpv4Addresses();
  Fill(*local, addresses);
  auto* local_group = new QGroupBox("Local IP addresses");
  auto* local_layout = new QVBoxLayout(local_group);
  local_layout->addWidget(local);
  local_layout->addWidget(new QLabel("(not routed into DAB/DVB)"));
  lists->addWidget(local_group, 1);
  auto* filters = Named(new QListWidget, "sourceFilters");
  auto* filter_group =
      ListGroup("Allowed hosts", filters,
                {Button("Add ...", "addSourceFilter", this, [this] { AddSourceFilter(); }),
                 Button("Delete", "deleteSourceFilter", this, [this] { DeleteSourceFilter(); })},
                "Optional security: Only these hosts are allowed to access to these machine "
                "(none=all hosts allowed).");
  lists->addWidget(filter_group, 2);
  layout->addLayout(lists);
  FillSourceFilters();

  auto* form = new QFormLayout;
  auto* nic = Named(new QComboBox, "mcastNic");
  for (const std::string& address : addresses) nic->addItem(Q(address));
  nic->setCurrentText(Q(CorrectedMCastNic(s.MCastNIC, addresses)));
  form->addRow("NIC for Multicast", nic);
  form->addRow(Check("Default gateway route", "defaultGatewayRoute", s.CorvidDefaultRoute != 0));
  const GeneralFields fields = GeneralFieldsOf(s);
  form->addRow("Transparent port", Edit(fields.transparent_port, "transparentPort"));
  form->addRow("Command Port", Edit(fields.remote_control_port, "commandPort"));
  layout->addLayout(form);

  auto* groups = new QHBoxLayout;
  auto* bouncer = new QGroupBox("Bouncer interface");
  auto* bouncer_layout = new QVBoxLayout(bouncer);
  bouncer_layout->addWidget(
      Button("Settings...", "bouncerSettings", this, [this] { router_.ConfigureBouncer(); }));
  groups->addWidget(bouncer);
  auto* inserter = new QGroupBox("Data Inserter");
  auto* inserter_form = new QFormLayout(inserter);
  inserter_form->addRow("Port", Edit(fields.inserter_port, "inserterPort"));
  inserter_form->addRow("IP address", Edit(fields.inserter_ip, "inserterIp"));
  groups->addWidget(inserter);
  layout->addLayout(groups);
  return page;
}

QWidget* SettingsSheet::BuildNetworks() {
  auto* page = new QWidget(this);
  auto* layout = new QHBoxLayout(page);
  auto* subnets = Named(new QListWidget, "subnets");
  auto* rows = Named(new QListWidget, "ipMacs");
  connect(subnets, &QListWidget::currentRowChanged, this, [this] { FillSubnetRows(); });
  layout->addWidget(
      ListGroup("Subnetworks", subnets,
                {Button("Add...", "addSubnet", this, [this] { EditSubnet(false); }),
                 Button("Edit...", "editSubnet", this, [this] { EditSubnet(true); }),
                 Button("Remove", "removeSubnet", this, [this] { RemoveSubnet(); })}));
  layout->addWidget(
      ListGroup("IP/MACs", rows,
                {Button("Add...", "addIpMac", this, [this] { EditIpMac(false); }),
                 Button("Edit...", "editIpMac", this, [this] { EditIpMac(true); }),
                 Button("Remove", "removeIpMac", this, [this] { RemoveIpMac(); }),
                 Button("Range...", "rangeIpMac", this, [this] { AddIpMacRange(); })}));
  FillSubnets();
  return page;
}

void SettingsSheet::FillSubnets() {
  auto& subnets = Find<QListWidget>("subnets");
  const SubnetId selected = SelectedSubnet().value_or(0);
  subnets.clear();
  for (const SubnetEntry& subnet : router_.tables().tables().Snapshot()->subnets()) {
    auto* item = new QListWidgetItem(Q(subnet.Alias + "  " + AddressToDotted(subnet.IPSubNetAddr) +
                                       " / " + AddressToDotted(subnet.IPSubNetMask)));
    item->setData(Qt::UserRole, static_cast<qulonglong>(subnet.id));
    subnets.addItem(item);
    if (subnet.id == selected) subnets.setCurrentItem(item);
  }
  if (subnets.currentItem() == nullptr && subnets.count() > 0) subnets.setCurrentRow(0);
  FillSubnetRows();
}

void SettingsSheet::FillSubnetRows() {
  auto& rows = Find<QListWidget>("ipMacs");
  rows.clear();
  const std::optional<SubnetId> id = SelectedSubnet();
  if (!id) return;
  const auto tables = router_.tables().tables().Snapshot();
  for (const IpMacEntry* row : tables->RowsOf(*id)) {
    auto* item = new QListWidgetItem(Q(row->address_text + "  " + row->mac_text));
    item->setData(Qt::UserRole, static_cast<qulonglong>(row->address));
    rows.addItem(item);
  }
}

std::optional<SubnetId> SettingsSheet::SelectedSubnet() {
  const QListWidgetItem* item = Find<QListWidget>("subnets").currentItem();
  if (item == nullptr) return std::nullopt;
  return static_cast<SubnetId>(item->data(Qt::UserRole).toULongLong());
}

std::optional<uint64_t> SettingsSheet::SelectedData(QListWidget& list) {
  if (list.currentItem() == nullptr) {
    Tell("Info", "Nothing selected.");
    return std::nullopt;
  }
  return list.currentItem()->data(Qt::UserRole).toULongLong();
}

void SettingsSheet::EditSubnet(bool edit) {
  const auto tables = router_.tables().tables().Snapshot();
  const SubnetEntry* old = nullptr;
  if (edit) {
    const auto id = SelectedData(Find<QListWidget>("subnets"));
    if (!id) return;
    old = tables->FindSubnet(static_cast<SubnetId>(*id));
    if (old == nullptr) return FillSubnets();
  }
  const bool dab = router_.settings().TypeChannel.get() == "DAB";
  const auto texts =
      RecordDialog(this, edit ? "Edit Subnet entry" : "New Subnet entry",
                   {{"Alias:", old ? Q(old->Alias) : QString()},
                    {"Subnet Address:", old ? Q(AddressToDotted(old->IPSubNetAddr)) : QString()},
                    {"Subnet Mask:", old ? Q(AddressToDotted(old->IPSubNetMask)) : QString()},
                    {dab ? "SubCh(hex):" : "PID(hex):",
                     old ? QString::number(old->IPSubNetPID, 16) : QString()}})
          .Ask();
  if (!texts) return;
  const std::optional<uint16_t> pid = HexPid(texts->at(3));
  if (!pid) return Tell("Error", "\"" + texts->at(3) + "\" is not a PID.");
  const SubnetFields fields{texts->at(0), texts->at(1), texts->at(2), *pid};
  TableEditor& editor = router_.tables().editor();
  Changed(
      (old ? editor.EditSubnet(old->id, fields, prompt_) : editor.AddSubnet(fields, prompt_)).ok());
  FillSubnets();
}

void SettingsSheet::RemoveSubnet() {
  const auto id = SelectedData(Find<QListWidget>("subnets"));
  if (!id) return;
  Changed(router_.tables().editor().DeleteSubnet(static_cast<SubnetId>(*id), prompt_).ok());
  FillSubnets();
}

void SettingsSheet::EditIpMac(bool edit) {
  const std::optional<SubnetId> subnet = SelectedSubnet();
  if (!subnet) return Tell("Info", "Nothing selected.");
  const auto tables = router_.tables().tables().Snapshot();
  const IpMacEntry* old = nullptr;
  if (edit) {
    const auto address = SelectedData(Find<QListWidget>("ipMacs"));
    if (!address) return;
    old = tables->FindIpMacRow(static_cast<uint32_t>(*address));
    if (old == nullptr) return FillSubnetRows();
  }
  const auto texts = RecordDialog(this, edit ? "Edit IP/MAC entry" : "New IP/MAC entry",
                                  {{"IP Address:", old ? Q(old->address_text) : QString()},
                                   {"MAC Address:", old ? Q(old->mac_text) : QString()}})
                         .Ask();
  if (!texts) return;
  const uint32_t address = DottedToAddress(texts->at(0));
  const std::string profile = ProfileOfRow(old ? old->profile_alias : std::string());
  const ShaperEdit shaper_edit = [&](TessaroBWControl::BWCController& shaper) {
    if (old && old->address == address) return;
    if (old) shaper.RemoveAddress(old->address);
    shaper.AddAddress(address, profile);
  };
  if (!AdmittedEdit(shaper_edit, false)) return;
  TableEditor& editor = router_.tables().editor();
  const bool ok = (old ? editor.EditIpMacRow(old->address, texts->at(0), texts->at(1), prompt_)
                       : editor.AddIpMacRow(*subnet, texts->at(0), texts->at(1), prompt_))
                      .ok();
  if (ok) FollowRowInShaper(shaper_edit);
  Changed(ok);
  FillSubnetRows();
}

void SettingsSheet::RemoveIpMac() {
  const auto address = SelectedData(Find<QListWidget>("ipMacs"));
  if (!address) return;
  const auto row = static_cast<uint32_t>(*address);
  const bool ok = router_.tables().editor().DeleteIpMacRow(row, prompt_).ok();
  if (ok) FollowRowInShaper([row](auto& shaper) { shaper.RemoveAddress(row); });
  Changed(ok);
  FillSubnetRows();
}

void SettingsSheet::AddIpMacRange() {
  const std::optional<SubnetId> subnet = SelectedSubnet();
  if (!subnet) return Tell("Info", "Nothing selected.");
  const auto texts =
      RecordDialog(
          this, "Add range of IP/MAC entries",
          {{"Start IP Address:", ""}, {"Start MAC Address:", ""}, {"Number of items:", "1"}})
          .Ask();
  if (!texts) return;
  const std::optional<int32_t> count = IntegerField(texts->at(2));
  if (!count || *count <= 0) return Tell("Error", "\"" + texts->at(2) + "\" is not a number.");
  const std::vector<uint32_t> fresh = FreshRangeAddresses(*subnet, texts->at(0), *count);
  const std::string profile = ProfileOfRow(std::string());
  const auto add_rows = [&](const std::vector<uint32_t>& addresses) {
    return [&addresses, &profile](TessaroBWControl::BWCController& shaper) {
      for (uint32_t address : addresses) shaper.AddAddress(address, profile);
    };
  };
  if (!AdmittedEdit(add_rows(fresh), false)) return;
  const bool ok = router_.tables()
                      .editor()
                      .AddIpMacRange(*subnet, texts->at(0), texts->at(1), *count, prompt_)
                      .ok();
  if (ok) {
    const auto tables = router_.tables().tables().Snapshot();
    std::vector<uint32_t> added;
    for (uint32_t address : fresh) {
      if (tables->FindIpMacRow(address) != nullptr) added.push_back(address);
    }
    FollowRowInShaper(add_rows(added));
  }
  Changed(ok);
  FillSubnetRows();
}

std::vector<uint32_t> SettingsSheet::FreshRangeAddresses(SubnetId subnet, const std::string& start,
                                                         int count) {
  const auto tables = router_.tables().tables().Snapshot();
  const SubnetEntry* entry = tables->FindSubnet(subnet);
  std::vector<uint32_t> fresh;
  if (entry == nullptr) return fresh;
  uint32_t host = ntohl(DottedToAddress(start));
  for (int i = 0; i < count; ++i, ++host) {
    const uint32_t address = htonl(host);
    if ((address & entry->IPSubNetMask) != entry->IPSubNetAddr) break;
    if (tables->FindIpMacRow(address) == nullptr) fresh.push_back(address);
  }
  return fresh;
}

QWidget* SettingsSheet::BuildInternal() {
  const Settings& s = router_.settings();
  auto* page = new QWidget(this);
  auto* form = new QFormLayout(page);
  auto* level = Named(new QComboBox, "logLevel");
  level->addItems({"Only errors", "Warnings and errors", "All messages"});
  level->setCurrentIndex(std::clamp<int>(s.LogLevel, 1, 3) - 1);
  form->addRow("Log Level", level);
  form->addRow(Check("Log in file", "logInFile", s.LogOn != 0));
  auto* size = Named(new QSpinBox, "logFileSize");
  size->setRange(1, 1000000);
  size->setValue(s.LogFileSize);
  form->addRow("Max size (in kByte)", size);
  form->addRow("Log File Name:", Edit(s.LogFileName, "logFileName"));
  form->addRow(Check("Traffic Control", "trafficControl", s.TrafficControl != 0));
  form->addRow(Check("Statistic file", "statisticFile", s.StatisticEnable != 0),
               Edit(s.StatisticFile, "statisticFileName"));
  form->addRow(Check("Load On Startup", "loadOnStartup", s.LoadOnStartup != 0));
  return page;
}

QWidget* SettingsSheet::BuildL2tp() {
  const GeneralFields fields = GeneralFieldsOf(router_.settings());
  auto* page = new QWidget(this);
  auto* layout = new QVBoxLayout(page);
  auto* form = new QFormLayout;
  form->addRow("L2TP port:", Edit(fields.l2tp_port, "l2tpPort"));
  form->addRow("IP pool starting address:", Edit(fields.l2tp_pool_ip, "l2tpPoolIp"));
  form->addRow("IP pool size:", Edit(fields.l2tp_pool, "l2tpPool"));
  layout->addLayout(form);
  auto* lists = new QHBoxLayout;
  lists->addWidget(ListGroup("Users", Named(new QListWidget, "users"),
                             {Button("Add...", "addUser", this, [this] { AddUser(); }),
                              Button("Edit...", "editUser", this, [this] { EditUser(); }),
                              Button("Remove", "removeUser", this, [this] { RemoveUser(); })}));
  lists->addWidget(ListGroup("Peers", Named(new QListWidget, "peers"),
                             {Button("Add...", "addPeer", this, [this] { AddPeer(); }),
                              Button("Edit...", "editPeer", this, [this] { EditPeer(); }),
                              Button("Remove", "removePeer", this, [this] { RemovePeer(); })}));
  layout->addLayout(lists);
  FillUsers();
  FillPeers();
  return page;
}

QWidget* SettingsSheet::BuildIpv6() {
  auto* page = new QWidget(this);
  auto* layout = new QVBoxLayout(page);
  const std::vector<PylonAdapterText>& adapters = router_.pylon().ListPylonAdapters();
  auto* form = new QFormLayout;
  auto* number = Named(new QSpinBox, "ipv6Adapter");
  number->setRange(0, std::max<int>(0, static_cast<int>(adapters.size()) - 1));
  number->setMaximumWidth(100);
  auto* name = Named(new QLabel, "adapterName");
  auto* mac = Named(new QLabel, "adapterMac");
  const auto show = [name, mac, &adapters](int index) {
    const bool known = index >= 0 && static_cast<size_t>(index) < adapters.size();
    name->setText(known ? Q(adapters[index].name) : QString());
    mac->setText(known ? Q(adapters[index].mac) : QString());
  };
  connect(number, &QSpinBox::valueChanged, this, show);
  number->setValue(router_.settings().Ipv6Adapter);
  show(number->value());
  form->addRow("Adapter", number);
  form->addRow("", name);
  form->addRow("MAC Address:", mac);
  layout->addLayout(form);
  auto* subnets = Named(new QListWidget, "ipv6Subnets");
  auto* rows = Named(new QListWidget, "ipv6Macs");
  connect(subnets, &QListWidget::currentRowChanged, this, [this] { FillIpv6Rows(); });
  auto* lists = new QHBoxLayout;
  lists->addWidget(
      ListGroup("Subnetworks", subnets,
                {Button("Add...", "addIpv6Subnet", this, [this] { EditIpv6Subnet(false); }),
                 Button("Edit...", "editIpv6Subnet", this, [this] { EditIpv6Subnet(true); }),
                 Button("Remove", "removeIpv6Subnet", this, [this] { RemoveIpv6Subnet(); })}));
  lists->addWidget(
      ListGroup("IP/MACs", rows,
                {Button("Add...", "addIpv6Mac", this, [this] { EditIpv6Mac(false); }),
                 Button("Edit...", "editIpv6Mac", this, [this] { EditIpv6Mac(true); }),
                 Button("Remove", "removeIpv6Mac", this, [this] { RemoveIpv6Mac(); })}));
  layout->addLayout(lists);
  FillIpv6Subnets();
  return page;
}

void SettingsSheet::FillIpv6Subnets() {
  auto& subnets = Find<QListWidget>("ipv6Subnets");
  subnets.clear();
  for (const Ipv6SubnetEntry& subnet : router_.tables().tables().Snapshot()->ipv6_subnets()) {
    auto* item = new QListWidgetItem(Q(subnet.Alias));
    item->setData(Qt::UserRole, static_cast<qulonglong>(subnet.id));
    subnets.addItem(item);
  }
  if (subnets.count() > 0) subnets.setCurrentRow(subnets.count() - 1);
  FillIpv6Rows();
}

void SettingsSheet::FillIpv6Rows() {
  auto& rows = Find<QListWidget>("ipv6Macs");
  rows.clear();
  const QListWidgetItem* subnet = Find<QListWidget>("ipv6Subnets").currentItem();
  if (subnet == nullptr) return;
  const auto id = static_cast<SubnetId>(subnet->data(Qt::UserRole).toULongLong());
  for (const Ipv6MacEntry* row : router_.tables().tables().Snapshot()->Ipv6RowsOf(id)) {
    rows.addItem(Q(row->address_text + "  " + row->mac_text));
  }
}

void SettingsSheet::EditIpv6Subnet(bool edit) {
  const auto tables = router_.tables().tables().Snapshot();
  const Ipv6SubnetEntry* old = nullptr;
  if (edit) {
    const auto id = SelectedData(Find<QListWidget>("ipv6Subnets"));
    if (!id) return;
    old = tables->FindIpv6Subnet(static_cast<SubnetId>(*id));
    if (old == nullptr) return FillIpv6Subnets();
  }
  const auto texts =
      RecordDialog(this, edit ? "Edit Subnet entry" : "New Subnet entry",
                   {{"Alias:", old ? Q(old->Alias) : QString()},
                    {"PID(hex):", old ? QString::number(old->IPSubNetPID, 16) : QString()}})
          .Ask();
  if (!texts) return;
  const std::optional<uint16_t> pid = HexPid(texts->at(1));
  if (!pid) return Tell("Error", "\"" + texts->at(1) + "\" is not a PID.");
  TableEditor& editor = router_.tables().editor();
  Changed((old ? editor.EditIpv6Subnet(old->id, texts->at(0), *pid, prompt_)
               : editor.AddIpv6Subnet(texts->at(0), *pid, prompt_))
              .ok());
  FillIpv6Subnets();
}

void SettingsSheet::RemoveIpv6Subnet() {
  const auto id = SelectedData(Find<QListWidget>("ipv6Subnets"));
  if (!id) return;
  Changed(router_.tables().editor().DeleteIpv6Subnet(static_cast<SubnetId>(*id), prompt_).ok());
  FillIpv6Subnets();
}

std::optional<Ipv6Address> SettingsSheet::SelectedIpv6Row() {
  const auto row = Selected(Find<QListWidget>("ipv6Macs"));
  if (!row) return std::nullopt;
  return TextToIpv6(AliasOf(*row));
}

void SettingsSheet::EditIpv6Mac(bool edit) {
  const QListWidgetItem* subnet = Find<QListWidget>("ipv6Subnets").currentItem();
  if (subnet == nullptr) return Tell("Info", "Nothing selected.");
  const auto tables = router_.tables().tables().Snapshot();
  const Ipv6MacEntry* old = nullptr;
  if (edit) {
    const std::optional<Ipv6Address> address = SelectedIpv6Row();
    if (!address) return;
    old = tables->FindIpv6MacRow(*address);
    if (old == nullptr) return FillIpv6Rows();
  }
  const auto texts = RecordDialog(this, edit ? "Edit IPv6/MAC entry" : "New IPv6/MAC entry",
                                  {{"IPv6 Address:", old ? Q(old->address_text) : QString()},
                                   {"MAC Address:", old ? Q(old->mac_text) : QString()}})
                         .Ask();
  if (!texts) return;
  const std::optional<Ipv6Address> address = TextToIpv6(texts->at(0));
  const std::string profile = ProfileOfRow(old ? old->profile_alias : std::string());
  const ShaperEdit shaper_edit = [&](TessaroBWControl::BWCController& shaper) {
    if (!address || (old && old->address == *address)) return;
    if (old) shaper.RemoveAddress(old->address);
    shaper.AddAddress(*address, profile);
  };
  if (!AdmittedEdit(shaper_edit, false)) return;
  TableEditor& editor = router_.tables().editor();
  const auto id = static_cast<SubnetId>(subnet->data(Qt::UserRole).toULongLong());
  const bool ok = (old ? editor.EditIpv6MacRow(old->address, texts->at(0), texts->at(1), prompt_)
                       : editor.AddIpv6MacRow(id, texts->at(0), texts->at(1), prompt_))
                      .ok();
  if (ok) FollowRowInShaper(shaper_edit);
  Changed(ok);
  FillIpv6Rows();
}

void SettingsSheet::RemoveIpv6Mac() {
  const std::optional<Ipv6Address> address = SelectedIpv6Row();
  if (!address) return;
  const bool ok = router_.tables().editor().DeleteIpv6MacRow(*address, prompt_).ok();
  if (ok) FollowRowInShaper([row = *address](auto& shaper) { shaper.RemoveAddress(row); });
  Changed(ok);
  FillIpv6Rows();
}

QWidget* SettingsSheet::BuildProfiles() {
  const Settings& s = router_.settings();
  const GeneralFields fields = GeneralFieldsOf(s);
  auto* page = new QWidget(this);
  auto* layout = new QVBoxLayout(page);
  profile_controls_ = Named(new QWidget, "profileControls");
  auto* controls = new QVBoxLayout(profile_controls_);
  controls->setContentsMargins(0, 0, 0, 0);
  auto* form = new QFormLayout;
  form->addRow("Max Physical Bandwidth (bit/s)", Edit(fields.max_payload_cut, "physicalBandwidth"));
  form->addRow("Buffering Time (msec)", Edit(fields.buf_time, "bufferingTime"));
  auto* default_profile = Named(new QComboBox, "defaultProfile");
  form->addRow("Default User Profile", default_profile);
  controls->addLayout(form);
  controls->addWidget(
      ListGroup("Bandwidth profiles", Named(new QListWidget, "profiles"),
                {Button("Add...", "addProfile", this, [this] { AddProfile(); }),
                 Button("Edit...", "editProfile", this, [this] { EditProfile(); }),
                 Button("Remove", "removeProfile", this, [this] { RemoveProfile(); })}));
  layout->addWidget(profile_controls_);
  layout->addWidget(ListGroup("IP/QoS", Named(new QListWidget, "ipQos"),
                              {Button("Edit...", "editIpQos", this, [this] { EditIpQos(); })}));
  FillProfiles();
  default_profile->setCurrentText(Q(s.DefaultUP));
  FillIpQos();
  return page;
}

void SettingsSheet::FollowNextHop() {
  profile_controls_->setEnabled(next_hop_->currentIndex() == 1);
}

void SettingsSheet::FillSourceFilters() {
  Fill(Find<QListWidget>("sourceFilters"), router_.tables().source_filters().Entries());
}

void SettingsSheet::FillUsers() {
  std::vector<std::string> names;
  for (const auto& [name, password] : router_.tables().l2tp_users().Entries()) {
    names.push_back(name);
  }
  Fill(Find<QListWidget>("users"), names);
}

void SettingsSheet::FillPeers() {
  std::vector<std::string> peers;
  for (uint32_t address : router_.tables().l2tp_peers().Entries()) {
    peers.push_back(AddressToDotted(address));
  }
  Fill(Find<QListWidget>("peers"), peers);
}

void SettingsSheet::FillProfiles() {
  std::vector<std::string> rows;
  auto& chooser = Find<QComboBox>("defaultProfile");
  const QString chosen = chooser.currentText();
  chooser.clear();
  for (const UserProfile& profile : router_.tables().user_profiles().Entries()) {
    rows.push_back(ProfileText(profile));
    chooser.addItem(Q(profile.Alias));
  }
  chooser.setCurrentText(chosen);
  Fill(Find<QListWidget>("profiles"), rows);
}

void SettingsSheet::FillIpQos() {
  std::vector<std::string> rows;
  const std::string fallback = router_.settings().DefaultUP;
  const auto add = [&](const std::string& address_text, const std::string& profile) {
    rows.push_back(address_text + "  " +
                   (profile.empty() ? "(" + fallback + ", default)" : profile));
  };
  const auto tables = router_.tables().tables().Snapshot();
  for (const IpMacEntry& row : tables->ip_mac_rows()) add(row.address_text, row.profile_alias);
  for (const Ipv6MacEntry& row : tables->ipv6_mac_rows()) add(row.address_text, row.profile_alias);
  Fill(Find<QListWidget>("ipQos"), rows);
}

void SettingsSheet::EditIpQos() {
  const auto text = Selected(Find<QListWidget>("ipQos"));
  if (!text) return;
  const std::string address_text = AliasOf(*text);
  RecordDialog dialog(this, "Edit IP/QoS entry",
                      {{"IP Address:", Q(address_text)}, {"User Profile:", QString()}});
  dialog.edit(0).setReadOnly(true);
  const auto texts = dialog.Ask();
  if (!texts) return;
  const bool ipv6_row = address_text.find(':') != std::string::npos;
  const uint32_t address = ipv6_row ? 0 : DottedToAddress(address_text);
  const Ipv6Address ipv6_address =
      ipv6_row ? TextToIpv6(address_text).value_or(Ipv6Address{}) : Ipv6Address{};
  const std::string alias = texts->at(1);
  const ShaperEdit shaper_edit = [&](TessaroBWControl::BWCController& shaper) {
    if (ipv6_row) return shaper.ChangeAddress(ipv6_address, ProfileOfRow(alias));
    shaper.ChangeAddress(address, ProfileOfRow(alias));
  };
  if (!AdmittedEdit(shaper_edit, false)) return;
  const auto known = [this](const std::string& name) {
    return router_.tables().user_profiles().Find(name).has_value();
  };
  TableEditor& editor = router_.tables().editor();
  const bool ok = (ipv6_row ? editor.SetIpv6MacProfile(ipv6_address, alias, known, prompt_)
                            : editor.SetIpMacProfile(address, alias, known, prompt_))
                      .ok();
  if (ok) FollowRowInShaper(shaper_edit);
  Changed(ok);
  FillIpQos();
}

std::optional<std::string> SettingsSheet::Selected(QListWidget& list) {
  if (list.currentItem() == nullptr) {
    Tell("Info", "Nothing selected.");
    return std::nullopt;
  }
  return list.currentItem()->text().toStdString();
}

void SettingsSheet::Changed(bool ok) {
  if (ok) lists_changed_ = true;
}

bool SettingsSheet::Sure(const std::string& question) {
  return prompt_.Ask({.title = "Warning",
                      .text = question,
                      .buttons = PromptButtons::kYesNo,
                      .icon = PromptIcon::kQuestion,
                      .default_answer = PromptAnswer::kNo}) == PromptAnswer::kYes;
}

void SettingsSheet::Tell(const std::string& title, const std::string& text) {
  prompt_.Ask({.title = title, .text = text});
}

void SettingsSheet::AddSourceFilter() {
  const auto texts = RecordDialog(this, "New Source filter entry", {{"IP Address:", ""}}).Ask();
  if (!texts) return;
  Changed(router_.tables().source_filters().Add(texts->at(0), prompt_).ok);
  FillSourceFilters();
}

void SettingsSheet::DeleteSourceFilter() {
  const auto address = Selected(Find<QListWidget>("sourceFilters"));
  if (!address) return;  // the list asks its own question before removing
  SourceFilterList& filters = router_.tables().source_filters();
  const std::vector<std::string> entries = filters.Entries();
  const auto it = std::find(entries.begin(), entries.end(), *address);
  if (it != entries.end()) Changed(filters.Remove(it - entries.begin(), prompt_).ok);
  FillSourceFilters();
}

void SettingsSheet::AddUser() {
  const auto texts =
      RecordDialog(this, "New User entry", {{"User name:", ""}, {"Password:", ""}}).Ask();
  if (!texts) return;
  Changed(router_.tables().l2tp_users().Add(texts->at(0), texts->at(1), prompt_).ok);
  FillUsers();
}

void SettingsSheet::EditUser() {
  const auto name = Selected(Find<QListWidget>("users"));
  if (!name) return;
  const auto entries = router_.tables().l2tp_users().Entries();
  const auto found = entries.find(*name);
  const QString password = found == entries.end() ? QString() : Q(found->second);
  RecordDialog dialog(this, "Edit User entry", {{"User name:", Q(*name)}, {"Password:", password}});
  dialog.edit(0).setReadOnly(true);
  const auto texts = dialog.Ask();
  if (!texts) return;
  Changed(router_.tables().l2tp_users().ChangePassword(*name, texts->at(1), prompt_).ok);
  FillUsers();
}

void SettingsSheet::RemoveUser() {
  const auto name = Selected(Find<QListWidget>("users"));
  if (!name || !Sure("Are you sure?")) return;
  Changed(router_.tables().l2tp_users().Remove(*name, prompt_).ok);
  FillUsers();
}

void SettingsSheet::AddPeer() {
  const auto texts = RecordDialog(this, "New Peers entry", {{"IP Address:", ""}}).Ask();
  if (!texts) return;
  Changed(router_.tables().l2tp_peers().Add(texts->at(0), prompt_).ok);
  FillPeers();
}

void SettingsSheet::EditPeer() {
  const auto address = Selected(Find<QListWidget>("peers"));
  if (!address) return;
  const auto texts = RecordDialog(this, "Edit Peers entry", {{"IP Address:", Q(*address)}}).Ask();
  if (!texts || *texts->begin() == *address) return;
  L2tpPeerList& peers = router_.tables().l2tp_peers();
  if (peers.Add(texts->at(0), prompt_).ok) {
    peers.Remove(DottedToAddress(*address), prompt_);
    Changed(true);
  }
  FillPeers();
}

void SettingsSheet::RemovePeer() {
  const auto address = Selected(Find<QListWidget>("peers"));
  if (!address || !Sure("Are you sure?")) return;
  Changed(router_.tables().l2tp_peers().Remove(DottedToAddress(*address), prompt_).ok);
  FillPeers();
}

void SettingsSheet::AddProfile() {
  RecordDialog dialog(this, "New User Profile entry",
                      {{"Alias:", ""},
                       {"Summary profile bandwidth:", ""},
                       {"Max.singleQ bandwidth:", ""},
                       {"Min.singleQ bandwidth:", ""}});
  const auto texts = dialog.Ask();
  if (!texts) return;
  const auto number = [&](size_t i) { return UnsignedDecimalValue(texts->at(i)); };
  const UserProfile profile{texts->at(0), number(1), number(2), number(3)};
  if (!Admitted(ProfileEditKind::kAdd, profile)) return;
  Changed(router_.tables().user_profiles().Add(profile, prompt_).ok);
  FillProfiles();
}

void SettingsSheet::EditProfile() {
  const auto row = Selected(Find<QListWidget>("profiles"));
  if (!row) return;
  const auto profile = router_.tables().user_profiles().Find(AliasOf(*row));
  if (!profile) return FillProfiles();
  RecordDialog dialog(this, "Edit User Profile entry",
                      {{"Alias:", Q(profile->Alias)},
                       {"Summary profile bandwidth:", QString::number(profile->summary)},
                       {"Max.singleQ bandwidth:", QString::number(profile->maximum)},
                       {"Min.singleQ bandwidth:", QString::number(profile->guarantee)}});
  dialog.edit(0).setReadOnly(true);
  const auto texts = dialog.Ask();
  if (!texts) return;
  const auto number = [&](size_t i) { return UnsignedDecimalValue(texts->at(i)); };
  const UserProfile changed{profile->Alias, number(1), number(2), number(3)};
  if (!Admitted(ProfileEditKind::kChange, changed)) return;
  Changed(router_.tables().user_profiles().Change(changed, prompt_).ok);
  FillProfiles();
}

bool SettingsSheet::Admitted(ProfileEditKind kind, const UserProfile& profile) {
  return AdmittedEdit([&](auto& shaper) { EditShaperProfile(shaper, kind, profile); }, true);
}

std::string SettingsSheet::ProfileOfRow(const std::string& alias) {
  return alias.empty() ? Find<QComboBox>("defaultProfile").currentText().toStdString() : alias;
}

void SettingsSheet::FollowRowInShaper(const ShaperEdit& edit) {
  if (!router_.bandwidth().running()) return;
  try {
    edit(router_.bandwidth_controller());
  } catch (const TessaroBWControl::BWCError& error) {
    Tell("Error", error.what());
  }
}

bool SettingsSheet::AdmittedEdit(const ShaperEdit& edit, bool in_running_shaper) {
  const auto physical = IntegerField(Find<QLineEdit>("physicalBandwidth").text().toStdString());
  const auto refusal = AdmitShaperEdit(
      edit, {.physical_bandwidth = physical.value_or(router_.settings().MaxPayloadCut),
             .profiles = router_.tables().user_profiles(),
             .tables = *router_.tables().tables().Snapshot(),
             .default_profile = Find<QComboBox>("defaultProfile").currentText().toStdString(),
             .running_shaper = in_running_shaper && router_.bandwidth().running()
                                   ? &router_.bandwidth_controller()
                                   : nullptr});
  if (refusal) Tell("Error", *refusal);
  return !refusal;
}

void SettingsSheet::RemoveProfile() {
  const auto row = Selected(Find<QListWidget>("profiles"));
  if (!row) return;
  const std::string alias = AliasOf(*row);
  const auto refusal = ProfileRemovalRefusal(alias, *router_.tables().tables().Snapshot());
  if (refusal) return Tell("Error", *refusal);
  if (!UserProfileList::ConfirmRemove(prompt_) ||
      !Admitted(ProfileEditKind::kRemove, {.Alias = alias})) {
    return;
  }
  SilentPrompt confirmed;  // asked above, before the running shaper dropped the profile
  Changed(router_.tables().user_profiles().Remove(alias, confirmed).ok);
  FillProfiles();
}

void SettingsSheet::ApplyBasic() {
  Settings& s = router_.settings();
  s.TypeChannel = Find<QComboBox>("physicalChannel").currentText().toStdString();
  s.EnableBandwidth = next_hop_->currentIndex() == 1;
  s.RemoteControlOn = Find<QCheckBox>("remoteControl").isChecked() ? 1 : 0;
  s.PylonEnable = Find<QCheckBox>("externalTraffic").isChecked() ? 1 : 0;
  s.CorvidEnable = Find<QCheckBox>("routedTraffic").isChecked() ? 1 : 0;
  s.TransparentEnable = Find<QCheckBox>("internalSocket").isChecked() ? 1 : 0;
  s.BouncerEnable = Find<QCheckBox>("bouncer").isChecked() ? 1 : 0;
  s.L2tpEnable = Find<QCheckBox>("l2tpTunnel").isChecked() ? 1 : 0;
}

void SettingsSheet::ApplyExpert() {
  Settings& s = router_.settings();
  const QString nic = Find<QComboBox>("mcastNic").currentText();
  if (!nic.isEmpty()) s.MCastNIC = nic.toStdString();
  s.CorvidDefaultRoute = Find<QCheckBox>("defaultGatewayRoute").isChecked() ? 1 : 0;
  router_.pylon().SetPylonFilters();
}

void SettingsSheet::ApplyInternal() {
  Settings& s = router_.settings();
  s.LogLevel = Find<QComboBox>("logLevel").currentIndex() + 1;
  s.LogOn = Find<QCheckBox>("logInFile").isChecked() ? 1 : 0;
  s.LogFileSize = Find<QSpinBox>("logFileSize").value();
  s.LogFileName = Find<QLineEdit>("logFileName").text().trimmed().toStdString();
  s.TrafficControl = Find<QCheckBox>("trafficControl").isChecked() ? 1 : 0;
  s.StatisticEnable = Find<QCheckBox>("statisticFile").isChecked() ? 1 : 0;
  s.StatisticFile = Find<QLineEdit>("statisticFileName").text().trimmed().toStdString();
  s.LoadOnStartup = Find<QCheckBox>("loadOnStartup").isChecked() ? 1 : 0;
  log_.Configure({.log_on = s.LogOn,
                  .file_name = s.LogFileName,
                  .file_size_kb = s.LogFileSize,
                  .level = s.LogLevel});
  const bool file_changed = s.LogOn != before_.LogOn || s.LogFileSize != before_.LogFileSize ||
                            s.LogFileName.get() != before_.LogFileName.get();
  if (file_changed) log_.MaintainFile();
  if (s.StatisticEnable != before_.StatisticEnable ||
      s.StatisticFile.get() != before_.StatisticFile.get()) {
    router_.statistics().SetFile(s.StatisticEnable != 0 ? s.StatisticFile.get() : "");
  }
  router_.UpdateAutoRun();
}

void SettingsSheet::ApplyIpv6() {
  router_.settings().Ipv6Adapter = Find<QSpinBox>("ipv6Adapter").value();
}

bool SettingsSheet::Apply() {
  Settings& s = router_.settings();
  GeneralFields fields = GeneralFieldsOf(s);
  const auto text = [this](const char* name) {
    return Find<QLineEdit>(name).text().trimmed().toStdString();
  };
  if (opened_.count(kExpert) != 0) {
    fields.transparent_port = text("transparentPort");
    fields.remote_control_port = text("commandPort");
    fields.inserter_port = text("inserterPort");
    fields.inserter_ip = text("inserterIp");
  }
  if (opened_.count(kL2tp) != 0) {
    fields.l2tp_port = text("l2tpPort");
    fields.l2tp_pool_ip = text("l2tpPoolIp");
    fields.l2tp_pool = text("l2tpPool");
  }
  if (opened_.count(kProfiles) != 0) {
    fields.buf_time = text("bufferingTime");
    fields.max_payload_cut = text("physicalBandwidth");
  }
  if (const auto refusal = StoreGeneralFields(fields, s)) {
    Tell("Error", *refusal);
    return false;
  }
  if (opened_.count(kBasic) != 0) ApplyBasic();
  if (opened_.count(kExpert) != 0) ApplyExpert();
  if (opened_.count(kInternal) != 0) ApplyInternal();
  if (opened_.count(kIpv6) != 0) ApplyIpv6();
  if (opened_.count(kProfiles) != 0) {
    s.DefaultUP = Find<QComboBox>("defaultProfile").currentText().toStdString();
  }
  if (s.MaxPayloadCut != before_.MaxPayloadCut || s.BufTime != before_.BufTime) {
    router_.SetPhysicalBandwidth(s.MaxPayloadCut);
  }
  if (s.EnableBandwidth != before_.EnableBandwidth) router_.FollowShaping();
  FinishSettingsApply(lists_changed_ || SettingsChanged(before_, s), prompt_,
                      {.save = [this] { return router_.configuration().Save(router_.settings()); },
                       .service_running = [this] { return router_.controller().running(); },
                       .restart = [this] { return router_.Restart(); }});
  if (on_applied_) on_applied_(s.EnableBandwidth);
  return true;
}

}  // namespace velmora::ui
