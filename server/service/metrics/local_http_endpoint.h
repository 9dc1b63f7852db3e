// An HTTP server on a socket file in the daemon's runtime folder, open to whoever may use the
// control port (the metrics and the API each have one). The file goes when the server does.
#pragma once

#include <memory>
#include <string>

#include "server/service/metrics/http_server.h"

namespace tarvo {

class LocalHttpEndpoint {
 public:
  LocalHttpEndpoint() = default;
  ~LocalHttpEndpoint() { stop(); }
  LocalHttpEndpoint(const LocalHttpEndpoint&) = delete;
  LocalHttpEndpoint& operator=(const LocalHttpEndpoint&) = delete;

  // Serves fileName; false, with a journal line naming what is not served and why, when it
  // cannot.
  bool start(const char* what, const char* fileName, HttpHandler handler, HttpLimits limits);
  void stop();

 private:
  std::unique_ptr<HttpServer> server_;
  std::string path_;
};

}  // namespace tarvo
