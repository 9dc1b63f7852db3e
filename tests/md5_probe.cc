// Run by openssl_config_test under an OpenSSL configuration of its making: says whether the
// process's own library context offers MD5, then prints HashPassword of each argument, one a
// line.
#include <openssl/evp.h>

#include <cstdio>

#include "server/common/password_hash.h"

int main(int argc, char** argv) {
  EVP_MD* md = EVP_MD_fetch(nullptr, "MD5", nullptr);
  std::printf("default context MD5: %s\n", md != nullptr ? "yes" : "no");
  EVP_MD_free(md);
  if (!tarvo::Md5Available()) return 1;
  for (int i = 1; i < argc; ++i) std::printf("%s\n", HashPassword(argv[i]));
  return 0;
}
