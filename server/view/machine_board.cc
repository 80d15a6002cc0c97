#include "server/view/machine_board.h"

#include <algorithm>
#include <cstring>

namespace {

bool isFinal(MachinePhase phase) {
  return phase == MachinePhase::done || phase == MachinePhase::failed ||
         phase == MachinePhase::declined || phase == MachinePhase::silent ||
         phase == MachinePhase::up || phase == MachinePhase::notUp;
}

std::string textField(const ServerEvent& event, const char* key) {
  auto found = event.fields.find(key);
  return found != event.fields.end() && found->is_string() ? found->get<std::string>() : "";
}

uint64_t numberField(const ServerEvent& event, const char* key) {
  auto found = event.fields.find(key);
  return found != event.fields.end() && found->is_number_unsigned() ? found->get<uint64_t>() : 0;
}

double secondsField(const ServerEvent& event, const char* key) {
  auto found = event.fields.find(key);
  return found != event.fields.end() && found->is_number() ? found->get<double>() : 0;
}

}  // namespace

const char* phaseName(MachinePhase phase) {
  switch (phase) {
    case MachinePhase::drivers: return "drivers";
    case MachinePhase::offered: return "offered";
    case MachinePhase::installing: return "installing";
    case MachinePhase::done: return "done";
    case MachinePhase::failed: return "failed";
    case MachinePhase::declined: return "declined";
    case MachinePhase::silent: return "silent";
    case MachinePhase::held: return "held";
    case MachinePhase::up: return "up";
    case MachinePhase::notUp: return "not up";
    case MachinePhase::waiting: return "waiting for room";
  }
  return "unknown";
}

MachineBoard::MachineBoard(BoardTime started, size_t capacity)
    : started_(started), capacity_(std::max<size_t>(capacity, 1)) {}

MachineBoard::Entry* MachineBoard::entryFor(const Mac& client, BoardTime now, bool waiting) {
  auto found = rows_.find(client);
  if (found != rows_.end()) return &found->second;
  if (rows_.size() >= capacity_) {
    auto victim = rows_.end();
    auto seenLonger = [this, &victim](std::map<Mac, Entry>::iterator it) {
      return victim == rows_.end() || it->second.lastSeenMono < victim->second.lastSeenMono;
    };
    for (int pass = 0; pass < 3 && victim == rows_.end(); ++pass) {
      if (pass == 2 && waiting) return nullptr;  // never in place of a session's row
      for (auto it = rows_.begin(); it != rows_.end(); ++it) {
        MachinePhase phase = it->second.row.phase;
        bool fits = pass == 0 ? isFinal(phase) : pass == 1 ? phase == MachinePhase::waiting : true;
        if (fits && seenLonger(it)) victim = it;
      }
    }
    rows_.erase(victim);
  }
  Entry& entry = rows_[client];
  begin(entry, client, now);
  return &entry;
}

void MachineBoard::begin(Entry& entry, const Mac& client, BoardTime now) {
  std::string label = std::move(entry.row.label);
  entry = Entry{};
  entry.row.mac = client;
  entry.row.label = std::move(label);
  entry.row.firstSeen = now.epochMillis;
  entry.firstSeenMono = now.monotonicMillis;
  touch(entry, now);
}

void MachineBoard::touch(Entry& entry, BoardTime now) {
  entry.lastSeenMono = now.monotonicMillis;
  entry.row.lastSeen = now.epochMillis;
}

