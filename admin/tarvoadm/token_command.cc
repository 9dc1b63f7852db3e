// tarvoadm token: the management API's tokens, made, listed and revoked through the API's local
// socket (whoever may use the control port acts there as an admin). A token is printed once,
// when it is made; the daemon keeps only its hash.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "admin/tarvoadm/command.h"
#include "platform/fd.h"
#include "platform/home.h"
#include "server/common/api_port.h"

namespace tarvo::adm {

namespace {

struct ApiAnswer {
  int status = 0;
  nlohmann::json body;
};

// One request on the local socket; nullopt with why when the daemon cannot be reached.
std::optional<ApiAnswer> CallApi(const std::string& method, const std::string& path,
                                 const std::string& body, std::string& why) {
  std::string socketPath;
  sockaddr_un address{};
  if (!RuntimeFilePath(kApiPortName, socketPath, &why)) return std::nullopt;
  if (socketPath.size() >= sizeof address.sun_path) return why = "the socket path is too long", std::nullopt;
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
  if (!fd || ::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    why = "the daemon's API socket " + socketPath + ": " + std::strerror(errno);
    return std::nullopt;
  }
  const timeval timeout{10, 0};
  ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  const std::string request = method + " " + kApiPrefix + path + " HTTP/1.1\r\nHost: local\r\n" +
                              "Content-Type: application/json\r\nContent-Length: " +
                              std::to_string(body.size()) + "\r\n\r\n" + body;
  if (::send(fd.get(), request.data(), request.size(), MSG_NOSIGNAL) !=
      static_cast<ssize_t>(request.size())) {
    why = std::string("sending the request: ") + std::strerror(errno);
    return std::nullopt;
  }
  std::string answer;
  char buffer[4096];
  for (ssize_t got; (got = ::recv(fd.get(), buffer, sizeof buffer, 0)) > 0;) {
    answer.append(buffer, static_cast<std::size_t>(got));
  }
  const std::size_t blank = answer.find("\r\n\r\n");
  if (answer.size() < 12 || answer.rfind("HTTP/1.", 0) != 0 || blank == std::string::npos) {
    why = "the daemon did not answer";
    return std::nullopt;
  }
  ApiAnswer result;
  result.status = std::atoi(answer.c_str() + 9);
  result.body = nlohmann::json::parse(answer.substr(blank + 4), nullptr, false);
  return result;
}

int Answered(const Context& context, const ApiAnswer& answer, const std::string& text) {
  if (answer.status >= 200 && answer.status < 300) return Done(context, text, answer.body);
  const std::string reason = answer.body.is_object() && answer.body.contains("error")
                                 ? answer.body["error"].get<std::string>()
                                 : "refused (HTTP " + std::to_string(answer.status) + ")";
  return Fail(context, answer.status == 403 ? kUnreachable : kRefused, reason);
}

}  // namespace

int TokenCommand(Context& context) {
  const auto& args = context.args;
  std::string why;
  std::optional<ApiAnswer> answer;
  if (args.size() == 4 && args[0] == "create" && args[2] == "--role") {
    const nlohmann::json body = {{"name", args[1]}, {"role", args[3]}};
    answer = CallApi("POST", "tokens", body.dump(), why);
    if (answer && answer->status == 201) {
      return Done(context, answer->body["token"].get<std::string>(), answer->body);
    }
  } else if (args.size() == 1 && args[0] == "list") {
    answer = CallApi("GET", "tokens", "", why);
    if (answer && answer->status == 200 && !context.json) {
      for (const auto& token : answer->body["tokens"]) {
        std::printf("%s %s\n", token["name"].get<std::string>().c_str(),
                    token["role"].get<std::string>().c_str());
      }
      return kDone;
    }
  } else if (args.size() == 2 && args[0] == "revoke") {
    answer = CallApi("DELETE", "tokens/" + args[1], "", why);
  } else {
    return UsageError(context,
                      "token create NAME --role admin|operator|auditor, token list, or "
                      "token revoke NAME");
  }
  if (!answer) return Fail(context, kUnreachable, why);
  return Answered(context, *answer, "done");
}

}  // namespace tarvo::adm
