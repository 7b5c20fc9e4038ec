#include "fmm/passes.hpp"

#include <time.h>

#include <chrono>

namespace velmora {

double FmmTimers::now() const {
  if (thread_cpu) {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
  }
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace velmora
