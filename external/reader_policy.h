// Per-user policy, kept by the user store in UserPolicyTable beside UsersTable (keyed the same
// way, created on first use): speed limits, a quota period, the download and upload counters,
// a cap on simultaneous sessions and an expiry. A user without a policy row has the empty
// policy, which changes nothing: no rates, the lifetime counter, MultiConnect's rule, no expiry.
// Every daemon sharing one store reads the same rows, so they all apply the same policy.
//
// Times are seconds since the epoch; periods follow the local calendar of the calling process.
#pragma once

#include <cstdint>

#include "external/reader.h"
#include "server/common/user_info.h"

extern "C" {

enum PolicyPeriod : std::int32_t {
  POLICY_PERIOD_NONE = 0,  // the counter is a lifetime total, as without a policy
  POLICY_PERIOD_DAILY = 1,
  POLICY_PERIOD_WEEKLY = 2,
  POLICY_PERIOD_MONTHLY = 3,
};

enum PolicyProtocol : std::int32_t {
  POLICY_PROTOCOL_ANY = 0,      // the daemon's rule ([ProtocolV1]) alone
  POLICY_PROTOCOL_V2_ONLY = 1,  // a designed-protocol login of the user is refused
};

struct UserPolicy {
  std::int64_t rateDown;     // bytes per second toward the client; 0: unlimited
  std::int64_t rateUp;       // bytes per second from the client; 0: unlimited
  std::int32_t period;       // PolicyPeriod
  std::int32_t maxSessions;  // simultaneous sessions on one daemon; 0: as MultiConnect says
  // One instant at which a period begins; the period repeats its local time of day (daily),
  // also its weekday (weekly) or its day of the month (monthly; a day the month lacks is its
  // last day).
  std::int64_t periodAnchor;
  // Start of the period the counters belong to. Only BeginUserPeriodStatus moves it forward.
  std::int64_t periodStart;
  std::int64_t expires;  // logins after this instant are refused as for a locked user; 0: never
  // Bytes toward and from the client. The design's counter is their sum (plus whatever it held
  // before the user had a policy row).
  std::int64_t bytesDown;
  std::int64_t bytesUp;
  std::int32_t protocol;  // PolicyProtocol
};

struct UserPolicyEntry {
  char name[tarvo::kUserNameSize];
  UserPolicy policy;
};

// The start of the period that contains at (at itself when it is a boundary); 0 for
// POLICY_PERIOD_NONE or an unusable period.
TARVO_READER_API std::int64_t PolicyPeriodStart(std::int32_t period, std::int64_t anchor,
                                                std::int64_t at);
// The first boundary after at; 0 for POLICY_PERIOD_NONE or an unusable period.
TARVO_READER_API std::int64_t PolicyNextPeriodStart(std::int32_t period, std::int64_t anchor,
                                                    std::int64_t at);

// READER_OK with *policy filled (the empty policy when the user has no row), READER_NO_USER
// when there is no such user, READER_FAILED when the store could not answer.
TARVO_READER_API std::int32_t GetUserPolicyStatus(const char* name, UserPolicy* policy);

// Writes every field but the counters, which stay as they are. READER_NO_USER when there is no
// such user or a field is out of range (negative rates, caps or times, an unknown period).
TARVO_READER_API std::int32_t SetUserPolicyStatus(const char* name, const UserPolicy* policy);

// Adds down and up (0 or more, saturating) to the user's counters and their sum to the design's
// counter, in one transaction, and reads back the counter and the policy. Never made twice by
// one call: after READER_FAILED the addition may or may not have been made.
TARVO_READER_API std::int32_t AddUserCountsStatus(const char* name, std::int64_t down,
                                                  std::int64_t up, std::int64_t* counter,
                                                  UserPolicy* policy);

// Begins the period that contains now, if the stored one is older: one conditional update sets
// the period start and zeroes the counters, the design's counter included, so that of several
// daemons crossing the same boundary exactly one resets it (*began 1 for that one). Reads back
// the counter and the policy either way. READER_OK also when nothing was due.
TARVO_READER_API std::int32_t BeginUserPeriodStatus(const char* name, std::int64_t now,
                                                    std::uint8_t* began, std::int64_t* counter,
                                                    UserPolicy* policy);

// A user's row and policy: what a login checks, and what the daemon keeps copies of.
struct UserState {
  std::int64_t limit;
  std::int64_t counter;
  std::uint8_t locked;
  UserPolicy policy;
  char name[tarvo::kUserNameSize];  // as stored, whatever letter case it was asked in
};

// The login's read in one statement: password as GetUserInfoStatus fills it, row and policy
// (the empty policy without a row). READER_NO_USER as for GetUserInfoStatus.
TARVO_READER_API std::int32_t GetUserStateStatus(const char* name, char* password,
                                                 UserState* state);

struct UserStateEntry {
  char name[tarvo::kUserNameSize];  // asked for
  std::int32_t status;              // READER_OK with state filled, or READER_NO_USER
  UserState state;
};

// Many users' rows and policies, one statement for each 250 of them. READER_OK when every
// entry's status was set, READER_FAILED when the store could not answer.
TARVO_READER_API std::int32_t GetUserStatesStatus(UserStateEntry* entries, std::int32_t count);

// AddUserCountsStatus that reads back the whole user: password (nullptr: not wanted; a sealed
// one that does not open reads as empty), row and policy. One statement on PostgreSQL; a
// transaction of a few elsewhere.
TARVO_READER_API std::int32_t AddUserCountsReadStatus(const char* name, std::int64_t down,
                                                      std::int64_t up, char* password,
                                                      UserState* state);

// The id of one addition of counts: its sender (a name of at most 63 characters, unique to the
// sending process) and the sender's number for it. keepFrom is the lowest number the sender may
// still send again (at most seq): the store forgets the sender's lower ones.
struct CountDeltaId {
  char owner[64];
  std::int64_t seq;
  std::int64_t keepFrom;
};

// AddUserCountsReadStatus made at most once per id: an id the store has seen before adds
// nothing and reads the user back, so an addition whose answer was lost can be sent again.
TARVO_READER_API std::int32_t AddUserCountsOnceStatus(const char* name, std::int64_t down,
                                                      std::int64_t up, const CountDeltaId* id,
                                                      char* password, UserState* state);

// Writes at most tarvo::kMaxEnumeratedUsers entries, one per user in name order (the empty
// policy for users without a row); returns how many, or -1 on failure.
TARVO_READER_API std::int32_t EnumUserPolicies(UserPolicyEntry* entries);
}
