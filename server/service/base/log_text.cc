#include "server/service/base/log_text.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <mutex>

#include "platform/thread_annotations.h"
#include "platform/home.h"
#include "platform/own_file.h"

namespace tarvo {

std::tm LocalTimeNow() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return local;
}

bool AppendEscaped(std::string& out, std::string_view text, bool doubleQuotes,
                   std::size_t maxSize) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    char piece[4];
    std::size_t length = 2;
    piece[0] = '\\';
    if (c == '\r') {
      piece[1] = 'r';
    } else if (c == '\n') {
      piece[1] = 'n';
    } else if (c == '\t') {
      piece[1] = 't';
    } else if (byte < 0x20 || byte == 0x7F) {
      piece[1] = 'x';
      piece[2] = kHex[byte >> 4];
      piece[3] = kHex[byte & 0xF];
      length = 4;
    } else if (c == '"' && doubleQuotes) {
      piece[0] = piece[1] = '"';
    } else {
      piece[0] = c;
      length = 1;
    }
    if (maxSize != std::string::npos && out.size() + length > maxSize) return false;
    out.append(piece, length);
  }
  return true;
}

namespace {

// A log file kept open between lines, as the daemon writes one or two rows per relay. One stat
// before each line checks that the name still leads to the open file, so a log that was
// rotated by renaming, removed or replaced is reopened under its name.
struct OpenLog {
  std::string path;
  int fd = -1;
  dev_t device = 0;
  ino_t inode = 0;
};

Mutex openLogsMutex;
std::map<std::string, OpenLog, std::less<>> openLogs GUARDED_BY(openLogsMutex);  // by file name

void CloseLog(OpenLog& log) {
  if (log.fd >= 0) ::close(log.fd);
  log.fd = -1;
}

bool StillNamed(const OpenLog& log, const std::string& path) {
  struct stat named{};
  return log.fd >= 0 && log.path == path && ::stat(path.c_str(), &named) == 0 &&
         named.st_dev == log.device && named.st_ino == log.inode;
}

bool Reopen(OpenLog& log, const std::string& path) {
  CloseLog(log);
  // The admin group may read the logs; others never: they hold user names and messages.
  int fd = OpenOwnFile(path, O_WRONLY | O_APPEND, kLogFileMode).release();
  struct stat opened{};
  if (fd < 0 || ::fstat(fd, &opened) != 0) {
    if (fd >= 0) ::close(fd);
    return false;
  }
  log = OpenLog{path, fd, opened.st_dev, opened.st_ino};
  return true;
}

}  // namespace

bool AppendLineToHomeFile(const char* fileName, std::string_view line) {
  std::string path;
  if (!HomeFilePath(fileName, path)) return false;
  MutexLock lock(openLogsMutex);
  OpenLog& log = openLogs[fileName];
  if (!StillNamed(log, path) && !Reopen(log, path)) return false;
  std::size_t done = 0;
  // A regular file takes the whole line in one write; the loop only covers a short write
  // (a full disk) or a signal.
  while (done < line.size()) {
    ssize_t n = ::write(log.fd, line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace tarvo
