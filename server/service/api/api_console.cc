#include "server/service/api/api_console.h"

#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace tarvo {

namespace {

std::string ConsoleDirectory() {
  if (const char* dir = std::getenv("TARVO_WEB_DIR"); dir != nullptr && *dir != '\0') return dir;
  char exe[PATH_MAX];
  const ssize_t length = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (length <= 0) return {};
  std::string path(exe, static_cast<std::size_t>(length));
  path.erase(path.rfind('/'));  // the bin directory
  return path + "/../share/tarvo/web";
}

const char* TypeOf(const std::string& name) {
  if (name.ends_with(".html")) return "text/html; charset=utf-8";
  if (name.ends_with(".js")) return "text/javascript; charset=utf-8";
  if (name.ends_with(".css")) return "text/css; charset=utf-8";
  if (name.ends_with(".png")) return "image/png";
  return nullptr;
}

// One plain name of the folder: no folders, nothing hidden, nothing that climbs.
bool PlainName(const std::string& name) {
  if (name.empty() || name.front() == '.') return false;
  for (char c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-' && c != '_') {
      return false;
    }
  }
  return true;
}

}  // namespace

std::optional<HttpResponse> ServeConsoleFile(const HttpRequest& request) {
  if (request.path == "/") {
    HttpResponse moved = MakeResponse(302, "text/plain; charset=utf-8", "see /console/\n");
    moved.headers["Location"] = kConsolePrefix;
    return moved;
  }
  if (!request.path.starts_with(kConsolePrefix)) return std::nullopt;
  if (request.method != "GET" && request.method != "HEAD") {
    return MakeResponse(405, "text/plain; charset=utf-8", "the console's files are read\n");
  }
  std::string name = request.path.substr(sizeof kConsolePrefix - 1);
  if (name.empty()) name = "index.html";
  const char* type = TypeOf(name);
  std::ifstream file;
  if (PlainName(name) && type != nullptr) file.open(ConsoleDirectory() + "/" + name);
  if (!file) return MakeResponse(404, "text/plain; charset=utf-8", "no such file\n");
  std::stringstream text;
  text << file.rdbuf();
  HttpResponse response = MakeResponse(200, type, text.str());
  // Only the console's own files run in the page, and no other site may frame it.
  response.headers["Content-Security-Policy"] =
      "default-src 'self'; frame-ancestors 'none'; base-uri 'none'; form-action 'self'";
  response.headers["X-Content-Type-Options"] = "nosniff";
  response.headers["Referrer-Policy"] = "no-referrer";
  response.headers["Cache-Control"] = "no-cache";
  return response;
}

}  // namespace tarvo
