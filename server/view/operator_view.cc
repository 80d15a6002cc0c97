#include "server/view/operator_view.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "server/service_manager.h"
#include "server/view/board_text.h"
#include "server/view/event_log.h"

namespace {

// The page asks once a second: a fresh snapshot four times as often keeps
// it current at a cost the loop does not notice (a copy of the rows).
constexpr int kStatusRefreshMillis = 250;
constexpr int kTableRefreshMillis = 1000;
constexpr size_t kRecentLines = 50;

int64_t millisOf(clockid_t clock) {
  timespec now;
  clock_gettime(clock, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// The events file has every event all the same: only the log lost lines.
std::string droppedLinesNotice(int64_t epochMillis, uint64_t count) {
  return formatLogLine(epochMillis / 1000, nullptr,
                       std::to_string(count) +
                           " log lines dropped: the output did not keep up") +
         "\n";
}

// How the journal files a line: what the operator must act on stands out
// (journalctl -p warning) from the many lines of a lab at work.
LogPriority eventPriority(const ServerEvent& event) {
  if (event.name == "stopped" && event.fields.contains("error")) return LogPriority::error;
  if (event.name == "failed" || event.name == "gone") return LogPriority::warning;
  if (event.name == "note" && event.text.rfind("warning:", 0) == 0) return LogPriority::warning;
  if (event.name == "dropped" || event.name == "unlogged-stations" ||
      event.name == "forgot-installers") {
    return LogPriority::notice;
  }
  return LogPriority::info;
}

}  // namespace

BoardTime boardTimeNow() { return BoardTime{millisOf(CLOCK_MONOTONIC), millisOf(CLOCK_REALTIME)}; }

OperatorView::OperatorView(bool terminal, size_t boardRows)
    : terminal_(terminal), board_(boardTimeNow(), boardRows) {
  if (!terminal_) log_ = std::make_unique<OutputWriter>(STDOUT_FILENO);
  journal_ = !terminal_ && standardOutputIsJournal();
}

OperatorView::~OperatorView() {
  if (status_) status_->stop();
}

bool OperatorView::open(const ServerOptions& options, std::string& error) {
  if (!options.eventsPath.empty() && !events_.open(options.eventsPath)) {
    error = "cannot open the events file " + options.eventsPath + ": " + strerror(errno);
    return false;
  }
  if (options.status) {
    status_ = std::make_unique<StatusServer>();
    if (!status_->start(options.statusAddress, options.statusPort, error)) {
      status_.reset();
      return false;
    }
    statusAddress_ = options.statusAddress;
  }
  return true;
}

std::string OperatorView::pageAddress() const {
  if (!status_) return "";
  return "http://" + statusAddress_ + ":" + std::to_string(status_->port()) + "/";
}

void OperatorView::record(const uint8_t* client, const ServerEvent& event) {
  BoardTime now = boardTimeNow();
  std::string line = formatLogLine(now.epochMillis / 1000, client, event.text);
  if (terminal_) {
    recent_.push_back(line);
    if (recent_.size() > kRecentLines) recent_.pop_front();
  } else {
    writeLogLine(journal_ ? journalPrefix(eventPriority(event)) + line : line, now.epochMillis);
  }
  if (events_.isOpen()) {
    bool written = events_.append(now.epochMillis, client, event);
    // Said once when it begins, not for every line: the installations go on.
    if (!written && !eventsFailing_) {
      fprintf(stderr, "netinstall-server: cannot append to the events file: %s\n", strerror(errno));
    }
    eventsFailing_ = !written;
  }
  board_.record(client, event, now);
}

void OperatorView::writeLogLine(const std::string& line, int64_t epochMillis) {
  if (droppedLines_ > 0) {
    std::string notice = droppedLinesNotice(epochMillis, droppedLines_);
    if (journal_) notice = journalPrefix(LogPriority::warning) + notice;
    if (!log_->append(notice)) {
      ++droppedLines_;
      return;
    }
    droppedLines_ = 0;
  }
  if (!log_->append(line + "\n")) ++droppedLines_;
}

int OperatorView::refreshMillis() const {
  if (status_) return kStatusRefreshMillis;
  return terminal_ ? kTableRefreshMillis : 0;
}

void OperatorView::refresh(const std::vector<const ServerProtocol*>& protocols) {
  BoardTime now = boardTimeNow();
  ProtocolTotals totals;
  for (const ServerProtocol* protocol : protocols) {
    protocol->visitSessions([this, now](const uint8_t* client, int64_t lastSeen, uint64_t offset) {
      board_.noteSession(client, lastSeen, offset, now);
    });
    protocol->visitWaiting([this, now](const uint8_t* client, int64_t lastAsked) {
      board_.noteWaiting(client, lastAsked, now);
    });
    ProtocolTotals segment = protocol->totals();
    totals.malformed += segment.malformed;
    totals.oversized += segment.oversized;
    totals.forged += segment.forged;
    totals.stationsFound += segment.stationsFound;
    totals.installersDropped += segment.installersDropped;
  }
  board_.setCounters(totals.malformed, totals.oversized, totals.forged, totals.stationsFound,
                     totals.installersDropped);
  if (!status_ && !terminal_) return;
  auto snapshot = std::make_shared<const BoardSnapshot>(board_.snapshot(now));
  if (status_) status_->publish(snapshot);
  if (terminal_ && now.monotonicMillis - lastDrawn_ >= kTableRefreshMillis) {
    winsize size{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0) size = winsize{25, 80, 0, 0};
    std::string screen = renderLiveTable(*snapshot, size.ws_col, size.ws_row, recent_);
    if (!screen_) {
      screen_ = std::make_unique<OutputWriter>(STDOUT_FILENO);
      screen = "\033[?1049h\033[?25l" + screen;  // the alternate screen, as top
    }
    screen_->show(std::move(screen));
    lastDrawn_ = now.monotonicMillis;
  }
}

void OperatorView::finish(const std::vector<const ServerProtocol*>& protocols) {
  refresh(protocols);
  if (status_) status_->stop();
  BoardTime now = boardTimeNow();
  std::string summary = renderSummary(board_.snapshot(now));
  if (log_) {
    if (droppedLines_ > 0) summary = droppedLinesNotice(now.epochMillis, droppedLines_) + summary;
    log_->finish(summary);
    return;
  }
  if (!screen_) {
    fwrite(summary.data(), 1, summary.size(), stdout);
    fflush(stdout);
    return;
  }
  std::string text = "\033[?25h\033[?1049l";
  // The table's last lines, now on the ordinary screen.
  for (const std::string& line : recent_) text += line + "\n";
  screen_->finish(text + summary);
}
