// The management API of a real TarvoServer, over HTTPS with tokens and over the local socket:
// every endpoint's answer checked against docs/openapi.yaml, the refusals of each role, the
// event stream resumed without loss or repetition, and slow clients that do not blind it.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/sha.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/fd.h"
#include "server/common/api_port.h"
#include "tests/control_test_support.h"
#include "tests/tarvo_daemon_fixture.h"

namespace tarvo::test {
namespace {

using nlohmann::json;

struct Answer {
  int status = 0;
  std::string head;
  std::string body;
  json data() const { return json::parse(body, nullptr, false); }
};

UniqueFd ConnectTcp(int port, const char* from = "127.0.0.1") {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in source{};
  source.sin_family = AF_INET;
  source.sin_addr.s_addr = ::inet_addr(from);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = ::inet_addr("127.0.0.1");
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  const timeval timeout{10, 0};
  ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&source), sizeof source) != 0 ||
      ::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    return UniqueFd();
  }
  return fd;
}

UniqueFd ConnectLocal(const std::string& path) {
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
  const timeval timeout{10, 0};
  ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    return UniqueFd();
  }
  return fd;
}

std::string Request(const std::string& method, const std::string& path, const std::string& body,
                    const std::string& token) {
  std::string text = method + " " + path + " HTTP/1.1\r\nHost: test\r\n";
  if (!token.empty()) text += "Authorization: Bearer " + token + "\r\n";
  if (!body.empty() || method == "POST" || method == "PATCH") {
    text += "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
            "\r\n";
  }
  return text + "\r\n" + body;
}

Answer Parse(const std::string& raw) {
  Answer answer;
  const std::size_t blank = raw.find("\r\n\r\n");
  if (raw.rfind("HTTP/1.1 ", 0) != 0 || blank == std::string::npos) return answer;
  answer.status = std::atoi(raw.c_str() + 9);
  answer.head = raw.substr(0, blank);
  answer.body = raw.substr(blank + 4);
  return answer;
}

