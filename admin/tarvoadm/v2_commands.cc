// tarvoadm fingerprint | enrol NAME --host HOST: what an administrator hands a user of
// protocol v2. The fingerprint is read from the public key the daemon writes in its home at
// every start; the port comes from the daemon's settings.
#include <unistd.h>

#include <string>

#include "admin/tarvoadm/command.h"
#include "platform/home.h"
#include "server/common/tls_identity.h"
#include "server/common/v2_wire.h"

namespace tarvo::adm {

namespace {

constexpr char kPublicKeyFileName[] = "tarvoserver-tls.pub";

std::optional<int> ReadFingerprint(const Context& context, std::string& fingerprint) {
  std::string path;
  if (!HomeFilePath(kPublicKeyFileName, path)) return Fail(context, kRefused, "no home directory");
  fingerprint = FingerprintOfPublicKeyFile(path);
  if (fingerprint.empty()) {
    return Fail(context, kRefused,
                "cannot read the server's public key " + path + " (the daemon writes it when it starts)");
  }
  return std::nullopt;
}

}  // namespace

int FingerprintCommand(Context& context) {
  if (!context.args.empty()) return UsageError(context, "fingerprint takes no arguments");
  std::string fingerprint;
  if (auto failed = ReadFingerprint(context, fingerprint)) return *failed;
  return Done(context, fingerprint, {{"fingerprint", fingerprint}});
}

int EnrolCommand(Context& context) {
  const auto& args = context.args;
  Enrolment enrolment;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--host" && i + 1 < args.size()) {
      enrolment.host = args[++i];
    } else if (enrolment.user.empty() && !args[i].starts_with("--")) {
      enrolment.user = args[i];
    } else {
      return UsageError(context, "enrol wants NAME --host HOST");
    }
  }
  if (enrolment.user.empty() || enrolment.host.empty()) {
    return UsageError(context, "enrol wants NAME --host HOST (the address clients reach)");
  }
  if (auto failed = ReadFingerprint(context, enrolment.fingerprint)) return *failed;
  if (auto failed = Connect(context)) return *failed;
  SettingsRecord settings{};
  if (context.client->CtlGetSettings(settings) != CTL_OK || !context.client->lastDelivered()) {
    return NotDelivered(context);
  }
  enrolment.port = static_cast<std::uint16_t>(settings.ServerPort & 0xFFFF);
  const std::string line = FormatEnrolment(enrolment);
  return Done(context, line, {{"enrolment", line}, {"fingerprint", enrolment.fingerprint}});
}

}  // namespace tarvo::adm
