// A user as the store holds it, with its policy and counters, read and shown the same way by
// tarvoadm and tarvostore.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

#include "external/reader_policy.h"

namespace tarvo::adm {

struct StoredUser {
  std::string name;
  std::int64_t limit = 0;
  std::int64_t counter = 0;
  bool locked = false;
  UserPolicy policy{};
};

// A ReaderStatus: READER_OK with user filled, READER_NO_USER, READER_FAILED.
std::int32_t ReadStoredUser(const std::string& name, StoredUser& user);

// Every field, one "key: value" line each; rates and times both ways people read them.
std::string StoredUserText(const StoredUser& user);
// Every field as numbers (bytes, bytes per second, seconds since the epoch) and names.
nlohmann::json StoredUserJson(const StoredUser& user);
nlohmann::json PolicyJson(const UserPolicy& policy);

}  // namespace tarvo::adm