std::string ReadAll(int fd) {
  std::string raw;
  char buffer[8192];
  for (ssize_t got; (got = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) raw.append(buffer, got);
  return raw;
}

class ApiTest : public ::testing::Test {
 protected:
  virtual std::vector<std::pair<std::string, std::string>> homeFiles() const { return {}; }

  void SetUp() override {
    apiPort = FreeLoopbackPort();
    metricsPort = FreeLoopbackPort();
    ServerSettingsRecord settings = AuditedSettings();
    settings.ApiAddress = "127.0.0.1:" + std::to_string(apiPort);
    settings.MetricsAddress = "127.0.0.1:" + std::to_string(metricsPort);
    daemon = std::make_unique<TestDaemon>(
        settings, std::vector<std::pair<std::string, std::string>>{}, homeFiles());
    ASSERT_TRUE(daemon->started());
    spec = ReadSpec();
    ASSERT_TRUE(spec.is_object());
    tls.reset(SSL_CTX_new(TLS_client_method()));
    adminToken = Local("POST", "/api/v1/tokens", R"({"name":"root","role":"admin"})")
                     .data()["token"].get<std::string>();
  }

  std::string socketPath() const { return daemon->home() + "/" + kApiPortName; }

  Answer Local(const std::string& method, const std::string& path, const std::string& body = "") {
    UniqueFd fd = ConnectLocal(socketPath());
    const std::string request = Request(method, path, body, "");
    ::send(fd.get(), request.data(), request.size(), MSG_NOSIGNAL);
    return Parse(ReadAll(fd.get()));
  }

  Answer Https(const std::string& token, const std::string& method, const std::string& path,
               const std::string& body = "", const char* from = "127.0.0.1") {
    UniqueFd fd = ConnectTcp(apiPort, from);
    SSL* ssl = SSL_new(tls.get());
    SSL_set_fd(ssl, fd.get());
    std::string raw;
    if (SSL_connect(ssl) == 1) {
      const std::string request = Request(method, path, body, token);
      SSL_write(ssl, request.data(), static_cast<int>(request.size()));
      char buffer[8192];
      for (int got; (got = SSL_read(ssl, buffer, sizeof buffer)) > 0;) raw.append(buffer, got);
    }
    SSL_free(ssl);
    return Parse(raw);
  }

  // Checks the answer against the document: the operation's schema for its status.
  void Conforms(const std::string& method, const std::string& path, const Answer& answer) {
    SCOPED_TRACE(method + " " + path + " -> " + std::to_string(answer.status) + " " + answer.body);
    const json* operation = nullptr;
    for (const auto& [templ, item] : spec["paths"].items()) {
      if (Matches(templ, path.substr(std::strlen("/api/v1"), path.find('?') -
                                                                  std::strlen("/api/v1"))) &&
          item.contains(Lower(method))) {
        operation = &item[Lower(method)];
      }
    }
    ASSERT_NE(operation, nullptr) << "not in the document";
    const json& responses = (*operation)["responses"];
    const std::string status = std::to_string(answer.status);
    ASSERT_TRUE(responses.contains(status)) << "status not in the document";
    const json response = Resolve(responses[status]);
    const json schema = response["content"]["application/json"]["schema"];
    Validate(schema, answer.data(), "$");
  }

  static json ReadSpec() {
    std::ifstream file(TARVO_OPENAPI_PATH);
    std::stringstream text;
    for (std::string line; std::getline(file, line);) {
      if (!line.starts_with("#")) text << line << "\n";
    }
    return json::parse(text.str(), nullptr, false);
  }
  static std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(c));
    return text;
  }
  static bool Matches(const std::string& templ, const std::string& path) {
    std::stringstream a(templ), b(path);
    std::string x, y;
    while (true) {
      const bool moreA = static_cast<bool>(std::getline(a, x, '/'));
      const bool moreB = static_cast<bool>(std::getline(b, y, '/'));
      if (moreA != moreB) return false;
      if (!moreA) return true;
      if (x != y && !(x.starts_with("{") && !y.empty())) return false;
    }
  }
  json Resolve(const json& node) {
    if (!node.is_object() || !node.contains("$ref")) return node;
    json target = spec;
    std::stringstream ref(node["$ref"].get<std::string>().substr(2));
    for (std::string part; std::getline(ref, part, '/');) target = target[part];
    return Resolve(target);
  }
  // The document's required fields, types, enums and items, recursively.
  void Validate(const json& schemaNode, const json& value, const std::string& where) {
    const json schema = Resolve(schemaNode);
    if (schema.contains("allOf")) {
      for (const json& part : schema["allOf"]) Validate(part, value, where);
    }
    const std::string type = schema.value("type", "");
    const bool typed = type.empty() || (type == "object" && value.is_object()) ||
                       (type == "array" && value.is_array()) ||
                       (type == "string" && value.is_string()) ||
                       (type == "integer" && value.is_number_integer()) ||
                       (type == "number" && value.is_number()) ||
                       (type == "boolean" && value.is_boolean());
    EXPECT_TRUE(typed) << where << " is not " << type;
    if (!typed) return;
    if (schema.contains("enum")) {
      EXPECT_NE(std::find(schema["enum"].begin(), schema["enum"].end(), value),
                schema["enum"].end()) << where;
    }
    for (const json& name : schema.value("required", json::array())) {
      EXPECT_TRUE(value.contains(name)) << where << " lacks " << name;
    }
    if (value.is_object() && schema.contains("properties")) {
      for (const auto& [name, field] : value.items()) {
        if (schema["properties"].contains(name)) {
          const json property = Resolve(schema["properties"][name]);
          EXPECT_FALSE(property.value("writeOnly", false)) << where << "." << name << " is read";
          Validate(property, field, where + "." + name);
        }
      }
    }
    if (value.is_array() && schema.contains("items")) {
      for (std::size_t i = 0; i < value.size(); ++i) {
        Validate(schema["items"], value[i], where + "[" + std::to_string(i) + "]");
      }
    }
  }

  // A call as admin over HTTPS, checked against the document.
  Answer Call(const std::string& method, const std::string& path, const std::string& body = "") {
    Answer answer = Https(adminToken, method, path, body);
    Conforms(method, path, answer);
    return answer;
  }

  int apiPort = 0;
  int metricsPort = 0;
  std::unique_ptr<TestDaemon> daemon;
  json spec;
  struct CtxFree {
    void operator()(SSL_CTX* ctx) const { SSL_CTX_free(ctx); }
  };
  std::unique_ptr<SSL_CTX, CtxFree> tls;
  std::string adminToken;
};

