// How the administration tools take a password without putting it on the command line.
#pragma once

#include <string>

namespace tarvo::adm {

// The first line of the file ("-": standard input), without its line end. False when the file
// cannot be opened or read.
bool ReadPasswordFile(const std::string& path, std::string& password);

}  // namespace tarvo::adm
