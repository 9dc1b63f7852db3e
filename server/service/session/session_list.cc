#include "server/service/session/session_list.h"

#include <algorithm>
#include <unordered_map>

#include "server/service/session/user_socket.h"

namespace tarvo {

namespace {

std::vector<UserSocket*>& List() {
  static std::vector<UserSocket*> list;
  return list;
}

// The same sessions by id: a data connection or a new login looks one up without walking ten
// thousand sessions. A multimap, as two logins may draw one id at the same moment.
std::unordered_multimap<std::uint32_t, UserSocket*>& ById() {
  static std::unordered_multimap<std::uint32_t, UserSocket*> index;
  return index;
}

template <typename Match>
UserSocket* FindById(std::uint32_t sessionId, Match match) {
  auto [first, last] = ById().equal_range(sessionId);
  for (auto it = first; it != last; ++it) {
    if (match(it->second)) return it->second;
  }
  return nullptr;
}

}  // namespace

const std::vector<UserSocket*>& Sessions() { return List(); }

void AddSession(UserSocket* session) {
  List().push_back(session);
  ById().emplace(session->sessionId(), session);
}

void RemoveSession(UserSocket* session) {
  auto& list = List();
  auto found = std::find(list.begin(), list.end(), session);
  if (found == list.end()) return;
  list.erase(found);
  auto [first, last] = ById().equal_range(session->sessionId());
  for (auto it = first; it != last; ++it) {
    if (it->second == session) {
      ById().erase(it);
      break;
    }
  }
}

UserSocket* FindSession(std::uint32_t address, std::uint32_t sessionId) {
  return FindById(sessionId, [&](UserSocket* s) { return s->peerAddress() == address; });
}

bool SessionIdInUse(std::uint32_t sessionId) { return ById().count(sessionId) != 0; }

RelayHost* FindSessionRelays(std::uint32_t address, std::uint32_t sessionId,
                             std::string_view name) {
  return FindById(sessionId, [&](UserSocket* s) {
    return s->peerAddress() == address && SameUserName(s->userName(), name);
  });
}

void EndEverySession() {
  const std::vector<UserSocket*> ending = List();  // each leaves the list as it ends
  for (UserSocket* session : ending) session->end();
}

void DeleteAllSessions() {
  // Each session takes itself out of the list as it is deleted.
  while (!List().empty()) delete List().front();
}

}  // namespace tarvo
