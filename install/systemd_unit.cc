#include "install/systemd_unit.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace tarvo::install {
namespace {

// '%' starts a specifier in unit files and is doubled; characters that would need quoting are
// refused rather than quoted, since not every directive unquotes its value.
bool UnitValue(const std::string& raw, std::string& value) {
  value.clear();
  for (char c : raw) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (byte <= ' ' || byte == 0x7f || c == '"' || c == '\'' || c == '\\') return false;
    if (c == '%') value += '%';
    value += c;
  }
  return !value.empty();
}

}  // namespace

std::string UnitDirectory() {
  const char* directory = std::getenv(kUnitDirectoryVariable);
  if (directory != nullptr && *directory != '\0') return directory;
  return kDefaultUnitDirectory;
}

std::string UnitName(const std::string& serviceName) {
  std::string name;
  for (char c : serviceName) {
    if (c == ' ') {
      name += '-';
    } else if (c >= 'A' && c <= 'Z') {
      name += static_cast<char>(c - 'A' + 'a');
    } else {
      name += c;
    }
  }
  return name + ".service";
}

std::string UnitFilePath(const std::string& serviceName) {
  return UnitDirectory() + "/" + UnitName(serviceName);
}

std::string UnitText(const std::string& serviceName, const std::string& programPath,
                     const std::string& homeDirectory) {
  std::string program, home;
  if (!UnitValue(programPath, program) || !UnitValue(homeDirectory, home)) return {};
  std::string description;
  for (char c : serviceName) description += c == '%' ? std::string("%%") : std::string(1, c);
  std::string runtime = std::string("/run/") + kRuntimeDirectoryName;
  return "[Unit]\n"
         "Description=" +
         description +
         "\n"
         "Wants=network-online.target\n"
         "After=network-online.target\n"
         "\n"
         "[Service]\n"
         "Type=notify\n"
         "ExecStart=" +
         program +
         "\n"
         "ExecReload=/bin/kill -HUP $MAINPID\n"
         "WorkingDirectory=" +
         home +
         "\n"
         "Environment=TARVO_HOME=" +
         home + " TARVO_RUNTIME_DIR=" + runtime +
         "\n"
         // Members of the group run the console and tarvoadm against the runtime directory;
         // the set-group-id bit gives them its sockets and lock, the files' modes do the rest.
         "Group=" +
         std::string(kAdminGroup) +
         "\n"
         "UMask=0007\n"
         "RuntimeDirectory=" +
         std::string(kRuntimeDirectoryName) +
         "\n"
         "RuntimeDirectoryMode=2770\n"
         "Restart=on-failure\n"
         "RestartSec=5\n"
         "TimeoutStartSec=30\n"
         // Two descriptors a relay; systemd grants the highest it may where the hard limit is
         // lower.
         "LimitNOFILE=524288\n"
         // The daemon needs nothing of root but a low port.
         "CapabilityBoundingSet=CAP_NET_BIND_SERVICE\n"
         "NoNewPrivileges=yes\n"
         "ProtectSystem=strict\n"
         "ReadWritePaths=" +
         home +
         "\n"
         "PrivateDevices=yes\n"
         "ProtectKernelTunables=yes\n"
         "ProtectKernelModules=yes\n"
         "ProtectControlGroups=yes\n"
         "RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6 AF_NETLINK\n"
         "\n"
         "[Install]\n"
         "WantedBy=multi-user.target\n";
}

bool ReplaceDescription(std::string& unit, const std::string& text) {
  if (text.find_first_of("\r\n") != std::string::npos) return false;
  std::string value;
  for (char c : text) value += c == '%' ? std::string("%%") : std::string(1, c);
  std::size_t start = unit.rfind("\nDescription=", unit.find("\n[Service]"));
  if (start == std::string::npos) return false;
  start += 1;
  std::size_t end = unit.find('\n', start);
  if (end == std::string::npos) end = unit.size();
  unit.replace(start, end - start, "Description=" + value);
  return true;
}

bool WriteFileAtomically(const std::string& path, const std::string& text) {
  std::string temporary = path + ".tmp";
  int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  std::size_t written = 0;
  while (written < text.size()) {
    ssize_t n = ::write(fd, text.data() + written, text.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    written += static_cast<std::size_t>(n);
  }
  bool ok = written == text.size() && ::fchmod(fd, 0644) == 0 && ::fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok;
  ok = ok && ::rename(temporary.c_str(), path.c_str()) == 0;
  if (!ok) ::unlink(temporary.c_str());
  return ok;
}

bool ReadWholeFile(const std::string& path, std::string& text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream content;
  content << in.rdbuf();
  if (in.bad()) return false;
  text = content.str();
  return true;
}

}  // namespace tarvo::install
