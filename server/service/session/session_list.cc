#include "server/service/session/session_list.h"

#include <algorithm>

#include "server/service/session/user_socket.h"

namespace tarvo {

namespace {

std::vector<UserSocket*>& List() {
  static std::vector<UserSocket*> list;
  return list;
}

}  // namespace

const std::vector<UserSocket*>& Sessions() { return List(); }

void AddSession(UserSocket* session) { List().push_back(session); }

void RemoveSession(UserSocket* session) {
  auto& list = List();
  auto found = std::find(list.begin(), list.end(), session);
  if (found != list.end()) list.erase(found);
}

UserSocket* FindSession(std::uint32_t address, std::uint32_t sessionId) {
  for (UserSocket* session : List()) {
    if (session->peerAddress() == address && session->sessionId() == sessionId) return session;
  }
  return nullptr;
}

UserSocket* FindSessionByName(std::string_view name) {
  for (UserSocket* session : List()) {
    if (SameUserName(session->userName(), name)) return session;
  }
  return nullptr;
}

bool SessionIdInUse(std::uint32_t sessionId) {
  return std::any_of(List().begin(), List().end(),
                     [&](const UserSocket* s) { return s->sessionId() == sessionId; });
}

RelayHost* FindSessionRelays(std::uint32_t address, std::uint32_t sessionId,
                             std::string_view name) {
  for (UserSocket* session : List()) {
    if (session->peerAddress() == address && session->sessionId() == sessionId &&
        SameUserName(session->userName(), name)) {
      return session;
    }
  }
  return nullptr;
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
