// The users page's reads and writes of per-user policy, which go straight to the user store as
// tarvoadm's do (the control channel has no records for it).
#pragma once

#include <QHash>
#include <QString>
#include <optional>
#include <utility>
#include <vector>

#include "external/reader_policy.h"

namespace tarvo {

// Every user's policy and counters, keyed by UserNameKey; nothing when the store failed.
std::optional<QHash<QString, UserPolicy>> ReadUserPolicies();
// The same, each under its name as stored, in the store's name order.
std::optional<std::vector<std::pair<QString, UserPolicy>>> ReadNamedUserPolicies();

// Writes wanted, made from the policy the store gave earlier. The period start is taken from a
// fresh read, so that one a daemon moved meanwhile is not moved back. False when it failed.
bool StoreUserPolicy(const QString& name, const UserPolicy& wanted);

}  // namespace tarvo
