#include "tests/install_layout.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "server/service/base/settings.h"

namespace tarvo::test {
namespace {

namespace fs = std::filesystem;

std::string BuiltDirectory() { return fs::path(TarvoServerPath()).parent_path().string(); }

}  // namespace

std::string OdbcLeakOptions() {
  // Full stacks, so the suppressions see the driver's frames.
  const char* own = std::getenv("LSAN_OPTIONS");
  return std::string("LSAN_OPTIONS=") + (own != nullptr ? std::string(own) + ":" : "") +
         "fast_unwind_on_malloc=0:suppressions=" TARVO_TEST_DATA_DIR "/odbc_driver_leaks.supp";
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool WriteText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  return static_cast<bool>(out);
}

ProgramResult RunWithEnv(const std::vector<std::string>& argv, const EnvList& env,
                         const std::string& scratch) {
  ProgramResult result;
  std::vector<std::string> envText = {
      "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"};
  for (const auto& [name, value] : env) envText.push_back(name + "=" + value);
  // Sanitizer settings pass on, so the programs run under the same checks as the test.
  for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS"}) {
    if (const char* value = std::getenv(name)) envText.push_back(std::string(name) + "=" + value);
  }
  envText.push_back(OdbcLeakOptions());
  std::vector<char*> envp, args;
  for (std::string& entry : envText) envp.push_back(entry.data());
  envp.push_back(nullptr);
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);

  static int runs = 0;
  const std::string tag = std::to_string(::getpid()) + "." + std::to_string(++runs);
  const std::string outPath = scratch + "/.out." + tag, errPath = scratch + "/.err." + tag;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outPath.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errPath.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  pid_t pid = -1;
  int spawned = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return result;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.out = ReadText(outPath);
  result.err = ReadText(errPath);
  ::unlink(outPath.c_str());
  ::unlink(errPath.c_str());
  return result;
}

InstallLayout::InstallLayout(const std::string& directoryName) {
  if (root().empty()) return;
  bin_ = root() + "/" + directoryName;
  std::error_code error;
  for (const char* sub : {"/units", "/odbc", "/groups/etc"})
    fs::create_directories(root() + sub, error);
  fs::create_directories(bin_, error);
  // tarvoctl finds the product directory through its own executable path, so it and the
  // library it loads from beside it are copies; the rest may be links to the build.
  const std::string built = BuiltDirectory();
  fs::copy_file(built + "/tarvoctl", bin_ + "/tarvoctl", error);
  if (error) return;
  fs::copy_file(built + "/libTarvoInstall.so", bin_ + "/libTarvoInstall.so", error);
  if (error) return;
  for (const char* name : {"TarvoServer", "libReader.so"}) {
    fs::create_symlink(built + "/" + name, bin_ + "/" + name, error);
    if (error) return;
  }
  // The console may not be built in this configuration; only its presence is checked.
  if (fs::exists(built + "/TarvoConsole")) {
    fs::create_symlink(built + "/TarvoConsole", bin_ + "/TarvoConsole", error);
  } else {
    WriteText(bin_ + "/TarvoConsole", "");
  }
  if (error) return;
  fs::copy_file("/etc/odbcinst.ini", root() + "/odbc/odbcinst.ini", error);
  ready_ = !error;
}

std::string InstallLayout::unitPath() const { return root() + "/units/tarvo-vpn-server.service"; }
std::string InstallLayout::odbcIniPath() const { return root() + "/odbc/odbc.ini"; }
std::string InstallLayout::groupFilePath() const { return root() + "/groups/etc/group"; }

EnvList InstallLayout::environment() const {
  // Without a service manager the real systemctl refuses everything, which is the case under
  // test; where one runs, a program that refuses keeps the machine's services out of reach.
  struct stat info {};
  bool managerRuns = ::stat("/run/systemd/system", &info) == 0;
  EnvList env = {{"TARVO_UNIT_DIR", root() + "/units"},
                 {"ODBCSYSINI", root() + "/odbc"},
                 {"TARVO_GROUP_PREFIX", root() + "/groups"},
                 {"TARVO_SYSTEMCTL", managerRuns ? "/bin/false" : "/usr/bin/systemctl"},
                 {"TARVO_HOME", bin_}};
  env.insert(env.end(), env_.begin(), env_.end());
  return env;
}

ProgramResult InstallLayout::tarvoctl(const std::vector<std::string>& arguments) const {
  std::vector<std::string> argv = {bin_ + "/tarvoctl"};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return RunWithEnv(argv, environment(), root());
}

ProgramResult InstallLayout::tarvostore(const std::vector<std::string>& arguments) const {
  std::vector<std::string> argv = {TARVO_STORE_TOOL_PATH};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return RunWithEnv(argv, environment(), root());
}

namespace {

ServerSettingsRecord MultiConnectAudited() {
  ServerSettingsRecord settings;
  settings.MultiConnect = true;
  settings.AuditType = 1;
  return settings;
}

}  // namespace

StoreDaemon::StoreDaemon(const std::string& store, const std::string& leakOptions)
    : StoreDaemon(store, MultiConnectAudited(), leakOptions) {}

StoreDaemon::StoreDaemon(const std::string& store, ServerSettingsRecord settings,
                         const std::string& leakOptions)
    : process_(home_.path()) {
  settings.ServerPort = port_ = FreeLoopbackPort();
  if (!SaveSettingsFile(home_.path() + "/" + kSettingsFileName, settings)) return;
  process_.setEnv("TARVO_STORE", store);
  process_.setEnv("LSAN_OPTIONS", leakOptions.substr(leakOptions.find('=') + 1));
  started_ = process_.start() && process_.waitReady();
}

}  // namespace tarvo::test
