// The record a program's entry writes for the stop that `body` raises: the
// StopRun's message and a line end.  The library itself writes nothing to
// the error stream for a stop; that is checked on every call.
#pragma once

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "common/stop.hpp"
#include "common/units.hpp"

namespace velmora::test {

template <class F>
std::string stop_record(F&& body) {
  UnitsGuard guard;
  std::ostringstream err;
  units().set_error(&err);
  std::string record;
  try {
    body();
    ADD_FAILURE() << "no stop";
  } catch (const StopRun& stop) {
    record = std::string(stop.what()) + "\n";
  }
  EXPECT_EQ(err.str(), "") << "the library wrote to the error stream itself";
  return record;
}

}  // namespace velmora::test
