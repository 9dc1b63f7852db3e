// Console requests as the control listener hands them over: any code, any flag, and a request
// area of random bytes (exactly the page the daemon maps, on the heap here so that a read past
// it is caught), dispatched to the real handlers over a real SQLite user store in a temporary
// home. No daemon runs: the network lock is free and the session list is empty, so this finds
// what the request-area readers and the handlers do with hostile arguments.
#include <fuzzer/FuzzedDataProvider.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "external/reader.h"
#include "fuzz/fuzz_check.h"
#include "server/common/control_records.h"
#include "server/service/control/control_listener.h"
#include "server/service/base/settings.h"

using namespace tarvo;

namespace {

std::string Home;
ControlConnection* Connection = nullptr;

void RemoveHome() {
  std::error_code ignored;
  if (!Home.empty()) std::filesystem::remove_all(Home, ignored);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char pattern[] = "/tmp/tarvo-fuzz-control-XXXXXX";
  FUZZ_CHECK(::mkdtemp(pattern) != nullptr);
  Home = pattern;
  std::atexit(RemoveHome);
  ::setenv("TARVO_HOME", Home.c_str(), 1);
  ::setenv("TARVO_RUNTIME_DIR", Home.c_str(), 1);  // no console listens there
  ::unsetenv("TARVO_STORE");
  // Keep the machine's data sources out: empty user and system ODBC lists.
  std::ofstream(Home + "/odbc.ini").flush();
  std::ofstream(Home + "/odbcinst.ini").flush();
  ::setenv("ODBCINI", (Home + "/odbc.ini").c_str(), 1);
  ::setenv("ODBCSYSINI", Home.c_str(), 1);
  FUZZ_CHECK(InitReader());
  Connection = new ControlConnection();
  FUZZ_CHECK(SharedSection::Create(kReplyAreaSize, kReplyAreaSize, Connection->replyArea));
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  // Code and flag from the end of the input; the request area from its front.
  const std::uint32_t code = input.ConsumeIntegralInRange<std::uint32_t>(0, 15);
  const std::uint32_t flag = input.ConsumeIntegral<std::uint8_t>() & 1;
  auto area = std::make_unique<std::uint8_t[]>(kRequestViewSize);
  std::vector<std::uint8_t> bytes = input.ConsumeRemainingBytes<std::uint8_t>();
  std::copy_n(bytes.begin(), std::min(bytes.size(), kRequestViewSize), area.get());

  if (code == CTL_SET_SETTINGS) {
    // A new port would make the handler bind a listening socket on the machine: keep it.
    std::int32_t port = ServerSettings.ServerPort;
    std::memcpy(area.get() + offsetof(SettingsRecord, ServerPort), &port, sizeof port);
  }
  std::uint8_t before[sizeof(UserInfo)];
  std::memcpy(before, area.get(), sizeof before);

  ControlMessage request = MakeControlRequest(code, flag);
  PortMessage message = ToPortMessage(request);
  DispatchControlRequest(message, *Connection, area.get(), kRequestViewSize);
  const ControlMessage reply = ToControlMessage(message);

  FUZZ_CHECK(reply.code == code);
  if ((code >= CTL_ADD_USER && code <= CTL_RESET_COUNTER) || code == CTL_SET_LOCK) {
    FUZZ_CHECK(reply.status == CTL_OK || reply.status == CTL_EXISTS ||
               reply.status == CTL_NOT_FOUND || reply.status == CTL_FAILED);
  }
  // Only requests 4-6 and 14 write back into the area, and only the UserInfo at its start.
  const bool writesBack = code == CTL_UPDATE_USER || code == CTL_TOGGLE_LOCK ||
                          code == CTL_RESET_COUNTER || code == CTL_SET_LOCK;
  if (!writesBack || reply.status != CTL_OK) {
    FUZZ_CHECK(std::memcmp(before, area.get(), sizeof before) == 0);
  } else {
    const auto* r = reinterpret_cast<const UserInfo*>(area.get());
    FUZZ_CHECK(strnlen(r->name, sizeof r->name) < sizeof r->name);
    FUZZ_CHECK(strnlen(r->password, sizeof r->password) < sizeof r->password);
  }
  if (code == CTL_ENUM_USERS && reply.status == CTL_OK) {
    FUZZ_CHECK(reply.value <= kMaxEnumeratedUsers);
  }
  if (code == CTL_GET_SETTINGS) {
    const auto* record = static_cast<const SettingsRecord*>(Connection->replyArea.base());
    FUZZ_CHECK(strnlen(record->MinClientVersion, sizeof record->MinClientVersion) <
               sizeof record->MinClientVersion);
  }
  return 0;
}
