#include "server/view/metrics_text.h"

#include <cstdint>
#include <cstdio>

namespace {

constexpr MachinePhase kPhases[] = {MachinePhase::drivers,   MachinePhase::offered,
                                    MachinePhase::installing, MachinePhase::done,
                                    MachinePhase::failed,    MachinePhase::declined,
                                    MachinePhase::silent};

void family(std::string& out, const char* name, const char* type, const char* help) {
  out += std::string("# HELP ") + name + " " + help + "\n";
  out += std::string("# TYPE ") + name + " " + type + "\n";
}

void sample(std::string& out, const std::string& name, uint64_t value) {
  out += name + " " + std::to_string(value) + "\n";
}

std::string labelled(const char* name, const char* label, const std::string& value) {
  return std::string(name) + "{" + label + "=\"" + metricsLabelValue(value) + "\"}";
}

}  // namespace

std::string metricsLabelValue(const std::string& value) {
  std::string escaped;
  for (char c : value) {
    if (c == '\\') {
      escaped += "\\\\";
    } else if (c == '"') {
      escaped += "\\\"";
    } else if (c == '\n') {
      escaped += "\\n";
    } else {
      escaped += c;
    }
  }
  return escaped;
}

std::string metricsText(const BoardSnapshot& snapshot, const std::string& version) {
  const BoardTotals& totals = snapshot.totals;
  std::string out;
  family(out, "netinstall_server_info", "gauge", "The server's version.");
  sample(out, labelled("netinstall_server_info", "version", version), 1);
  char started[32];
  snprintf(started, sizeof started, "%.3f", static_cast<double>(snapshot.started) / 1000.0);
  family(out, "netinstall_server_start_time_seconds", "gauge",
         "When the server started, in seconds since 1970.");
  out += std::string("netinstall_server_start_time_seconds ") + started + "\n";

  family(out, "netinstall_installations_total", "counter",
         "Installations ended since the start, by result (failed: by the server, or its "
         "installer went silent while a file was open).");
  sample(out, labelled("netinstall_installations_total", "result", "done"), totals.done);
  sample(out, labelled("netinstall_installations_total", "result", "failed"), totals.failed);

  family(out, "netinstall_machines", "gauge", "Machines shown on the board now, by phase.");
  for (MachinePhase phase : kPhases) {
    uint64_t count = 0;
    for (const MachineRow& row : snapshot.machines) count += row.phase == phase;
    sample(out, labelled("netinstall_machines", "phase", phaseName(phase)), count);
  }

  family(out, "netinstall_sent_bytes_total", "counter",
         "File bytes sent since the start, driver packages included.");
  sample(out, "netinstall_sent_bytes_total", totals.bytesSent);
  family(out, "netinstall_dropped_datagrams_total", "counter",
         "Datagrams dropped since the start, by reason.");
  sample(out, labelled("netinstall_dropped_datagrams_total", "reason", "malformed"),
         totals.malformed);
  sample(out, labelled("netinstall_dropped_datagrams_total", "reason", "oversized"),
         totals.oversized);
  sample(out, labelled("netinstall_dropped_datagrams_total", "reason", "forged"), totals.forged);
  family(out, "netinstall_stations_found_total", "counter",
         "Stations offered an installation since the start.");
  sample(out, "netinstall_stations_found_total", totals.stationsFound);
  family(out, "netinstall_installers_dropped_total", "counter",
         "Sessions that made room for another installer since the start.");
  sample(out, "netinstall_installers_dropped_total", totals.installersDropped);
  return out;
}