TEST_F(ApiTest, UsersSessionsSettingsAndUsageFollowTheDocument) {
  EXPECT_EQ(Call("POST", "/api/v1/users", R"({"name":"alice","password":"pw","limit":5000})")
                .status, 201);
  EXPECT_EQ(Call("POST", "/api/v1/users", R"({"name":"ALICE","password":"x"})").status, 409);
  EXPECT_EQ(Call("POST", "/api/v1/users", R"({"name":"bob","password":)").status, 400);
  EXPECT_EQ(Call("POST", "/api/v1/users", R"({"name":"bob"})").status, 400);

  // Bulk: a duplicate, an existing user and a bad row name their rows, and nothing is made.
  const Answer refused = Call("POST", "/api/v1/users/bulk",
                              R"({"users":[{"name":"u1","password":"p"},{"name":"u1","password":"p"},
                                  {"name":"alice","password":"p"},{"name":"u3","limit":-1,"password":"p"}]})");
  ASSERT_EQ(refused.status, 422);
  EXPECT_EQ(refused.data()["refused"].size(), 3u);
  EXPECT_EQ(refused.data()["refused"][0]["row"], 1);
  EXPECT_EQ(Call("GET", "/api/v1/users/u1").status, 404);
  json bulk = {{"users", json::array()}};
  for (int i = 0; i < 30; ++i) {
    bulk["users"].push_back({{"name", "user" + std::to_string(100 + i)}, {"password", "p"},
                             {"limit", i}});
  }
  EXPECT_EQ(Call("POST", "/api/v1/users/bulk", bulk.dump()).status, 201);

  // Paging, sorting and search happen on the daemon.
  const json page = Call("GET", "/api/v1/users?offset=5&limit=10&sort=-limit&search=USER1").data();
  EXPECT_EQ(page["total"], 30);
  ASSERT_EQ(page["users"].size(), 10u);
  EXPECT_EQ(page["users"][0]["name"], "user124");
  EXPECT_FALSE(page["users"][0].contains("password"));
  EXPECT_EQ(Call("GET", "/api/v1/users?limit=0").status, 400);

  const json changed = Call("PATCH", "/api/v1/users/alice",
                            R"({"limit":7000,"policy":{"rate_down":1000,"period":"daily"}})")
                           .data();
  EXPECT_EQ(changed["limit"], 7000);
  EXPECT_EQ(changed["policy"]["period"], "daily");
  EXPECT_EQ(Call("PATCH", "/api/v1/users/alice", R"({"counter":1})").status, 400);
  EXPECT_EQ(Call("PATCH", "/api/v1/users/nobody", R"({"limit":1})").status, 404);
  // The password stayed: alice still logs in with it.
  client::SessionClient session;
  ASSERT_TRUE(OpenSession(session, *daemon));
  EXPECT_EQ(session.login("alice", "pw", kIoTimeoutMs).outcome, client::LoginOutcome::kAccepted);
  EXPECT_EQ(Call("PATCH", "/api/v1/users/alice", R"({"password":"new"})").status, 200);

  const json sessions = Call("GET", "/api/v1/sessions").data()["sessions"];
  ASSERT_EQ(sessions.size(), 1u);
  EXPECT_EQ(Call("GET", "/api/v1/usage/alice").data()["sessions"], 1);
  // A store of one daemon: all of them are this daemon's, each naming it.
  const json all = Call("GET", "/api/v1/sessions?all=true").data()["sessions"];
  ASSERT_EQ(all.size(), 1u);
  EXPECT_NE(all[0]["daemon"].get<std::string>().find(":" + std::to_string(daemon->port())),
            std::string::npos);
  EXPECT_EQ(Call("GET", "/api/v1/sessions?all=maybe").status, 400);
  json ref = sessions[0];
  ref.erase("protocol");
  const std::string query = "?name=alice&address=" + ref["address"].get<std::string>() +
                            "&session_id=" + ref["session_id"].get<std::string>();
  EXPECT_EQ(Call("GET", "/api/v1/sessions/relays" + query).data()["relays"].size(), 0u);
  EXPECT_EQ(Call("GET", "/api/v1/sessions/relays?name=alice").status, 400);
  EXPECT_EQ(Call("POST", "/api/v1/messages",
                 json{{"address", ref["address"]}, {"text", "hello"}}.dump()).status, 200);
  // Locking ends the session; the lock is told as a change.
  const json locked = Call("POST", "/api/v1/users/alice/lock").data();
  EXPECT_TRUE(locked["locked"].get<bool>());
  EXPECT_TRUE(locked["changed"].get<bool>());
  EXPECT_TRUE(WaitUntil([&] { return Call("GET", "/api/v1/sessions").data()["sessions"].empty(); }));
  EXPECT_EQ(Call("POST", "/api/v1/sessions/disconnect", ref.dump()).status, 404);
  EXPECT_FALSE(Call("POST", "/api/v1/users/alice/unlock").data()["locked"].get<bool>());
  EXPECT_EQ(Call("POST", "/api/v1/users/alice/reset").data()["counter"], 0);
  EXPECT_EQ(Call("POST", "/api/v1/users/nobody/reset").status, 404);

  const json usage = Call("GET", "/api/v1/usage").data();
  EXPECT_EQ(usage["users"].size(), 31u);
  EXPECT_TRUE(usage["service"].contains("tarvo_sessions"));

  const Answer liveChange = Call("PATCH", "/api/v1/settings",
                                 R"({"multi_connect":true,"extra":{"udp_address_restricted":true}})");
  EXPECT_EQ(liveChange.status, 200);
  EXPECT_EQ(liveChange.head.find("X-Applies"), std::string::npos) << liveChange.head;
  const json settings = Call("GET", "/api/v1/settings").data();
  EXPECT_TRUE(settings["multi_connect"].get<bool>());
  EXPECT_TRUE(settings["extra"]["udp_address_restricted"].get<bool>());
  EXPECT_NE(daemon->readFile("tarvoserver.ini").find("[UdpAddressRestricted]:yes"),
            std::string::npos);
  EXPECT_EQ(Call("PATCH", "/api/v1/settings", R"({"server_port":0})").status, 400);
  // What only a start applies is named; the rest applied as a reload would.
  const Answer moved = Call("PATCH", "/api/v1/settings",
                            R"({"extra":{"metrics_address":"127.0.0.1:1"}})");
  EXPECT_NE(moved.head.find("X-Applies: at the next start: metrics_address"), std::string::npos)
      << moved.head;
  EXPECT_TRUE(WaitUntil([&] {
    return daemon->process().stderrText().find("reload: settings read again") != std::string::npos;
  }));

  EXPECT_EQ(Call("DELETE", "/api/v1/users/alice").status, 200);
  EXPECT_EQ(Call("DELETE", "/api/v1/users/alice").status, 404);
}

