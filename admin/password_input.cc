#include "admin/password_input.h"

#include <fstream>
#include <iostream>

namespace tarvo::adm {

bool ReadPasswordFile(const std::string& path, std::string& password) {
  std::ifstream file;
  std::istream* in = &std::cin;
  if (path != "-") {
    file.open(path);
    if (!file) return false;
    in = &file;
  }
  if (!std::getline(*in, password)) password.clear();
  if (!password.empty() && password.back() == '\r') password.pop_back();
  return !in->bad();
}

}  // namespace tarvo::adm
