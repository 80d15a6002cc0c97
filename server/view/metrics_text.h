#pragma once
// GET /metrics: the board's totals in Prometheus' text exposition format
// (version 0.0.4), for the monitoring a lab's host has already: counters
// since the server's start end in _total, the machines shown now are a gauge
// by phase.

#include <string>

#include "server/view/machine_board.h"

// The exposition of `snapshot`, every family with its HELP and TYPE lines.
// `version` is the server's, shown as netinstall_server_info's label.
std::string metricsText(const BoardSnapshot& snapshot, const std::string& version);

// A label value as the format writes it between its quotes: backslash,
// double quote and line feed escaped.
std::string metricsLabelValue(const std::string& value);
