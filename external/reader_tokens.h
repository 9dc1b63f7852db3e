// The management API's tokens, kept by the user store in ApiTokenTable (created on first use):
// a name, a role and the hex SHA-256 of the secret, never the secret. Every daemon sharing one
// store accepts the same tokens, and a token revoked through one is refused by all.
#pragma once

#include <cstdint>

#include "external/reader.h"

extern "C" {

struct ApiTokenRow {
  char name[65];
  char role[17];
  char hash[65];
  std::int64_t created;  // seconds since the epoch
};

// READER_OK when added; READER_NO_USER when a token of that name exists; READER_FAILED.
TARVO_READER_API std::int32_t AddApiToken(const ApiTokenRow* row);
// READER_OK when removed; READER_NO_USER when there was none; READER_FAILED.
TARVO_READER_API std::int32_t RemoveApiToken(const char* name);
// Calls visit for each token, by name; false when the store could not be read.
TARVO_READER_API bool VisitApiTokens(void* context, void (*visit)(void*, const ApiTokenRow*));
// READER_OK with the token whose hash this is; READER_NO_USER when none; READER_FAILED.
TARVO_READER_API std::int32_t FindApiToken(const char* hash, ApiTokenRow* row);
}