TEST_F(ApiTest, RolesTokensAndPlainHttpAreHeld) {
  // tarvoadm makes tokens through the local socket and prints each once.
  const ToolRun made = RunTool(TARVOADM_PATH, daemon->home(),
                               {"token", "create", "ops", "--role", "operator"}, 1);
  ASSERT_EQ(made.exit, 0);
  const std::string operatorToken = made.output.substr(0, made.output.find('\n'));
  const std::string auditorToken =
      Https(adminToken, "POST", "/api/v1/tokens", R"({"name":"audit","role":"auditor"})")
          .data()["token"];
  EXPECT_EQ(Https(adminToken, "POST", "/api/v1/tokens", R"({"name":"audit","role":"admin"})")
                .status, 409);
  const std::string listed = RunTool(TARVOADM_PATH, daemon->home(), {"token", "list"}, 1).output;
  EXPECT_NE(listed.find("ops operator"), std::string::npos);
  // Only its hash is stored.
  EXPECT_EQ((daemon->readFile("VPNdb.sqlite3") + daemon->readFile("VPNdb.sqlite3-wal"))
                .find(operatorToken.substr(4)), std::string::npos);

  Conforms("GET", "/api/v1/tokens", Https(adminToken, "GET", "/api/v1/tokens"));
  EXPECT_EQ(Https(operatorToken, "POST", "/api/v1/users", R"({"name":"op","password":"p"})")
                .status, 201);
  EXPECT_EQ(Https(operatorToken, "PATCH", "/api/v1/settings", R"({"multi_connect":true})")
                .status, 403);
  EXPECT_EQ(Https(operatorToken, "GET", "/api/v1/tokens").status, 403);
  EXPECT_EQ(Https(auditorToken, "GET", "/api/v1/users/op").status, 200);
  EXPECT_EQ(Https(auditorToken, "POST", "/api/v1/users/op/lock").status, 403);
  EXPECT_EQ(Https(auditorToken, "DELETE", "/api/v1/users/op").status, 403);

  EXPECT_EQ(RunTool(TARVOADM_PATH, daemon->home(), {"token", "revoke", "ops"}, 1).exit, 0);
  EXPECT_EQ(Https(operatorToken, "GET", "/api/v1/users").status, 401);
  EXPECT_EQ(Https("", "GET", "/api/v1/users").status, 401);

  // A token sent in plain HTTP on the TLS listener is refused, unanswered but for that.
  UniqueFd plain = ConnectTcp(apiPort);
  const std::string request = Request("GET", "/api/v1/users", "", adminToken);
  ::send(plain.get(), request.data(), request.size(), MSG_NOSIGNAL);
  const Answer refused = Parse(ReadAll(plain.get()));
  EXPECT_EQ(refused.status, 400);
  EXPECT_EQ(refused.body.find("user"), std::string::npos);

  // Failed checks from one address hold that address only, and are in the journal.
  for (int i = 0; i < 5; ++i) Https("wrong", "GET", "/api/v1/users", "", "127.0.0.3");
  EXPECT_EQ(Https(adminToken, "GET", "/api/v1/users", "", "127.0.0.3").status, 429);
  EXPECT_EQ(Https(adminToken, "GET", "/api/v1/users").status, 200);
  EXPECT_NE(daemon->process().stderrText().find("API: GET from 127.0.0.3 refused"),
            std::string::npos);
}

