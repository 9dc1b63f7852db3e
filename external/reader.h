// The user store ("Reader"), as the daemon and the console call it: plain exported functions,
// NUL-terminated strings, one-byte booleans. User names match without regard to letter case.
// Every function may be called from any thread; calls from different threads run at the same
// time on connections of their own (at most ReaderConnectionLimit() open; one call more waits
// for one to come back; a SQLite store, a file on this host, has its calls take turns on one
// connection).
#pragma once

#include <cstdint>

#include "server/common/user_info.h"

// The library is built with hidden visibility; only these functions are its interface.
#define TARVO_READER_API __attribute__((visibility("default")))

extern "C" {

// Opens the store (creating its table on first use). Call once per process, first.
TARVO_READER_API bool InitReader();

// The results of the status functions, which tell a user the store does not have from a store
// that could not answer.
enum ReaderStatus : std::int32_t {
  READER_OK = 0,
  // The store answered and has no such user, or none that can be used: a name that is empty or
  // too long, a sealed password that does not open, unusable arguments.
  READER_NO_USER = 1,
  // The store could not be reached, or a statement failed.
  READER_FAILED = 2,
};

// Fills password (at least 257 bytes), limit, counter and locked; false when no such user.
TARVO_READER_API bool GetUserInfo(const char* name, char* password, std::int64_t* limit,
                                  std::int64_t* counter, std::uint8_t* locked);
// GetUserInfo with a ReaderStatus; the outputs are set only with READER_OK.
TARVO_READER_API std::int32_t GetUserInfoStatus(const char* name, char* password,
                                                std::int64_t* limit, std::int64_t* counter,
                                                std::uint8_t* locked);

// The user as EnumUsers2 lists it: as GetUserInfoStatus, except that a user whose sealed
// password does not open is found, with an empty password, so that it can still be changed,
// locked, reset, and told apart from a name that is free.
TARVO_READER_API std::int32_t FindUserStatus(const char* name, char* password, std::int64_t* limit,
                                             std::int64_t* counter, std::uint8_t* locked);

// Creates the user, or replaces password and limit of an existing one (counter and lock stay).
// storeEncryptedPwd 1 keeps the password encrypted at rest, 0 as plain text.
TARVO_READER_API bool SetUserInfo(const char* name, const char* password, std::int64_t limit,
                                  std::uint8_t storeEncryptedPwd);

// Removes the user and its policy.
TARVO_READER_API bool DeleteUser(const char* name);
TARVO_READER_API bool LockUser(const char* name, std::uint8_t lock);
// Zeroes the counter, and the download and upload counters of the user's policy with it.
TARVO_READER_API bool ResetUser(const char* name);
TARVO_READER_API void SetUserCount(const char* name, std::int64_t counter);

// Adds delta (0 or more) to the stored counter inside the database, so that daemons sharing one
// store never overwrite each other's counts, and puts the resulting counter in *counter. A sum
// past the largest 64-bit value stays at that value. False: no such user, or the store failed.
TARVO_READER_API bool AddUserCount(const char* name, std::int64_t delta, std::int64_t* counter);
// AddUserCount with a ReaderStatus. After READER_FAILED the addition may or may not have been
// made (a connection lost after the commit was sent); it is never made twice by one call.
TARVO_READER_API std::int32_t AddUserCountStatus(const char* name, std::int64_t delta,
                                                 std::int64_t* counter);

// Writes at most tarvo::kMaxEnumeratedUsers records; returns how many, or -1 on failure.
TARVO_READER_API std::int32_t EnumUsers2(tarvo::UserInfo* users);

// A user without its password, as VisitUserPage gives each.
using ReaderUserVisitor = void (*)(void* context, const char* name, std::int64_t limit,
                                   std::int64_t counter, std::uint8_t locked);

// A page of the users (no passwords) whose name contains search, any letter case, ordered by
// sort: 0 name, 1 limit, 2 counter, 3 locked (then by name), descending when asked; visit gets
// at most limit of them from offset on. How many match in all, or -1 when the store failed.
TARVO_READER_API std::int64_t VisitUserPage(const char* search, std::int32_t sort,
                                            std::uint8_t descending, std::int64_t offset,
                                            std::int64_t limit, ReaderUserVisitor visit,
                                            void* context);

// How many calls may run at once: 1 for a SQLite store, more for a store across a network.
// Known once InitReader succeeded.
TARVO_READER_API std::int32_t ReaderConnectionLimit();
// Statements this process has sent to the store, each a round trip.
TARVO_READER_API std::uint64_t ReaderStatementCount();
}
