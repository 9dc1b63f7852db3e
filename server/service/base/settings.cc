#include "server/service/base/settings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "platform/home.h"
#include "platform/own_file.h"

namespace tarvo {

ServerSettingsRecord ServerSettings;

namespace {

// Longest piece of a line handled at once; longer lines are read as several pieces.
constexpr std::size_t kMaxLineLength = 1023;

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// Takes the next piece of at most kMaxLineLength characters from text, ending at LF or CR LF
// (a CR just before the end of the text counts as a line end too). False at the end.
bool TakeLinePiece(std::string_view& text, std::string& line) {
  line.clear();
  std::size_t pos = 0;
  while (line.size() < kMaxLineLength) {
    if (pos == text.size()) {
      text.remove_prefix(pos);
      return !line.empty();
    }
    char c = text[pos++];
    if (c == '\n') break;
    if (c == '\r' && (pos == text.size() || text[pos] == '\n')) {
      if (pos < text.size()) ++pos;
      break;
    }
    line.push_back(c);
  }
  text.remove_prefix(pos);
  return true;
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]);
    unsigned char y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// Reads a number the way "%i" does (white space, sign, 0x hex, leading-0 octal, anything after
// the number ignored). A value without a number, or one outside the 32-bit range, leaves the
// field unchanged rather than storing something the administrator never wrote.
void ReadNumber(const std::string& value, std::int32_t& field) {
  const char* text = value.c_str();
  char* end = nullptr;
  errno = 0;
  long long number = std::strtoll(text, &end, 0);
  if (end == text || errno == ERANGE) return;
  if (number < INT32_MIN || number > INT32_MAX) return;
  field = static_cast<std::int32_t>(number);
}

void ReadFlag(std::string_view value, bool& field) {
  // Only "yes" sets a flag; anything else leaves it as it is.
  if (EqualsIgnoreCase(value, "yes")) field = true;
}

void ApplyLine(std::string line, ServerSettingsRecord& settings) {
  // The text ends at a NUL byte, as it would in a C string.
  if (std::size_t nul = line.find('\0'); nul != std::string::npos) line.resize(nul);
  std::size_t colon = line.find(':');
  if (colon == std::string::npos) return;
  std::string_view key(line.data(), colon);
  std::string value = line.substr(colon + 1);

  if (EqualsIgnoreCase(key, "[ServerPort]")) {
    ReadNumber(value, settings.ServerPort);
  } else if (EqualsIgnoreCase(key, "[MultiConnect]")) {
    ReadFlag(value, settings.MultiConnect);
  } else if (EqualsIgnoreCase(key, "[HidePwd]")) {
    ReadFlag(value, settings.HidePwd);
  } else if (EqualsIgnoreCase(key, "[StoreEncryptedPwd]")) {
    ReadFlag(value, settings.StoreEncryptedPwd);
  } else if (EqualsIgnoreCase(key, "[AutoRefresh]")) {
    ReadFlag(value, settings.AutoRefresh);
  } else if (EqualsIgnoreCase(key, "[AuditType]")) {
    ReadNumber(value, settings.AuditType);
  } else if (EqualsIgnoreCase(key, "[UdpAddressRestricted]")) {
    ReadFlag(value, settings.UdpAddressRestricted);
  } else if (EqualsIgnoreCase(key, "[MetricsAddress]")) {
    settings.MetricsAddress.assign(value.substr(0, value.find_first_of("\r\n")));
  } else if (EqualsIgnoreCase(key, "[TrustedBalancers]")) {
    settings.TrustedBalancers.assign(value.substr(0, value.find_first_of("\r\n")));
  } else if (EqualsIgnoreCase(key, "[MetricsPerUser]")) {
    ReadFlag(value, settings.MetricsPerUser);
  } else if (EqualsIgnoreCase(key, "[ProtocolV1]")) {
    const std::string word = value.substr(0, value.find_first_of("\r\n"));
    if (EqualsIgnoreCase(word, "refuse")) settings.ProtocolV1Refused = true;
    if (EqualsIgnoreCase(word, "accept")) settings.ProtocolV1Refused = false;
  } else if (EqualsIgnoreCase(key, "[TlsCertificate]")) {
    settings.TlsCertificate.assign(value.substr(0, value.find_first_of("\r\n")));
  } else if (EqualsIgnoreCase(key, "[TlsKey]")) {
    settings.TlsKey.assign(value.substr(0, value.find_first_of("\r\n")));
  } else if (EqualsIgnoreCase(key, "[ApiAddress]")) {
    settings.ApiAddress.assign(value.substr(0, value.find_first_of("\r\n")));
  } else if (EqualsIgnoreCase(key, "[ApiCertificate]")) {
    settings.ApiCertificate.assign(value.substr(0, value.find_first_of("\r\n")));
  } else if (EqualsIgnoreCase(key, "[ApiKey]")) {
    settings.ApiKey.assign(value.substr(0, value.find_first_of("\r\n")));
  } else if (EqualsIgnoreCase(key, "[DaemonDeadAfter]")) {
    ReadNumber(value, settings.DaemonDeadAfter);
  } else if (EqualsIgnoreCase(key, "[MinClientVersion]")) {
    std::size_t length = std::min(value.size(), kMinClientVersionSize - 1);
    std::memcpy(settings.MinClientVersion, value.data(), length);
    settings.MinClientVersion[length] = '\0';
  }
}

std::string_view MinVersionText(const ServerSettingsRecord& settings) {
  return std::string_view(settings.MinClientVersion,
                          strnlen(settings.MinClientVersion, kMinClientVersionSize));
}

std::string SettingsText(const ServerSettingsRecord& settings) {
  auto flag = [](bool on) { return on ? "yes" : "no"; };
  // A line break inside the version text would start a line of its own in the file and could
  // set other keys on the next start; only the text before it is stored.
  std::string_view version = MinVersionText(settings);
  version = version.substr(0, version.find_first_of("\r\n"));

  std::string text;
  text += "[ServerPort]:" + std::to_string(settings.ServerPort) + "\n";
  text += std::string("[MultiConnect]:") + flag(settings.MultiConnect) + "\n";
  text += "[AuditType]:" + std::to_string(settings.AuditType) + "\n";
  text += "[MinClientVersion]:";
  text += version;
  text += "\n";
  text += std::string("[HidePwd]:") + flag(settings.HidePwd) + "\n";
  text += std::string("[StoreEncryptedPwd]:") + flag(settings.StoreEncryptedPwd) + "\n";
  text += std::string("[AutoRefresh]:") + flag(settings.AutoRefresh) + "\n";
  // Only when on, so that a file of the seven settings stays exactly those seven lines.
  if (settings.UdpAddressRestricted) text += "[UdpAddressRestricted]:yes\n";
  if (!settings.MetricsAddress.empty()) text += "[MetricsAddress]:" + settings.MetricsAddress + "\n";
  if (settings.MetricsPerUser) text += "[MetricsPerUser]:yes\n";
  if (!settings.TrustedBalancers.empty()) {
    text += "[TrustedBalancers]:" + settings.TrustedBalancers + "\n";
  }
  if (settings.ProtocolV1Refused) text += "[ProtocolV1]:refuse\n";
  if (!settings.TlsCertificate.empty()) text += "[TlsCertificate]:" + settings.TlsCertificate + "\n";
  if (!settings.TlsKey.empty()) text += "[TlsKey]:" + settings.TlsKey + "\n";
  if (!settings.ApiAddress.empty()) text += "[ApiAddress]:" + settings.ApiAddress + "\n";
  if (!settings.ApiCertificate.empty()) {
    text += "[ApiCertificate]:" + settings.ApiCertificate + "\n";
  }
  if (!settings.ApiKey.empty()) text += "[ApiKey]:" + settings.ApiKey + "\n";
  if (settings.DaemonDeadAfter != kDefaultDaemonDeadAfter) {
    text += "[DaemonDeadAfter]:" + std::to_string(settings.DaemonDeadAfter) + "\n";
  }
  return text;
}

bool WriteAll(int fd, const std::string& text) {
  std::size_t written = 0;
  while (written < text.size()) {
    ssize_t n = ::write(fd, text.data() + written, text.size() - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    written += static_cast<std::size_t>(n);
  }
  return true;
}

// Creates a new file beside `path` for the replacement; -1 when none can be created.
int CreateTemporary(const std::string& path, std::string& temporary) {
  static std::atomic<unsigned> counter{0};
  for (int attempt = 0; attempt < 16; ++attempt) {
    temporary = path + ".tmp." + std::to_string(::getpid()) + "." +
                std::to_string(counter.fetch_add(1));
    int fd = CreateOwnFile(temporary, O_WRONLY, kSettingsFileMode).release();
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

// One version component: its decimal digits without leading zeros, read as "%u" would (white
// space and a '+' skipped). A component that then starts with no digit counts as 0. Comparing
// digit strings keeps components of any length exact, with no overflow.
std::string_view ComponentDigits(std::string_view text, std::size_t& pos) {
  std::size_t end = text.find('.', pos);
  if (end == std::string_view::npos) end = text.size();
  std::size_t p = pos;
  pos = end;
  while (p < end && (text[p] == ' ' || (text[p] >= '\t' && text[p] <= '\r'))) ++p;
  if (p < end && text[p] == '+') ++p;
  std::size_t first = p;
  while (p < end && text[p] >= '0' && text[p] <= '9') ++p;
  while (first < p && text[first] == '0') ++first;
  return text.substr(first, p - first);
}

int CompareVersionTexts(std::string_view a, std::string_view b) {
  std::size_t pa = 0;
  std::size_t pb = 0;
  while (pa < a.size() || pb < b.size()) {
    std::string_view da = pa < a.size() ? ComponentDigits(a, pa) : std::string_view();
    std::string_view db = pb < b.size() ? ComponentDigits(b, pb) : std::string_view();
    if (da.size() != db.size()) return da.size() < db.size() ? -1 : 1;
    if (int order = da.compare(db); order != 0) return order < 0 ? -1 : 1;
    if (pa < a.size()) ++pa;  // the '.' after the component
    if (pb < b.size()) ++pb;
  }
  return 0;
}

bool VersionAdmitted(std::string_view client, std::string_view minimum) {
  return CompareVersionTexts(client, kServerVersion) <= 0 &&
         CompareVersionTexts(client, minimum) >= 0;
}

std::string_view CText(const char* text) { return text == nullptr ? std::string_view() : text; }

}  // namespace

void ParseSettingsText(std::string_view text, ServerSettingsRecord& settings) {
  std::string line;
  while (TakeLinePiece(text, line)) ApplyLine(line, settings);
}

bool LoadSettingsFile(const std::string& path, ServerSettingsRecord& settings) {
  FilePtr file(std::fopen(path.c_str(), "rb"));
  if (!file) return false;
  std::string text;
  char chunk[4096];
  std::size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, file.get())) > 0) text.append(chunk, got);
  ParseSettingsText(text, settings);
  return true;
}