// Reads an event stream until the event last arrived; the ids and "event name" of each.
std::vector<std::pair<std::uint64_t, std::string>> ReadEvents(int fd, const std::string& last) {
  std::vector<std::pair<std::uint64_t, std::string>> events;
  std::string text;
  char buffer[4096];
  while (events.empty() || events.back().second != last) {
    const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
    if (got <= 0) break;
    text.append(buffer, got);
    for (std::size_t end; (end = text.find("\n\n")) != std::string::npos;) {
      const std::string block = text.substr(0, end);
      text.erase(0, end + 2);
      const std::size_t id = block.find("id: ");
      const std::size_t data = block.find("data: ");
      if (id == std::string::npos || data == std::string::npos) continue;
      const json event = json::parse(block.substr(data + 6));
      events.emplace_back(std::stoull(block.substr(id + 4)),
                          event["event"].get<std::string>() + " " +
                              event["name"].get<std::string>());
    }
  }
  return events;
}

TEST_F(ApiTest, EventStreamResumesWithoutLossOrRepetition) {
  UniqueFd stream = ConnectLocal(socketPath());
  const std::string open = Request("GET", "/api/v1/events", "", "");
  ::send(stream.get(), open.data(), open.size(), MSG_NOSIGNAL);
  Local("POST", "/api/v1/users", R"({"name":"e1","password":"p"})");
  client::SessionClient session;
  ASSERT_TRUE(OpenSession(session, *daemon));
  ASSERT_EQ(session.login("e1", "p", kIoTimeoutMs).outcome, client::LoginOutcome::kAccepted);
  auto events = ReadEvents(stream.get(), "session_opened e1");
  ASSERT_GE(events.size(), 2u);
  EXPECT_EQ(events[0].second, "user_added e1");
  stream.reset();

  // Missed while away: the lock and the session's end; then more after the reconnect.
  Local("POST", "/api/v1/users/e1/lock");
  ASSERT_TRUE(ClosedByPeer(session.socket()));
  UniqueFd again = ConnectLocal(socketPath());
  const std::string resume = "GET /api/v1/events HTTP/1.1\r\nLast-Event-ID: " +
                             std::to_string(events.back().first) + "\r\n\r\n";
  ::send(again.get(), resume.data(), resume.size(), MSG_NOSIGNAL);
  Local("DELETE", "/api/v1/users/e1");
  const auto resumed = ReadEvents(again.get(), "user_deleted e1");
  events.insert(events.end(), resumed.begin(), resumed.end());
  std::vector<std::string> names;
  for (std::size_t i = 0; i < events.size(); ++i) {
    EXPECT_EQ(events[i].first, i + 1) << "lost or repeated: " << events[i].second;
    names.push_back(events[i].second);
  }
  EXPECT_NE(std::find(names.begin(), names.end(), "session_closed e1"), names.end());
  EXPECT_EQ(names.back(), "user_deleted e1");
}

