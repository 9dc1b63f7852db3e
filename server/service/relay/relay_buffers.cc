#include "server/service/relay/relay_buffers.h"

#include <unordered_map>
#include <utility>

#include "server/common/user_name.h"

namespace tarvo {

namespace {

struct Grants {
  std::unordered_map<std::string, int> byUser;
  int inAll = 0;
};

Grants& TheGrants() {
  static Grants grants;
  return grants;
}

}  // namespace

WideGrant::WideGrant(std::string userName) : key_(FoldUserName(userName)) {}

WideGrant::~WideGrant() {
  if (!held_) return;
  Grants& grants = TheGrants();
  --grants.inAll;
  auto found = grants.byUser.find(key_);
  if (--found->second == 0) grants.byUser.erase(found);
}

bool WideGrant::take() {
  if (held_) return true;
  Grants& grants = TheGrants();
  if (grants.inAll >= kWideRelaysInAll) return false;
  int& mine = grants.byUser[key_];
  if (mine >= kWideRelaysPerUser) return false;
  ++mine;
  ++grants.inAll;
  held_ = true;
  return true;
}

}  // namespace tarvo
