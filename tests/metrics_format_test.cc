// The metrics' pieces that need no daemon: label escaping, the text the writer makes as the
// tools' parser reads it back, the endpoint's address rule, the busy meter and the histogram.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <sys/socket.h>

#include <chrono>
#include <cmath>

#include "console/control_client/service_metrics.h"
#include "platform/busy_meter.h"
#include "server/service/metrics/http_server.h"
#include "server/service/metrics/metrics_server.h"
#include "server/service/metrics/metrics_text.h"
#include "server/service/base/service_counters.h"

namespace tarvo {
namespace {

TEST(MetricsText, LabelValuesAreEscapedAndMadeValidUtf8) {
  EXPECT_EQ(EscapeLabelValue("alice"), "alice");
  EXPECT_EQ(EscapeLabelValue("CORP\\bob"), "CORP\\\\bob");
  EXPECT_EQ(EscapeLabelValue("say \"hi\"\nbye"), "say \\\"hi\\\"\\nbye");
  EXPECT_EQ(EscapeLabelValue("J\xC3\xBCrgen"), "J\xC3\xBCrgen");  // kept as written
  // A Latin-1 byte, a cut sequence, an overlong slash and a surrogate each become U+FFFD.
  EXPECT_EQ(EscapeLabelValue("J\xFCrgen"), "J\xEF\xBF\xBDrgen");
  EXPECT_EQ(EscapeLabelValue("x\xE2\x82"), "x\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(EscapeLabelValue("\xC0\xAF"), "\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(EscapeLabelValue("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(MetricsText, WhatTheWriterWritesTheToolsReadBack) {
  MetricsWriter out;
  out.family("tarvo_user_relayed_bytes_total", "counter", "Bytes per user.");
  out.sample("tarvo_user_relayed_bytes_total", {{"user", "a \"b\"\\c\n"}, {"direction", "down"}},
             std::uint64_t{18446744073709551615u});
  out.family("tarvo_ratio", "gauge", "A share.");
  out.sample("tarvo_ratio", {}, 0.25);
  MetricsReading reading;
  std::string error;
  ASSERT_TRUE(ParseMetricsText(out.text(), reading, &error)) << error << "\n" << out.text();
  ASSERT_EQ(reading.samples.size(), 2u);
  EXPECT_EQ(reading.samples[0].labels[0].second, "a \"b\"\\c\n");
  EXPECT_EQ(reading.value("tarvo_user_relayed_bytes_total", {{"direction", "down"}}),
            18446744073709551615.0);
  EXPECT_EQ(reading.value("tarvo_ratio"), 0.25);
  EXPECT_FALSE(reading.value("tarvo_ratio", {{"kind", "tcp"}}).has_value());
  ASSERT_EQ(reading.families.size(), 2u);
  EXPECT_EQ(reading.families[0].type, "counter");
  EXPECT_EQ(reading.families[1].help, "A share.");
}

TEST(MetricsText, TheParserNamesTheLineItCannotRead) {
  MetricsReading reading;
  std::string error;
  EXPECT_TRUE(ParseMetricsText("# a comment\n\nx 1\ny{a=\"1\",b=\"2\"} +Inf 1700000000\n",
                               reading, &error));
  EXPECT_EQ(reading.sum("y"), HUGE_VAL);
  EXPECT_FALSE(ParseMetricsText("x 1\ny{a=\"1} 2\n", reading, &error));
  EXPECT_EQ(error, "line 2: a label value does not end");
  EXPECT_FALSE(ParseMetricsText("x one\n", reading, &error));
  EXPECT_EQ(error, "line 1: the value is no number");
  EXPECT_FALSE(ParseMetricsText("{a=\"1\"} 2\n", reading, &error));
  EXPECT_FALSE(ParseMetricsText("x\n", reading, &error));
}

TEST(MetricsAddress, OnlyALoopbackAddressAndARealPortAreServed) {
  sockaddr_in address{};
  std::string error;
  ASSERT_TRUE(ParseMetricsAddress("127.0.0.1:9473", address, &error)) << error;
  EXPECT_EQ(ntohs(address.sin_port), 9473);
  EXPECT_TRUE(ParseMetricsAddress("127.1.2.3:1", address, &error));
  ASSERT_TRUE(ParseMetricsAddress("localhost:80", address, &error));
  EXPECT_EQ(address.sin_addr.s_addr, ::inet_addr("127.0.0.1"));
  EXPECT_FALSE(ParseMetricsAddress("0.0.0.0:9473", address, &error));
  EXPECT_NE(error.find("loopback"), std::string::npos);
  EXPECT_FALSE(ParseMetricsAddress("192.0.2.1:9473", address, &error));
  for (const char* bad : {"127.0.0.1", "127.0.0.1:", "127.0.0.1:0", "127.0.0.1:65536",
                          "127.0.0.1:94x", "::1:9473", "host:9473"}) {
    EXPECT_FALSE(ParseMetricsAddress(bad, address, &error)) << bad;
  }
}

TEST(BusyMeter, TheShareCoversTheLastTenWholeSecondsAndASpanIsSharedOut) {
  using Clock = BusyMeter::Clock;
  using std::chrono::milliseconds;
  const Clock::time_point base{std::chrono::seconds(1000)};
  BusyMeter meter;
  // 250 ms of work in each of ten seconds: a quarter.
  for (int s = 0; s < 10; ++s) {
    meter.add(base + std::chrono::seconds(s), base + std::chrono::seconds(s) + milliseconds(250));
  }
  EXPECT_DOUBLE_EQ(meter.recentShare(base + std::chrono::seconds(10)), 0.25);
  EXPECT_EQ(meter.totalNanoseconds(), 2'500'000'000u);
  // The second under way does not count yet; a second-old window forgets the first second.
  EXPECT_DOUBLE_EQ(meter.recentShare(base + std::chrono::seconds(11)), 0.225);
  // Idle for a long time: nothing of the old work is left in the window.
  EXPECT_DOUBLE_EQ(meter.recentShare(base + std::chrono::seconds(100)), 0.0);
  // One batch from 100.5 s to 102.5 s: half of 100, all of 101, half of 102.
  BusyMeter spanning;
  spanning.add(base + milliseconds(100'500), base + milliseconds(102'500));
  EXPECT_DOUBLE_EQ(spanning.recentShare(base + std::chrono::seconds(102)), 0.15);
  EXPECT_DOUBLE_EQ(spanning.recentShare(base + std::chrono::seconds(103)), 0.2);
}

TEST(LatencyHistogram, ObservationsLandInTheFirstBucketThatHoldsThem) {
  LatencyHistogram histogram;
  histogram.observe(std::chrono::microseconds(500));  // exactly the first bound
  histogram.observe(std::chrono::milliseconds(3));
  histogram.observe(std::chrono::seconds(30));  // past every bound
  const auto reading = histogram.read();
  EXPECT_EQ(reading.cumulative[0], 1u);
  EXPECT_EQ(reading.cumulative[2], 1u);  // 2.5 ms
  EXPECT_EQ(reading.cumulative[3], 2u);  // 5 ms
  EXPECT_EQ(reading.cumulative[kLatencyBounds.size() - 1], 2u);
  EXPECT_EQ(reading.cumulative.back(), 3u);
  EXPECT_NEAR(reading.sumSeconds, 30.0035, 1e-9);
}


// A stream with no events ever: what reaches the client is the server's own keep-alives.
class SilentStream final : public HttpStreamSource {
 public:
  std::string next(std::uint64_t&) override { return {}; }
  void addWaker(int) override {}
  void removeWaker(int) override {}
};

TEST(HttpServer, AQuietEventStreamGetsKeepAliveComments) {
  SilentStream silent;
  HttpLimits limits;
  limits.streamKeepAlive = std::chrono::milliseconds(50);
  HttpServer server(
      "test", [&](const HttpRequest&) {
        HttpResponse response;
        response.stream = &silent;
        return response;
      },
      limits, nullptr, std::nullopt);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  UniqueFd listener = ListenTcp(address, nullptr);
  ASSERT_TRUE(listener);
  socklen_t length = sizeof address;
  ASSERT_EQ(::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length), 0);
  ASSERT_TRUE(server.start(std::move(listener), nullptr));

  UniqueFd client(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  ASSERT_EQ(::connect(client.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  const timeval bound{10, 0};
  ::setsockopt(client.get(), SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
  const std::string request = "GET /events HTTP/1.1\r\nHost: x\r\n\r\n";
  ASSERT_EQ(::send(client.get(), request.data(), request.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(request.size()));
  std::string seen;
  char buffer[512];
  while (seen.find(": keep-alive\n\n") == std::string::npos) {
    const ssize_t got = ::recv(client.get(), buffer, sizeof buffer, 0);
    ASSERT_GT(got, 0) << "the stream ended or stayed silent; so far: " << seen;
    seen.append(buffer, static_cast<std::size_t>(got));
  }
  EXPECT_NE(seen.find("text/event-stream"), std::string::npos);
  server.stop();
}

}  // namespace
}  // namespace tarvo
