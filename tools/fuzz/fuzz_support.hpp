// Shared pieces of the libFuzzer targets: silenced units and a check that
// reports a broken property and aborts (libFuzzer then keeps the input).
#pragma once

#include <cstdio>
#include <cstdlib>
#include <ostream>

#include "common/units.hpp"

namespace velmora::fuzz {

// Console, error stream and every unit write into a stream without a
// buffer: the records are formatted as in a run and then dropped.
class QuietUnits {
 public:
  QuietUnits() {
    units().reset();
    units().set_console(&null_);
    units().set_error(&null_);
  }

 private:
  UnitsGuard guard_;
  std::ostream null_{nullptr};
};

// Aborts with a message when a property that must hold for every input
// does not.
inline void check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "property violated: %s\n", what);
  std::abort();
}

}  // namespace velmora::fuzz
