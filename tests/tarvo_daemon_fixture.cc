#include "tests/tarvo_daemon_fixture.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "server/common/session_protocol.h"

extern char** environ;

namespace tarvo::test {

ServerSettingsRecord AuditedSettings(bool multiConnect) {
  ServerSettingsRecord settings;
  settings.AuditType = 1;
  settings.MultiConnect = multiConnect;
  return settings;
}

TestDaemon::TestDaemon(ServerSettingsRecord settings,
                       const std::vector<std::pair<std::string, std::string>>& env,
                       const std::vector<std::pair<std::string, std::string>>& homeFiles) {
  port_ = FreeLoopbackPort();
  settings.ServerPort = port_;
  if (!SaveSettingsFile(home_.path() + "/" + kSettingsFileName, settings)) return;
  for (const auto& [name, content] : homeFiles) {
    std::ofstream file(home_.path() + "/" + name, std::ios::binary);
    if (!(file << content) || !file.flush()) return;
  }
  process_ = std::make_unique<DaemonProcess>(home_.path());
  for (const auto& [name, value] : env) process_->setEnv(name, value);
  started_ = process_->start() && process_->waitReady();
}

TestDaemon::~TestDaemon() {
  // Every test ends with a clean stop, so a sanitizer report or a crash in the daemon fails it.
  if (!process_ || !process_->running()) return;
  std::optional<int> status = process_->stop(SIGTERM);
  EXPECT_EQ(status, 0) << process_->stderrText();
}

bool TestDaemon::store(const std::vector<std::string>& arguments) const {
  return runStoreTool(arguments, nullptr);
}

std::int64_t TestDaemon::storedCounter(const std::string& name) const {
  const std::string out = home_.path() + "/.tarvostore-list";
  if (!runStoreTool({"list"}, out.c_str())) return -1;
  std::ifstream file(out);
  const std::string prefix = name + "\tlimit=";
  for (std::string line; std::getline(file, line);) {
    if (line.rfind(prefix, 0) != 0) continue;
    const std::size_t at = line.find("\tcounter=");
    if (at != std::string::npos) return std::stoll(line.substr(at + 9));
  }
  return -1;
}

bool TestDaemon::runStoreTool(const std::vector<std::string>& arguments, const char* out) const {
  std::vector<std::string> envText;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry = *e;
    if (entry.rfind("TARVO_HOME=", 0) != 0 && entry.rfind("TARVO_STORE=", 0) != 0) {
      envText.push_back(entry);
    }
  }
  envText.push_back("TARVO_HOME=" + home_.path());
  std::vector<char*> env;
  for (auto& entry : envText) env.push_back(entry.data());
  env.push_back(nullptr);

  std::string tool = TARVO_STORE_TOOL_PATH;
  std::vector<std::string> argText{tool};
  argText.insert(argText.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (auto& arg : argText) argv.push_back(arg.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (out != nullptr) {
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out, O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
  }
  pid_t pid = 0;
  const int spawned =
      ::posix_spawn(&pid, tool.c_str(), &actions, nullptr, argv.data(), env.data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return false;
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid) return false;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool TestDaemon::addUser(const std::string& name, const std::string& password,
                         long long limit) const {
  return store({"add", name, password, std::to_string(limit)});
}

std::string TestDaemon::readFile(const std::string& name) const {
  std::ifstream file(home_.path() + "/" + name, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

namespace {

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  return lines;
}

}  // namespace

std::vector<std::string> TestDaemon::auditRows() const {
  std::vector<std::string> rows;
  // "YYYY/MM/DD","HH:MM:SS", is 24 characters.
  for (const auto& line : Lines(readFile("vpn_log.csv"))) rows.push_back(line.substr(24));
  return rows;
}

std::vector<std::string> TestDaemon::messageLines() const {
  return Lines(readFile("messages.txt"));
}

bool WaitUntil(const std::function<bool()>& condition, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (condition()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

bool OpenSession(client::SessionClient& session, const TestDaemon& daemon,
                 const std::string& version) {
  return session.open("127.0.0.1", daemon.port(), version, kIoTimeoutMs) ==
         client::ClientStatus::kOk;
}

bool ConnectRaw(client::Socket& socket, const TestDaemon& daemon) {
  return socket.connect("127.0.0.1", daemon.port(), kIoTimeoutMs) == client::ClientStatus::kOk;
}

bool ReadExactly(client::Socket& socket, ByteBuffer& into, std::size_t count, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (into.size() < count) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
    if (left <= 0) return false;
    if (socket.receiveSome(into, count - into.size(), static_cast<int>(left)) !=
        client::ClientStatus::kOk) {
      return false;
    }
  }
  return true;
}

bool EndedByDaemon(client::SessionClient& session) {
  client::ReceivedMessage message;
  for (int read = 0; read < 100; ++read) {
    const client::ClientStatus status = session.readMessage(message, kIoTimeoutMs);
    if (status == client::ClientStatus::kTimeout) return false;
    if (status != client::ClientStatus::kOk) return true;
  }
  return false;
}

bool ClosedByPeer(client::Socket& socket, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
    if (left <= 0) return false;
    ByteBuffer dropped;
    auto status = socket.receiveSome(dropped, 65536, static_cast<int>(left));
    if (status == client::ClientStatus::kClosed || status == client::ClientStatus::kIoError) {
      return true;
    }
    if (status != client::ClientStatus::kOk) return false;
  }
}

bool StaysQuiet(client::Socket& socket, int waitMs) {
  ByteBuffer received;
  return socket.receiveSome(received, 1, waitMs) == client::ClientStatus::kTimeout;
}

std::vector<std::uint8_t> ByteList(std::initializer_list<unsigned> values) {
  std::vector<std::uint8_t> bytes;
  for (unsigned v : values) bytes.push_back(static_cast<std::uint8_t>(v));
  return bytes;
}

std::vector<std::uint8_t> SessionOpening(const std::string& version) {
  ByteBuffer out;
  AppendSessionOpening(out, version);
  return {out.data(), out.data() + out.size()};
}

}  // namespace tarvo::test