bool SaveSettingsFile(const std::string& path, const ServerSettingsRecord& settings) {
  // Written to a new file that then replaces the old one, so that a failed write never leaves
  // a cut settings file behind.
  std::string temporary;
  int fd = CreateTemporary(path, temporary);
  if (fd < 0) return false;

  struct stat old {};
  if (::stat(path.c_str(), &old) == 0 && S_ISREG(old.st_mode)) {
    // Keep the permissions the administrator chose, less any access for others.
    ::fchmod(fd, old.st_mode & 07777 & ~S_IRWXO);
  }
  bool ok = WriteAll(fd, SettingsText(settings)) && ::fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  ok = ok && ::rename(temporary.c_str(), path.c_str()) == 0;
  if (!ok) ::unlink(temporary.c_str());
  return ok;
}

bool LoadSettings() {
  std::string path;
  if (!HomeFilePath(kSettingsFileName, path)) return false;
  return LoadSettingsFile(path, ServerSettings);
}

bool SaveSettings() {
  std::string path;
  if (!HomeFilePath(kSettingsFileName, path)) return false;
  return SaveSettingsFile(path, ServerSettings);
}

int CompareVersions(const char* a, const char* b) {
  return CompareVersionTexts(CText(a), CText(b));
}

bool IsClientVersionAllowed(const char* clientVersion, const char* minimumVersion) {
  return VersionAdmitted(CText(clientVersion), CText(minimumVersion));
}

bool IsClientVersionAllowed(const char* clientVersion) {
  return VersionAdmitted(CText(clientVersion), MinVersionText(ServerSettings));
}

}  // namespace tarvo
