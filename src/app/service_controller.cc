#include "app/service_controller.h"

#include <algorithm>

#include "app/configuration.h"
#include "app/settings.h"
#include "app/status_refresher.h"
#include "packet/service_source.h"
#include "platform/udp_socket.h"
#include "stats/traffic_statistics.h"
#include "support/cerrorcode.h"
#include "support/log.h"
#include "support/operator_prompt.h"

namespace velmora {

ServiceController::ServiceController(const Parts& parts) : parts_(parts) {}

void ServiceController::AddSource(ServiceSource* source) {
  sources_.push_back(source);
}

void ServiceController::OpenBeforeOthers(ServiceSource* source) {
  open_first_.push_back(source);
}

bool ServiceController::running() const {
  return parts_.settings.StartListening != 0;
}

void ServiceController::ShowMenu(bool running) {
  menu_running_ = running;
  if (menu_listener_) menu_listener_(running);
}

void ServiceController::ServiceStart() {
  parts_.configuration.Save(parts_.settings);
  if (parts_.settings.StatisticEnable != 0) {
    parts_.statistics.SetFile(parts_.settings.StatisticFile.get());
  }
  parts_.statistics.WriteFile();
  if (start_shaping_) start_shaping_();
  parts_.settings.StartListening = 1;
  active_.clear();
  for (ServiceSource* source : sources_) {
    if (source->Enabled()) active_.push_back(source);
  }
  OpenDrivers();
  if (refresh_remote_) refresh_remote_();
  parts_.refresher.Start(&exiting_);
  try {
    for (ServiceSource* source : active_) source->Launch();
  } catch (const cerrorcode& error) {
    if (error.code() == cerrorcode::kPortInUse) {
      // Nothing of a start that could not take its port stays behind: the next start is clean.
      Shutdown();
      ReportStartError();
      return;
    }
  }
  ShowMenu(true);
}

void ServiceController::OpenDrivers() {
  std::vector<ServiceSource*> order = active_;
  std::stable_partition(order.begin(), order.end(), [this](ServiceSource* source) {
    return std::find(open_first_.begin(), open_first_.end(), source) != open_first_.end();
  });
  for (ServiceSource* source : order) source->OpenDriver();
}

void ServiceController::ReportStartError() {
  parts_.prompt.Ask({.title = "Start service error",
                     .text = std::string("Cannot start service. Port ") + " busy.\n" +
                             "Check if one of the ports in CorvidTxadapt.ini\n" +
                             "is equal to \"PortSource\" value in CorvidTx.ini",
                     .buttons = PromptButtons::kOk,
                     .icon = PromptIcon::kError,
                     .default_answer = PromptAnswer::kOk});
}

void ServiceController::ServiceStop() {
  parts_.configuration.Save(parts_.settings);
  Shutdown();
  ShowMenu(false);
  parts_.clock.SleepFor(kSourceSettleTime);
  // Last, so that the packets counted while the sources wound down are in the file.
  parts_.statistics.WriteFile();
}

void ServiceController::Shutdown() {
  parts_.settings.StartListening = 0;
  parts_.refresher.Stop();
  // Before the sources close, so that its start never reads a source that is closing.
  parts_.refresher.Join();
  for (ServiceSource* source : active_) source->Wake();
  UdpSocket::CloseAll();  // ends every receive; the flag is 0 already
  for (ServiceSource* source : active_) source->Close();
  for (ServiceSource* source : active_) source->Join();
  if (drop_memberships_) drop_memberships_();
  active_.clear();
  if (stop_shaping_) stop_shaping_();
}

void ServiceController::LaunchIfIdle(ServiceSource* source) {
  // Not before the start has chosen its sources: it launches this one itself when it may.
  if (!menu_running_ || std::find(active_.begin(), active_.end(), source) != active_.end()) return;
  active_.push_back(source);
  source->OpenDriver();
  source->Launch();
}

}  // namespace velmora
