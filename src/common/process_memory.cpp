#include "common/process_memory.hpp"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace velmora {

std::int64_t proc_kb_entry(const char* file, const char* key) {
  std::ifstream in(file);
  std::string line;
  const std::size_t n = std::strlen(key);
  while (std::getline(in, line))
    if (line.compare(0, n, key) == 0 && line.size() > n && line[n] == ':')
      return 1024 * std::atoll(line.c_str() + n + 1);
  return -1;
}

std::int64_t peak_resident_bytes() { return proc_kb_entry("/proc/self/status", "VmHWM"); }

}  // namespace velmora
