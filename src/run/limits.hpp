// Size limits of a run.
//
// Every array of the run is addressed with 32-bit integers: the item counts
// of the registrations, ndof, LWORK and the positions the GMRES solver hands
// out inside WORK are all int.  Before anything is sized from the
// parameters, each of these counts is formed in 128-bit arithmetic (no
// product of two 32-bit values can wrap there) and compared with the largest
// 32-bit integer, 2147483647.  The first count beyond it stops the run with
// one line naming the quantity, its value and the limit, e.g.
//   " Size limit exceeded: LWORK = 3 nelem (M + 6) + M (M + 3) + 1 = 2400000001,
//    more than 2147483647; stop"   (one line)
// The block itself must also fit the machine: a block larger than the
// machine's memory and swap together stops before the allocation with one
// line giving the size asked for.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "run/registry.hpp"

namespace velmora {

inline constexpr std::int64_t kMaxIndex = 2147483647;  // largest 32-bit integer

struct SizeExcess {
  std::string quantity;  // e.g. "ndof = 3 nelem"
  std::string value;     // its exact value in decimal
};

// The first count of the run (in the order ndof, LWORK, then the
// registrations in registration order) that exceeds kMaxIndex, or none.
// Counts that come out negative are left to the parameter checks.
std::optional<SizeExcess> first_size_excess(const RunScalars& s);

// Stops the run with the size-limit line when first_size_excess finds one.
void check_size_limits(const RunScalars& s);

// Bytes of physical memory plus swap of the machine; 0 when unknown.
std::int64_t machine_memory_bytes();

// Stops the run with " Out of memory: the large block a needs N bytes, ..."
// when `bytes` exceeds `machine_bytes` (a machine of unknown size, 0, is not
// judged).  The block is never touched before it is needed, so a block
// beyond memory and swap could only fail part way through the solve.
void check_block_fits(std::int64_t bytes, std::int64_t machine_bytes);

// The line written when the block cannot be had.
std::string out_of_memory_record(std::int64_t bytes, std::int64_t machine_bytes);

}  // namespace velmora
