// tarvoadm user show NAME, and the policy options of user add and set: these go straight to the
// user store, which every daemon sharing it reads at the user's next login or counter store.
#include <ctime>

#include "admin/stored_user.h"
#include "admin/tarvoadm/command.h"
#include "platform/home.h"

namespace tarvo::adm {

namespace {

int StoreFailed(const Context& context) {
  return Fail(context, kRefused, "the user store did not answer");
}

}  // namespace

std::optional<int> OpenStore(Context& context) {
  if (InitReader()) return std::nullopt;
  return Fail(context, kRefused,
              "cannot open the user store (TARVO_STORE, else the data source VPN, else the "
              "SQLite file in " +
                  HomeDirectory() + ")");
}

std::optional<int> CheckPolicyChange(Context& context, const std::string& name,
                                     const PolicyChange& change) {
  UserPolicy policy{};
  switch (GetUserPolicyStatus(name.c_str(), &policy)) {
    case READER_OK:
      break;
    case READER_NO_USER:
      return Fail(context, kRefused, "no user '" + name + "'");
    default:
      return StoreFailed(context);
  }
  if (std::string problem = ApplyPolicyChange(change, std::time(nullptr), policy);
      !problem.empty()) {
    return UsageError(context, problem);
  }
  return std::nullopt;
}

int WritePolicy(Context& context, const std::string& name, const PolicyChange& change,
                const std::string& done) {
  // Read just before the write: the period start a daemon may have moved meanwhile is kept.
  UserPolicy policy{};
  std::int32_t status = GetUserPolicyStatus(name.c_str(), &policy);
  if (status == READER_OK) {
    if (std::string problem = ApplyPolicyChange(change, std::time(nullptr), policy);
        !problem.empty()) {
      return UsageError(context, problem);
    }
    status = SetUserPolicyStatus(name.c_str(), &policy);
  }
  if (status == READER_NO_USER) return Fail(context, kRefused, "no user '" + name + "'");
  if (status != READER_OK) return StoreFailed(context);
  StoredUser user;
  if (ReadStoredUser(name, user) != READER_OK) return StoreFailed(context);
  return Done(context, done + "\n" + StoredUserText(user), StoredUserJson(user));
}

int ShowUser(Context& context, const std::string& name) {
  StoredUser user;
  switch (ReadStoredUser(name, user)) {
    case READER_OK:
      return Done(context, StoredUserText(user), StoredUserJson(user));
    case READER_NO_USER:
      return Fail(context, kRefused, "no user '" + name + "'");
    default:
      return StoreFailed(context);
  }
}

}  // namespace tarvo::adm
