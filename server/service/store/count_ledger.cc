#include "server/service/store/count_ledger.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <map>
#include <set>
#include <sstream>

#include "platform/home.h"
#include "platform/own_file.h"
#include "server/common/random_hex.h"

namespace tarvo {
namespace {

constexpr std::uint64_t kNone = std::numeric_limits<std::uint64_t>::max();

struct Entry {
  std::string name;
  Counts counts;
};

struct Ledger {
  std::string self;  // this daemon's name for its deltas
  std::uint64_t nextSeq = 1;
  std::map<DeltaId, Entry> entries;
  std::set<std::uint64_t> ownSeqs;   // the numbers of this daemon's entries
  std::uint64_t spooledFloor = kNone;  // the lowest own number the spool on disk names
  bool dirty = false;
  NetworkTimer spoolTimer;
};

// Random, so that no two starts of any daemon sharing a store ever share a name.
std::string NewOwnerName() {
  std::string name = RandomHex(12);
  if (!name.empty()) return name;
  unsigned char bytes[12] = {};
  std::snprintf(reinterpret_cast<char*>(bytes), sizeof bytes, "%d", static_cast<int>(getpid()));
  return HexOf(bytes, sizeof bytes);
}

Ledger& TheLedger() {
  static auto* ledger = [] {
    auto* made = new Ledger;  // never destroyed: the end of the process writes it out
    made->self = NewOwnerName();
    return made;
  }();
  return *ledger;
}

bool SpoolPath(std::string& path) { return HomeFilePath(kCountSpoolFileName, path); }

// One line per delta: owner, number, bytes down and up, then the user's name to the line's end.
bool WriteSpool(Ledger& ledger) {
  std::string path;
  if (!SpoolPath(path)) return false;
  std::uint64_t floor = kNone;
  if (ledger.entries.empty()) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) return false;
    ledger.spooledFloor = kNone;
    return true;
  }
  std::string text;
  for (const auto& [id, entry] : ledger.entries) {
    text += id.owner + ' ' + std::to_string(id.seq) + ' ' + std::to_string(entry.counts.down) +
            ' ' + std::to_string(entry.counts.up) + ' ' + entry.name + '\n';
    if (id.owner == ledger.self) floor = std::min(floor, id.seq);
  }
  // A killed process leaves its writes in the page cache; a new file renamed over the old one
  // means a reader never sees half of one.
  const std::string fresh = path + ".new";
  {
    UniqueFd file = OpenOwnFile(fresh, O_WRONLY | O_CREAT | O_TRUNC, kStoreFileMode);
    if (!file) return false;
    for (std::size_t at = 0; at < text.size();) {
      const ssize_t wrote = ::write(file.get(), text.data() + at, text.size() - at);
      if (wrote < 0 && errno == EINTR) continue;
      if (wrote <= 0) return false;
      at += static_cast<std::size_t>(wrote);
    }
  }
  if (::rename(fresh.c_str(), path.c_str()) != 0) return false;
  ledger.spooledFloor = floor;
  return true;
}

void SpoolSoon(Ledger& ledger) REQUIRES(NetworkLock) {
  ledger.dirty = true;
  if (ledger.spoolTimer.armed()) return;
  ledger.spoolTimer.arm(kSpoolInterval, [] {
    NetworkLock.assertHeld();  // timers run in the loop's batch
    Ledger& due = TheLedger();
    // A spool that cannot be written is tried again a second later; counts still reach the
    // store as before.
    if (WriteSpool(due)) {
      due.dirty = false;
    } else {
      SpoolSoon(due);
    }
  });
}

}  // namespace

DeltaId OpenDelta(const std::string& name) {
  Ledger& ledger = TheLedger();
  DeltaId id{ledger.self, ledger.nextSeq++};
  ledger.entries.emplace(id, Entry{name, {}});
  ledger.ownSeqs.insert(id.seq);
  return id;
}

void AddToDelta(const DeltaId& id, const Counts& bytes) {
  Ledger& ledger = TheLedger();
  auto found = ledger.entries.find(id);
  if (found == ledger.entries.end() || bytes.total() == 0) return;
  found->second.counts += bytes;
  SpoolSoon(ledger);
}

const std::string& DeltaUser(const DeltaId& id) {
  static const std::string none;
  auto found = TheLedger().entries.find(id);
  return found == TheLedger().entries.end() ? none : found->second.name;
}

Counts DeltaCounts(const DeltaId& id) {
  auto found = TheLedger().entries.find(id);
  return found == TheLedger().entries.end() ? Counts{} : found->second.counts;
}

void CloseDelta(const DeltaId& id) {
  Ledger& ledger = TheLedger();
  if (ledger.entries.erase(id) == 0) return;
  if (id.owner == ledger.self) ledger.ownSeqs.erase(id.seq);
  SpoolSoon(ledger);
}

CountDeltaId StoreIdOf(const DeltaId& id) {
  Ledger& ledger = TheLedger();
  CountDeltaId stored{};
  std::snprintf(stored.owner, sizeof stored.owner, "%s", id.owner.c_str());
  stored.seq = static_cast<std::int64_t>(id.seq);
  std::uint64_t keepFrom = ledger.nextSeq;
  if (!ledger.ownSeqs.empty()) keepFrom = std::min(keepFrom, *ledger.ownSeqs.begin());
  keepFrom = std::min(keepFrom, ledger.spooledFloor);
  // Another daemon's id (a replay) keeps every record of that daemon until they age out.
  stored.keepFrom = id.owner == ledger.self ? static_cast<std::int64_t>(keepFrom) : 0;
  return stored;
}

std::vector<DeltaId> TakeSpooledDeltas() {
  Ledger& ledger = TheLedger();
  std::vector<DeltaId> taken;
  std::string path;
  if (!SpoolPath(path)) return taken;
  std::ifstream file(path);
  for (std::string line; std::getline(file, line);) {
    std::istringstream fields(line);
    DeltaId id;
    Entry entry;
    if (!(fields >> id.owner >> id.seq >> entry.counts.down >> entry.counts.up) || !id ||
        id.owner == ledger.self || fields.get() != ' ' || !std::getline(fields, entry.name) ||
        entry.name.empty()) {
      continue;  // a line cut short by the kill it was written before
    }
    if (ledger.entries.emplace(id, std::move(entry)).second) taken.push_back(id);
  }
  if (!taken.empty()) SpoolSoon(ledger);
  return taken;
}

void WriteCountSpoolNow() {
  Ledger& ledger = TheLedger();
  ledger.spoolTimer.cancel();
  if (ledger.dirty) WriteSpool(ledger);
  ledger.dirty = false;
}

}  // namespace tarvo
