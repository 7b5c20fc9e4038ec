// This process's memory and the machine's, as Linux's /proc reports them.
#pragma once

#include <cstdint>

namespace velmora {

// A "Key:   N kB" entry of a /proc file (such as /proc/meminfo or
// /proc/self/status), in bytes; -1 when the file or the entry is absent.
std::int64_t proc_kb_entry(const char* file, const char* key);

// The largest resident memory of this process so far (VmHWM), in bytes; -1
// where /proc does not say.
std::int64_t peak_resident_bytes();

}  // namespace velmora
