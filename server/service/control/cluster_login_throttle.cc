#include "server/service/control/cluster_login_throttle.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <sstream>
#include <string>
#include <utility>

#include "server/service/control/cluster_channels.h"
#include "server/service/net/network_loop.h"
#include "server/service/policy/login_guard.h"

namespace tarvo {
namespace {

constexpr char kChannel[] = "tarvo_wrong_proofs";
// More than any rule counts within its window: a larger figure in a note changes nothing more.
constexpr std::size_t kMostCountedPerKey = 1000;

// A name guessed at, or none: an unknown session id, counted for the address as a whole.
struct Key {
  std::uint32_t address = 0;
  bool named = false;
  std::string user;
  auto operator<=>(const Key&) const = default;
};

// Wrong proofs gathered since the last note. Never destroyed: the loop may outlive main's
// statics.
struct Gathered {
  std::map<Key, std::size_t> counts;
  NetworkTimer timer;
};
Gathered& Batch() {
  static auto* batch = new Gathered;
  return *batch;
}

// One line per key: "ADDRESS COUNT" for unknown session ids, "ADDRESS COUNT =NAME" for a name.
void SendBatch() {
  std::string payload;
  for (const auto& [key, count] : Batch().counts) {
    char address[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &key.address, address, sizeof address);
    std::string line = std::string(address) + " " + std::to_string(count);
    if (key.named) line += " =" + EscapeClusterWord(key.user);
    line += "\n";
    if (payload.size() + line.size() > kClusterPayloadBytes) {
      PublishOnCluster(kChannel, std::move(payload));
      payload.clear();
    }
    payload += line;
  }
  Batch().counts.clear();
  if (!payload.empty()) PublishOnCluster(kChannel, std::move(payload));
}

void Gather(std::uint32_t address, const std::string* user) {
  Gathered& batch = Batch();
  Key key{address, user != nullptr, user != nullptr ? *user : std::string()};
  auto found = batch.counts.find(key);
  if (found != batch.counts.end()) {
    found->second = std::min(found->second + 1, kMostCountedPerKey);
  } else if (batch.counts.size() < kThrottleBatchKeys) {
    batch.counts.emplace(std::move(key), 1);
  }
  if (!batch.timer.armed()) batch.timer.arm(kThrottleBatch, SendBatch);
}

void TakeNote(const std::string& payload, std::int32_t) {
  std::istringstream lines(payload);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string address, named, name;
    std::size_t count = 0;
    if (!(fields >> address >> count)) continue;
    fields >> named;
    in_addr parsed{};
    if (::inet_pton(AF_INET, address.c_str(), &parsed) != 1) continue;
    if (!named.empty() && (named[0] != '=' || !UnescapeClusterWord(named.substr(1), name))) {
      continue;
    }
    NoteRemoteWrongProofs(parsed.s_addr, named.empty() ? nullptr : &name,
                          std::min(count, kMostCountedPerKey));
  }
}

}  // namespace

void ShareLoginThrottle() {
  RegisterClusterChannel(kChannel, TakeNote, [] { SetWrongProofSink(Gather); });
}

}  // namespace tarvo
