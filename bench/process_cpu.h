// CPU time of a process for the bench tools: every thread's, in nanoseconds, from
// /proc/PID/task/*/schedstat (finer than the clock ticks of /proc/PID/stat).
#pragma once

#include <dirent.h>
#include <sys/types.h>

#include <fstream>
#include <string>

namespace tarvo::bench {

// -1 when the process cannot be read.
inline long long ProcessCpuNs(pid_t pid) {
  const std::string dir = "/proc/" + std::to_string(pid) + "/task";
  DIR* tasks = ::opendir(dir.c_str());
  if (tasks == nullptr) return -1;
  long long total = 0;
  while (dirent* entry = ::readdir(tasks)) {
    if (entry->d_name[0] == '.') continue;
    std::ifstream file(dir + "/" + entry->d_name + "/schedstat");
    long long ns = 0;
    if (file >> ns) total += ns;
  }
  ::closedir(tasks);
  return total;
}

}  // namespace tarvo::bench
