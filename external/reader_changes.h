// Changes to a user made through any process sharing a PostgreSQL store are announced on the
// store's channel kUserChangeChannel (LISTEN/NOTIFY), the payload the user's name key (the
// ASCII lower-cased name): a lock, delete, reset, new limit or password, or policy. Additions
// to the counters are not announced. Stores other than PostgreSQL announce nothing.
#pragma once

#include <cstdint>

#include "external/reader.h"

inline constexpr char kUserChangeChannel[] = "tarvo_user_changed";

extern "C" {

// The libpq connection string of the store's database (host, port, database, user, and a
// password the ODBC connection string gave), taken from the server itself, for a listener on
// kUserChangeChannel. False when the store is not PostgreSQL or does not answer; out is
// NUL-terminated and at most size bytes.
TARVO_READER_API bool ReaderChangeListenerConninfo(char* out, std::int32_t size);
}