// 64 connections from one address trickle a byte a second at the API's TCP listener, and 16
// at the metrics listener: calls from another address and on the local socket are answered.
TEST_F(ApiTest, TricklingClientsDoNotBlindEitherListener) {
  std::vector<UniqueFd> slow;
  for (int i = 0; i < 64; ++i) slow.push_back(ConnectTcp(apiPort, "127.0.0.2"));
  for (int i = 0; i < 16; ++i) slow.push_back(ConnectTcp(metricsPort, "127.0.0.2"));
  std::atomic<bool> done{false};
  std::thread trickle([&] {
    for (int second = 0; second < 8 && !done; ++second) {
      // A TLS record's first bytes at the API (a plain byte is refused at once), a request's at
      // the metrics.
      for (std::size_t i = 0; i < slow.size(); ++i) {
        const char byte = i < 64 ? (second == 0 ? '\x16' : '\x03') : 'G';
        ::send(slow[i].get(), &byte, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
      }
      for (int tick = 0; tick < 10 && !done; ++tick) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
    }
  });
  EXPECT_EQ(Https(adminToken, "GET", "/api/v1/users").status, 200);
  EXPECT_EQ(Local("GET", "/api/v1/sessions").status, 200);
  UniqueFd scrape = ConnectTcp(metricsPort);
  const std::string get = "GET /metrics HTTP/1.0\r\n\r\n";
  ::send(scrape.get(), get.data(), get.size(), MSG_NOSIGNAL);
  EXPECT_EQ(Parse(ReadAll(scrape.get())).status, 200);
  done = true;
  trickle.join();
  // The whole-request deadline ends the trickling ones, however steady their bytes.
  int closed = 0;
  for (UniqueFd& fd : slow) {
    pollfd polled{fd.get(), POLLIN, 0};
    char byte;
    if (::poll(&polled, 1, 10000) == 1 && ::recv(fd.get(), &byte, 1, 0) <= 0) ++closed;
  }
  EXPECT_EQ(closed, 80);
}

// A daemon from before kept its tokens in a file of its home: they move into the store.
class ApiLegacyTokensTest : public ApiTest {
 protected:
  static constexpr char kOldSecret[] = "tvo_kept_from_an_older_daemon";

  std::vector<std::pair<std::string, std::string>> homeFiles() const override {
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(kOldSecret), sizeof kOldSecret - 1, digest);
    std::string hex;
    for (unsigned char byte : digest) {
      hex += "0123456789abcdef"[byte >> 4];
      hex += "0123456789abcdef"[byte & 15];
    }
    return {{"tarvo-api-tokens", "old admin " + hex + " 1700000000\n"}};
  }
};

TEST_F(ApiLegacyTokensTest, TokensOfTheOldFileMoveIntoTheStore) {
  const Answer listed = Https(kOldSecret, "GET", "/api/v1/tokens");
  ASSERT_EQ(listed.status, 200) << listed.body;
  EXPECT_NE(listed.body.find("\"old\""), std::string::npos);
  EXPECT_TRUE(daemon->readFile("tarvo-api-tokens").empty());
  EXPECT_FALSE(daemon->readFile("tarvo-api-tokens.imported").empty());
  EXPECT_EQ(Https(adminToken, "DELETE", "/api/v1/tokens/old").status, 200);
  EXPECT_EQ(Https(kOldSecret, "GET", "/api/v1/tokens").status, 401);
}

}  // namespace
}  // namespace tarvo::test
