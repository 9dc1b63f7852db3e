#include "server/service/metrics/local_http_endpoint.h"

#include <unistd.h>

#include "platform/home.h"
#include "server/service/base/diagnostics.h"
#include "server/service/control/control_listener.h"

namespace tarvo {

bool LocalHttpEndpoint::start(const char* what, const char* fileName, HttpHandler handler,
                              HttpLimits limits) {
  std::string path, error;
  if (!RuntimeFilePath(fileName, path, &error)) {
    Diagnose("no %s socket: %s", what, error.c_str());
    return false;
  }
  const PortAccessRule rule = ControlPortRule();
  UniqueFd listener = ListenLocal(path, rule, &error);
  if (!listener) {
    Diagnose("no %s socket %s: %s", what, path.c_str(), error.c_str());
    return false;
  }
  auto server = std::make_unique<HttpServer>(what, std::move(handler), limits, nullptr, rule);
  if (!server->start(std::move(listener), &error)) {
    Diagnose("no %s socket %s: %s", what, path.c_str(), error.c_str());
    ::unlink(path.c_str());
    return false;
  }
  server_ = std::move(server);
  path_ = path;
  return true;
}

void LocalHttpEndpoint::stop() {
  server_.reset();
  if (!path_.empty()) ::unlink(path_.c_str());
  path_.clear();
}

}  // namespace tarvo
