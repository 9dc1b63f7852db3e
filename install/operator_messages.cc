#include "install/operator_messages.h"

#include <cstdio>

namespace tarvo::install {

void ShowInformation(const std::string& text) {
  std::fprintf(stdout, "%s\n", text.c_str());
  std::fflush(stdout);
}

void ShowError(const std::string& text) {
  std::fprintf(stderr, "%s\n", text.c_str());
  std::fflush(stderr);
}

}  // namespace tarvo::install
