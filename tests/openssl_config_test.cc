// The crypto the daemon needs under OpenSSL configurations that take the default provider's
// algorithms away from the process's library context: MD5 for session keys stays available,
// and a daemon without AES says so at start instead of stopping at a login.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "tests/install_layout.h"
#include "tests/test_vectors.h"

namespace tarvo::test {
namespace {

struct Configuration {
  const char* name;
  const char* text;
};

// Both leave the process's context without MD5 or AES: no FIPS provider is installed, and
// with providers listed the default one is not loaded on its own.
const Configuration kConfigurations[] = {
    {"FipsProperties",
     "openssl_conf = openssl_init\n"
     "[openssl_init]\nalg_section = algorithm_sect\n"
     "[algorithm_sect]\ndefault_properties = fips=yes\n"},
    {"BaseProviderOnly",
     "openssl_conf = openssl_init\n"
     "[openssl_init]\nproviders = provider_sect\n"
     "[provider_sect]\nbase = base_sect\n"
     "[base_sect]\nactivate = 1\n"},
};

void PrintTo(const Configuration& configuration, std::ostream* out) { *out << configuration.name; }

class OpenSslConfigTest : public ::testing::TestWithParam<Configuration> {
 protected:
  void SetUp() override {
    config_ = dir_.path() + "/openssl.cnf";
    ASSERT_TRUE(WriteText(config_, GetParam().text));
  }
  TempDir dir_;
  std::string config_;
};

TEST_P(OpenSslConfigTest, HashPasswordStillMeetsTheVectors) {
  std::vector<std::string> argv = {MD5_PROBE_PATH};
  std::vector<std::string> expected = {"default context MD5: no"};
  for (const auto& v : Vectors()["hash_password_raw"]) {
    argv.push_back(v["input_text"].get<std::string>());
    expected.push_back(v["hash_text"].get<std::string>());
  }
  for (const auto& v : Vectors()["session_keys"]) {
    const Bytes expanded = FromHex(v["expanded_hex"].get<std::string>());
    argv.emplace_back(expanded.begin(), expanded.end());
    expected.push_back(v["session_key_text"].get<std::string>());
  }
  std::string lines;
  for (const std::string& line : expected) lines += line + "\n";

  const ProgramResult result = RunWithEnv(argv, {{"OPENSSL_CONF", config_}}, dir_.path());
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, lines);
}

TEST_P(OpenSslConfigTest, DaemonWithoutAesSaysSoAtStart) {
  TempDir home;
  DaemonProcess daemon(home.path());
  ASSERT_TRUE(daemon.writeSettings(FreeLoopbackPort()));
  daemon.setEnv("OPENSSL_CONF", config_);
  ASSERT_TRUE(daemon.start());
  EXPECT_EQ(daemon.waitExit(), 1);
  EXPECT_EQ(daemon.stderrText(),
            "TarvoServer: OpenSSL offers no AES-256-ECB under its configuration; no client can "
            "be served\n");
}

std::string ConfigurationName(const ::testing::TestParamInfo<Configuration>& tested) {
  return tested.param.name;
}

INSTANTIATE_TEST_SUITE_P(Configurations, OpenSslConfigTest, ::testing::ValuesIn(kConfigurations),
                         ConfigurationName);

}  // namespace
}  // namespace tarvo::test
