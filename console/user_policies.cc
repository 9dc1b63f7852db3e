#include "console/user_policies.h"

#include <cstring>
#include <ctime>
#include <memory>

#include "admin/policy_options.h"
#include "console/user_names.h"

namespace tarvo {

std::optional<std::vector<std::pair<QString, UserPolicy>>> ReadNamedUserPolicies() {
  // Left uninitialised: the store writes what it returns.
  std::unique_ptr<UserPolicyEntry[]> entries(new UserPolicyEntry[kMaxEnumeratedUsers]);
  const std::int32_t count = EnumUserPolicies(entries.get());
  if (count < 0) return std::nullopt;
  std::vector<std::pair<QString, UserPolicy>> policies;
  policies.reserve(static_cast<std::size_t>(count));
  for (std::int32_t i = 0; i < count; ++i) {
    const UserPolicyEntry& entry = entries[i];
    const QString name = QString::fromUtf8(
        entry.name, static_cast<qsizetype>(strnlen(entry.name, sizeof entry.name)));
    policies.emplace_back(name, entry.policy);
  }
  return policies;
}

std::optional<QHash<QString, UserPolicy>> ReadUserPolicies() {
  const auto named = ReadNamedUserPolicies();
  if (!named) return std::nullopt;
  QHash<QString, UserPolicy> policies;
  policies.reserve(static_cast<qsizetype>(named->size()));
  for (const auto& [name, policy] : *named) policies.insert(UserNameKey(name), policy);
  return policies;
}

bool StoreUserPolicy(const QString& name, const UserPolicy& wanted) {
  const QByteArray key = name.toUtf8();
  UserPolicy stored{};
  if (GetUserPolicyStatus(key.constData(), &stored) != READER_OK) return false;
  const UserPolicy policy = adm::PolicyToWrite(stored, wanted, std::time(nullptr));
  return SetUserPolicyStatus(key.constData(), &policy) == READER_OK;
}

}  // namespace tarvo