void MachineBoard::record(const uint8_t* client, const ServerEvent& event, BoardTime now) {
  if (client == nullptr) return;
  Mac key;
  memcpy(key.data(), client, kMacSize);
  bool waiting = event.name == "waiting";
  Entry* found = entryFor(key, now, waiting);
  if (found == nullptr) return;
  Entry& entry = *found;
  MachineRow& row = entry.row;
  touch(entry, now);
  const std::string& name = event.name;
  // The installed system's word comes after the installation ended, and may
  // come to a server that never saw the installation.
  if (name == "up" || name == "not-up") {
    bool up = name == "up";
    if (up) {
      row.upMillis = static_cast<int64_t>(secondsField(event, "seconds") * 1000);
      row.reason.clear();
      ++totals_.up;
    } else {
      row.reason = event.text;
      ++totals_.notUp;
    }
    finish(entry, up ? MachinePhase::up : MachinePhase::notUp, now);
    return;
  }
  if (name == "up-refused") {
    ++totals_.upRefused;
    return;  // forged or replayed: the machine's row stays as it was
  }
  if (name == "held") {
    row.phase = MachinePhase::held;
    row.reason = textField(event, "reason");
    return;
  }
  if (name == "rearmed") ++totals_.rearmed;
  // A machine that asks for its drivers has booted: a new installation
  // begins, and so does one that is found again after it finished.
  if (name == "drivers" || (name == "found" && isFinal(row.phase))) {
    begin(entry, key, now);
    row.phase = name == "drivers" ? MachinePhase::drivers : MachinePhase::offered;
  }
  if (event.fields.contains("installation")) row.installation = numberField(event, "installation");
  if (waiting) {
    if (isFinal(row.phase)) begin(entry, key, now);
    entry.row.phase = MachinePhase::waiting;
    return;
  }
  if (isFinal(row.phase)) return;  // a late word from a finished installation
  if (name == "found") {
    row.reason.clear();  // why it was held, before it was let in
    row.label = textField(event, "label");
    row.name = textField(event, "name");
    row.group = textField(event, "group");
    row.phase = MachinePhase::offered;
    row.fileIndex = 0;
  } else if (name == "took-offer") {
    row.phase = MachinePhase::offered;
    row.accepted = true;
  } else if (name == "declined") {
    finish(entry, MachinePhase::declined, now);
  } else if (name == "started") {
    row.phase = MachinePhase::installing;
    row.fileIndex = 0;
    row.fileCount = numberField(event, "files");
    entry.completedBytes = 0;
    entry.samples.clear();
    row.bytesSent = 0;
    row.bytesTotal = numberField(event, "bytes");
  } else if (name == "sending") {
    row.fileIndex = numberField(event, "index");
    row.fileCount = numberField(event, "count");
    row.fileName = textField(event, "file");
    row.fileBytes = numberField(event, "bytes");
    row.fileSent = 0;
    if (row.phase == MachinePhase::drivers) row.bytesTotal = entry.completedBytes + row.fileBytes;
  } else if (name == "sent") {
    row.fileSent = numberField(event, "bytes");
    entry.completedBytes += row.fileSent;
    setSent(entry, entry.completedBytes, now);
  } else if (name == "all-sent") {
    row.allSent = true;
  } else if (name == "done") {
    finish(entry, MachinePhase::done, now);
    ++totals_.done;
  } else if (name == "failed" || name == "gone") {
    row.reason = name == "gone" ? event.text : textField(event, "reason");
    finish(entry, name == "gone" ? MachinePhase::silent : MachinePhase::failed, now);
    ++totals_.failed;
  }
}

void MachineBoard::noteSession(const uint8_t* client, int64_t lastRequest, uint64_t fileOffset,
                               BoardTime now) {
  Mac key;
  memcpy(key.data(), client, kMacSize);
  auto found = rows_.find(key);
  if (found == rows_.end()) return;  // made room for others: not shown again until it speaks
  Entry& entry = found->second;
  if (lastRequest != entry.lastRequest) {
    entry.lastRequest = lastRequest;
    touch(entry, now);
  }
  if (fileOffset > 0 && !isFinal(entry.row.phase) && fileOffset != entry.row.fileSent) {
    entry.row.fileSent = fileOffset;
    touch(entry, now);
    setSent(entry, entry.completedBytes + fileOffset, now);
  }
}

