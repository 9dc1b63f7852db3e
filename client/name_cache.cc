#include "client/name_cache.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>

#include "client/tunnel_session.h"

namespace tarvo::client {
namespace {

std::string Key(const std::string& name) {
  std::string key = name;
  std::transform(key.begin(), key.end(), key.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return key;
}

}  // namespace

NameCache::~NameCache() {
  for (auto& [key, pending] : pending_) loop_.cancelTimer(pending.timer);
}

bool NameCache::lookup(const std::string& name, bool& found, std::uint32_t& address,
                       Callback done) {
  in_addr literal{};
  if (inet_pton(AF_INET, name.c_str(), &literal) == 1) {
    found = true;
    address = literal.s_addr;
    return true;
  }
  const std::string key = Key(name);
  if (auto hit = entries_.find(key); hit != entries_.end()) {
    if (hit->second.expires > std::chrono::steady_clock::now()) {
      found = hit->second.found;
      address = hit->second.address;
      return true;
    }
    entries_.erase(hit);
  }
  if (auto asked = pending_.find(key); asked != pending_.end()) {
    asked->second.waiters.push_back(std::move(done));
    return false;
  }
  if (name.size() > kMaxNameLength || pending_.size() >= kMaxPendingNames ||
      !tunnel_.sendResolve(name)) {
    found = false;
    address = 0;
    return true;
  }
  Pending& pending = pending_[key];
  pending.waiters.push_back(std::move(done));
  pending.timer = loop_.addTimer(std::chrono::duration_cast<std::chrono::milliseconds>(kAnswerWait),
                                 [this, key] {
                                   pending_[key].timer = 0;
                                   store(key, false, 0);
                                   finish(key, false, 0);
                                 });
  return false;
}

void NameCache::onAnswer(std::uint32_t address, const std::string& name) {
  const std::string key = Key(name);
  // Only names we asked for enter the table: the daemon cannot fill it with others.
  auto asked = pending_.find(key);
  if (asked == pending_.end()) return;
  loop_.cancelTimer(asked->second.timer);
  store(key, true, address);
  finish(key, true, address);
}

void NameCache::onSessionLost() {
  std::vector<std::string> keys;
  for (auto& [key, pending] : pending_) {
    loop_.cancelTimer(pending.timer);
    keys.push_back(key);
  }
  for (const std::string& key : keys) finish(key, false, 0);
}

void NameCache::store(const std::string& key, bool found, std::uint32_t address) {
  const auto now = std::chrono::steady_clock::now();
  if (entries_.size() >= kMaxEntries) {
    std::erase_if(entries_, [now](const auto& item) { return item.second.expires <= now; });
    // Still full: drop the entry closest to its end.
    if (entries_.size() >= kMaxEntries) {
      entries_.erase(std::min_element(entries_.begin(), entries_.end(), [](auto& a, auto& b) {
        return a.second.expires < b.second.expires;
      }));
    }
  }
  entries_[key] = {found, address, now + (found ? kKeepFound : kKeepMissing)};
}

void NameCache::finish(const std::string& key, bool found, std::uint32_t address) {
  auto asked = pending_.find(key);
  if (asked == pending_.end()) return;
  std::vector<Callback> waiters = std::move(asked->second.waiters);
  pending_.erase(asked);
  for (Callback& waiter : waiters) waiter(found, address);
}

}  // namespace tarvo::client
