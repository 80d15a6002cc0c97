#include "server/view/board_text.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "netinstall/mac_address.h"

namespace {

// What a machine sent, safe for a terminal and at most `width` columns.
std::string cell(const std::string& text, size_t width) {
  std::string result;
  for (char c : text) {
    if (result.size() >= width) break;
    auto byte = static_cast<unsigned char>(c);
    result += byte < 0x20 || byte >= 0x7F ? '?' : c;
  }
  result.resize(width, ' ');
  return result;
}

std::string macText(const MachineRow& row) {
  char mac[kMacTextSize];
  formatMacAddressInto(row.mac.data(), mac);
  return mac;
}

std::string fileText(const MachineRow& row) {
  if (row.fileIndex == 0) return "";
  return std::to_string(row.fileIndex) + "/" + std::to_string(row.fileCount) + " " + row.fileName;
}

std::string progressText(const MachineRow& row) {
  if (row.bytesTotal == 0) return row.bytesSent ? byteText(row.bytesSent) : "";
  return byteText(row.bytesSent) + " " +
         std::to_string(row.bytesSent * 100 / row.bytesTotal) + "%";
}

// A machine of the inventory by its name and group, else by its disk label.
std::string shownName(const MachineRow& row) {
  if (row.name.empty()) return row.label;
  return row.name + (row.group.empty() ? "" : " (" + row.group + ")");
}

std::string totalsText(const BoardSnapshot& snapshot) {
  const BoardTotals& t = snapshot.totals;
  return "machines " + std::to_string(t.machines) + "  installing " +
         std::to_string(t.installing) + "  done " + std::to_string(t.done) + "  failed " +
         std::to_string(t.failed) + "  silent " + std::to_string(t.silent) + "  sent " +
         byteText(t.bytesSent) + "  dropped " + std::to_string(t.malformed + t.oversized) +
         (t.forged == 0 ? "" : "  forged " + std::to_string(t.forged)) +
         (t.up + t.notUp + t.upRefused + t.rearmed == 0
              ? ""
              : "  up " + std::to_string(t.up) + "  not up " + std::to_string(t.notUp) +
                    "  up refused " + std::to_string(t.upRefused) + "  re-armed " +
                    std::to_string(t.rearmed));
}

}  // namespace

std::string byteText(uint64_t bytes) {
  static const char* const kUnits[] = {"B", "KB", "MB", "GB", "TB"};
  double value = static_cast<double>(bytes);
  size_t unit = 0;
  while (value >= 1000 && unit + 1 < sizeof kUnits / sizeof kUnits[0]) {
    value /= 1000;
    ++unit;
  }
  char text[32];
  snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", value, kUnits[unit]);
  return text;
}

std::string durationText(int64_t millis) {
  int64_t seconds = (millis < 0 ? 0 : millis + 500) / 1000;
  char text[32];
  if (seconds >= 3600) {
    snprintf(text, sizeof text, "%lldh %02lldm %02llds", static_cast<long long>(seconds / 3600),
             static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
  } else if (seconds >= 60) {
    snprintf(text, sizeof text, "%lldm %02llds", static_cast<long long>(seconds / 60),
             static_cast<long long>(seconds % 60));
  } else {
    snprintf(text, sizeof text, "%llds", static_cast<long long>(seconds));
  }
  return text;
}

std::string renderLiveTable(const BoardSnapshot& snapshot, int columns, int rows,
                            const std::deque<std::string>& recentLines) {
  size_t width = columns > 20 ? static_cast<size_t>(columns) : 80;
  size_t height = rows > 6 ? static_cast<size_t>(rows) : 25;
  std::vector<std::string> lines;
  lines.push_back("netinstall-server  " + totalsText(snapshot));
  lines.push_back("");
  lines.push_back("MACHINE            LABEL            PHASE       FILE                  "
                  "PROGRESS       RATE        LEFT");
  size_t events = recentLines.empty() ? 0 : std::min<size_t>(recentLines.size(), 5) + 1;
  if (lines.size() + events + 2 > height) events = 0;  // a small screen shows machines only
  size_t room = height - 1 - lines.size() - events;  // the last line stays empty
  size_t shown = 0;
  for (const MachineRow& row : snapshot.machines) {
    if (shown + 1 == room && snapshot.machines.size() > room) {
      lines.push_back("... and " + std::to_string(snapshot.machines.size() - shown) + " more");
      break;
    }
    if (shown == room) break;
    std::string rate = row.rate > 0 ? byteText(static_cast<uint64_t>(row.rate)) + "/s" : "";
    std::string left = row.remainingMillis >= 0 ? durationText(row.remainingMillis)
                       : row.upMillis >= 0          ? "up after " + durationText(row.upMillis)
                                                    : "";
    std::string phase = phaseName(row.phase);
    lines.push_back(cell(macText(row), 19) + cell(shownName(row), 17) + cell(phase, 12) +
                    cell(fileText(row), 22) + cell(progressText(row), 15) + cell(rate, 12) +
                    cell(left, 10));
    ++shown;
  }
  if (events > 0) {
    lines.push_back("");
    for (size_t i = recentLines.size() - (events - 1); i < recentLines.size(); ++i) {
      lines.push_back(recentLines[i]);
    }
  }
  std::string screen = "\033[H";
  for (const std::string& line : lines) screen += cell(line, width).substr(0, width) + "\033[K\r\n";
  return screen + "\033[J";
}

std::string renderSummary(const BoardSnapshot& snapshot) {
  std::string text = "summary: " + totalsText(snapshot) + "\n";
  for (const MachineRow& row : snapshot.machines) {
    std::string result = phaseName(row.phase);
    if (row.upMillis >= 0) result += " after " + durationText(row.upMillis);
    if (!row.reason.empty()) result += " (" + row.reason + ")";
    text += "  " + macText(row) + "  " + cell(shownName(row), 24) + "  " +
            cell(durationText(row.elapsedMillis), 10) + "  " + cell(result, 100) + "\n";
  }
  // Trailing blanks of the padded columns are of no use in a log.
  std::string trimmed;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    std::string line = text.substr(start, end - start);
    line.erase(line.find_last_not_of(' ') + 1);
    trimmed += line + "\n";
    start = end + 1;
  }
  return trimmed;
}
