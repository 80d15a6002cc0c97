#pragma once
// Everything the operator watches, fed by the installation loop: the log
// lines (or, on a terminal, the live table instead), the events file, the
// machine board and the status page, and the summary at the end.

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "server/view/events_file.h"
#include "server/view/machine_board.h"
#include "server/view/output_writer.h"
#include "server/server_options.h"
#include "server/protocol/server_protocol.h"
#include "server/view/status_http.h"

// The clocks now, for the board.
BoardTime boardTimeNow();

class OperatorView {
 public:
  // The live table replaces the log lines when `terminal`. The board keeps
  // `boardRows` machines.
  OperatorView(bool terminal, size_t boardRows);
  ~OperatorView();

  // Opens the events file and starts the status page as `options` ask.
  // False with one line in `error`.
  [[nodiscard]] bool open(const ServerOptions& options, std::string& error);
  // The page's address ("http://127.0.0.1:8080/"), or "" without one.
  std::string pageAddress() const;

  // An event of the installer `client` (null: of the server).
  void record(const uint8_t* client, const ServerEvent& event);
  // A line for the operator that is no event of the board.
  void note(const std::string& text) { record(nullptr, serverEvent("note", text)); }

  // Milliseconds between two refresh() calls when something is watched
  // live; 0 when nothing is.
  int refreshMillis() const;
  // Reads the sessions' progress and the counters off every segment's
  // protocol, hands a new snapshot to the page, and redraws the terminal's
  // table.
  void refresh(const std::vector<const ServerProtocol*>& protocols);
  // Leaves the live table and prints the summary.
  void finish(const std::vector<const ServerProtocol*>& protocols);

 private:
  // The log lines, when not on a terminal; they are dropped, and counted,
  // while the output does not keep up.
  void writeLogLine(const std::string& line, int64_t epochMillis);

  bool terminal_;
  bool journal_ = false;  // lines carry the journal's priority prefix
  std::unique_ptr<OutputWriter> screen_;  // once the table is shown
  std::unique_ptr<OutputWriter> log_;     // when not on a terminal
  uint64_t droppedLines_ = 0;
  int64_t lastDrawn_ = 0;
  EventsFile events_;
  bool eventsFailing_ = false;
  std::unique_ptr<StatusServer> status_;
  std::string statusAddress_;
  MachineBoard board_;
  std::deque<std::string> recent_;  // the newest log lines, for the table
};
