// A running TarvoServer for session tests: its own home, a free loopback port, chosen
// settings, users made with the tarvostore tool, and readers for its audit and message files.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "client/tarvo_client_lib.h"
#include "server/service/base/settings.h"
#include "tests/daemon_process.h"

namespace tarvo::test {

inline constexpr int kIoTimeoutMs = 5000;

// Settings with auditing on (AuditType 1) and MultiConnect as given.
ServerSettingsRecord AuditedSettings(bool multiConnect = false);

class TestDaemon {
 public:
  // Starts the daemon with these settings (the port is chosen here), extra environment and
  // files (name, content) written into its home first. Check started().
  explicit TestDaemon(ServerSettingsRecord settings = AuditedSettings(),
                      const std::vector<std::pair<std::string, std::string>>& env = {},
                      const std::vector<std::pair<std::string, std::string>>& homeFiles = {});
  ~TestDaemon();

  bool started() const { return started_; }
  std::uint16_t port() const { return static_cast<std::uint16_t>(port_); }
  DaemonProcess& process() { return *process_; }
  const std::string& home() const { return home_.path(); }

  // Runs tarvostore with these arguments against this daemon's home; true on exit status 0.
  bool store(const std::vector<std::string>& arguments) const;
  bool addUser(const std::string& name, const std::string& password, long long limit = 0) const;
  // The user's counter as the store holds it (tarvostore list), or -1.
  std::int64_t storedCounter(const std::string& name) const;

  std::string readFile(const std::string& name) const;
  // The audit rows, each without the date and time fields and the line end.
  std::vector<std::string> auditRows() const;
  std::vector<std::string> messageLines() const;

 private:
  // Runs tarvostore; its standard output goes to the file out when given.
  bool runStoreTool(const std::vector<std::string>& arguments, const char* out) const;

  TempDir home_;
  int port_ = 0;
  std::unique_ptr<DaemonProcess> process_;
  bool started_ = false;
};

// Waits, in 10 ms steps and at most timeoutMs, until condition holds.
bool WaitUntil(const std::function<bool()>& condition, int timeoutMs = kIoTimeoutMs);

// A session that has read its Hello.
bool OpenSession(client::SessionClient& session, const TestDaemon& daemon,
                 const std::string& version = "2.0.5");

// Raw connection to the daemon.
bool ConnectRaw(client::Socket& socket, const TestDaemon& daemon);
// Reads until exactly count bytes have arrived (or fails).
bool ReadExactly(client::Socket& socket, ByteBuffer& into, std::size_t count,
                 int timeoutMs = kIoTimeoutMs);
// True when the daemon closes the connection within timeoutMs (bytes before the end are read
// and dropped).
bool ClosedByPeer(client::Socket& socket, int timeoutMs = kIoTimeoutMs);
// True when nothing arrives and the connection stays open for waitMs.
bool StaysQuiet(client::Socket& socket, int waitMs);
// Reads what the daemon sends on the session until it closes it; false when it stays open.
bool EndedByDaemon(client::SessionClient& session);

std::vector<std::uint8_t> ByteList(std::initializer_list<unsigned> values);
std::vector<std::uint8_t> SessionOpening(const std::string& version);

}  // namespace tarvo::test