void MachineBoard::noteWaiting(const uint8_t* client, int64_t lastAsked, BoardTime now) {
  Mac key;
  memcpy(key.data(), client, kMacSize);
  bool known = rows_.count(key) > 0;
  Entry* entry = entryFor(key, now, /*waiting=*/true);
  if (entry == nullptr) return;
  if (isFinal(entry->row.phase)) begin(*entry, key, now);
  entry->row.phase = MachinePhase::waiting;
  if (!known || lastAsked != entry->lastRequest) {
    entry->lastRequest = lastAsked;
    touch(*entry, now);
  }
}

void MachineBoard::setSent(Entry& entry, uint64_t bytesSent, BoardTime now) {
  if (bytesSent > entry.row.bytesSent) totals_.bytesSent += bytesSent - entry.row.bytesSent;
  entry.row.bytesSent = bytesSent;
  entry.samples.push_back(Sample{now.monotonicMillis, bytesSent});
  // One sample older than the window stays: the rate's starting point.
  while (entry.samples.size() > 2 &&
         entry.samples[1].at < now.monotonicMillis - kRateWindowMillis) {
    entry.samples.pop_front();
  }
}

void MachineBoard::finish(Entry& entry, MachinePhase phase, BoardTime now) {
  entry.row.phase = phase;
  entry.endedMono = now.monotonicMillis;
}

void MachineBoard::setCounters(uint64_t malformed, uint64_t oversized, uint64_t forged,
                               uint64_t stationsFound,
                               uint64_t installersDropped) {
  totals_.malformed = malformed;
  totals_.oversized = oversized;
  totals_.forged = forged;
  totals_.stationsFound = stationsFound;
  totals_.installersDropped = installersDropped;
}

MachineRow MachineBoard::view(const Entry& entry, BoardTime now) const {
  MachineRow row = entry.row;
  int64_t end = entry.endedMono >= 0 ? entry.endedMono : now.monotonicMillis;
  row.elapsedMillis = end - entry.firstSeenMono;
  if (isFinal(row.phase) || row.phase == MachinePhase::held) {
    row.rate = 0;
    return row;
  }
  bool busy = (row.phase == MachinePhase::offered && row.accepted) ||
              (row.phase == MachinePhase::installing && row.allSent);
  int64_t quiet = now.monotonicMillis - entry.lastSeenMono;
  if (quiet > (busy ? kSilentWhileBusyMillis : kSilentMillis)) {
    row.phase = MachinePhase::silent;
    row.reason = "nothing asked for " + std::to_string(quiet / 1000) + " s";
    return row;
  }
  // From the last sample before the window (or the first within it) to now.
  const Sample* from = nullptr;
  for (const Sample& sample : entry.samples) {
    if (from == nullptr || sample.at <= now.monotonicMillis - kRateWindowMillis) from = &sample;
  }
  if (from != nullptr && now.monotonicMillis > from->at) {
    row.rate = static_cast<double>(row.bytesSent - from->bytes) * 1000.0 /
               static_cast<double>(now.monotonicMillis - from->at);
  }
  if (row.bytesTotal > row.bytesSent && row.rate > 0) {
    row.remainingMillis =
        static_cast<int64_t>(static_cast<double>(row.bytesTotal - row.bytesSent) * 1000.0 / row.rate);
  }
  return row;
}

BoardSnapshot MachineBoard::snapshot(BoardTime now) const {
  BoardSnapshot snapshot;
  snapshot.taken = now.epochMillis;
  snapshot.started = started_.epochMillis;
  snapshot.totals = totals_;
  snapshot.machines.reserve(rows_.size());
  for (const auto& [mac, entry] : rows_) {
    snapshot.machines.push_back(view(entry, now));
    const MachineRow& row = snapshot.machines.back();
    snapshot.totals.installing += row.phase == MachinePhase::installing ? 1 : 0;
    snapshot.totals.silent += row.phase == MachinePhase::silent ? 1 : 0;
    snapshot.totals.waiting += row.phase == MachinePhase::waiting ? 1 : 0;
  }
  snapshot.totals.machines = snapshot.machines.size();
  std::stable_sort(snapshot.machines.begin(), snapshot.machines.end(),
                   [](const MachineRow& a, const MachineRow& b) { return a.firstSeen < b.firstSeen; });
  return snapshot;
}
