#include "platform/directory_checks.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tarvo {
namespace {

std::string Uid(uid_t uid) { return "uid " + std::to_string(uid); }

std::string DirectoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

bool WritableByOthers(const std::string& directory) {
  struct stat status {};
  return ::stat(directory.c_str(), &status) == 0 && (status.st_mode & S_IWOTH) != 0;
}

bool CheckRuntimeDirectory(const std::string& directory, std::string* error) {
  struct stat status {};
  if (::stat(directory.c_str(), &status) != 0) {
    if (error) {
      *error = "cannot use the runtime directory " + directory + ": " + std::strerror(errno);
    }
    return false;
  }
  if (!S_ISDIR(status.st_mode)) {
    if (error) *error = "the runtime directory " + directory + " is not a directory";
    return false;
  }
  // Sticky or not: whoever may create files there may bind a control port first.
  if ((status.st_mode & S_IWOTH) != 0) {
    if (error) {
      *error = "the runtime directory " + directory +
               " is writable by other users; give it mode 0700, or 2770 for the admin group";
    }
    return false;
  }
  const uid_t self = ::geteuid();
  if (status.st_uid != 0 && status.st_uid != self) {
    if (error) {
      *error = "the runtime directory " + directory + " belongs to " + Uid(status.st_uid) +
               ", not to root or the daemon's user (" + Uid(self) + ")";
    }
    return false;
  }
  return true;
}

bool IsTrustedPortOwner(const PeerCredentials& owner, const std::string& path, std::string* error) {
  if (owner.uid == 0) return true;
  const std::string directory = DirectoryOf(path);
  struct stat status {};
  if (::stat(directory.c_str(), &status) != 0) {
    if (error) *error = "cannot check the owner of " + directory + ": " + std::strerror(errno);
    return false;
  }
  if (owner.uid == status.st_uid) return true;
  if (error) {
    const std::string expected = status.st_uid == 0 ? "root" : "root or " + Uid(status.st_uid);
    *error = "the control port at " + path + " is served by " + Uid(owner.uid) +
             ", not by the daemon's user (" + expected + ", the owner of " + directory + ")";
  }
  return false;
}

}  // namespace tarvo
