#include "server/view/board_json.h"

#include <nlohmann/json.hpp>

#include "netinstall/mac_address.h"
#include "server/view/event_log.h"

namespace {

using nlohmann::json;

json seconds(int64_t millis) { return static_cast<double>(millis) / 1000.0; }

json machineJson(const MachineRow& row) {
  char mac[kMacTextSize];
  formatMacAddressInto(row.mac.data(), mac);
  json file = nullptr;
  if (row.fileIndex > 0) {
    file = {{"index", row.fileIndex}, {"count", row.fileCount}, {"name", row.fileName},
            {"bytes", row.fileBytes}, {"sent", row.fileSent}};
  }
  return {
      {"mac", mac},
      {"label", row.label},
      {"name", row.name.empty() ? json(nullptr) : json(row.name)},
      {"group", row.group.empty() ? json(nullptr) : json(row.group)},
      {"phase", phaseName(row.phase)},
      {"accepted", row.accepted},
      {"all_sent", row.allSent},
      {"reason", row.reason.empty() ? json(nullptr) : json(row.reason)},
      {"first_seen", isoTime(row.firstSeen)},
      {"last_seen", isoTime(row.lastSeen)},
      {"file", file},
      {"bytes_sent", row.bytesSent},
      {"bytes_total", row.bytesTotal == 0 ? json(nullptr) : json(row.bytesTotal)},
      {"rate", static_cast<uint64_t>(row.rate)},
      {"elapsed", seconds(row.elapsedMillis)},
      {"remaining", row.remainingMillis < 0 ? json(nullptr) : seconds(row.remainingMillis)},
      {"up_after", row.upMillis < 0 ? json(nullptr) : seconds(row.upMillis)},
      {"installation", row.installation == 0 ? json(nullptr) : json(row.installation)},
  };
}

}  // namespace

std::string boardJson(const BoardSnapshot& snapshot) {
  const BoardTotals& totals = snapshot.totals;
  json machines = json::array();
  for (const MachineRow& row : snapshot.machines) machines.push_back(machineJson(row));
  json document = {
      {"time", isoTime(snapshot.taken)},
      {"started", isoTime(snapshot.started)},
      {"totals",
       {{"machines", totals.machines},
        {"installing", totals.installing},
        {"silent", totals.silent},
        {"waiting", totals.waiting},
        {"done", totals.done},
        {"failed", totals.failed},
        {"bytes_sent", totals.bytesSent},
        {"dropped_malformed", totals.malformed},
        {"dropped_oversized", totals.oversized},
        {"dropped_forged", totals.forged},
        {"stations_found", totals.stationsFound},
        {"installers_dropped", totals.installersDropped},
        {"up", totals.up},
        {"not_up", totals.notUp},
        {"up_refused", totals.upRefused},
        {"rearmed", totals.rearmed}}},
      {"machines", std::move(machines)},
  };
  return document.dump(-1, ' ', false, json::error_handler_t::replace);
}
