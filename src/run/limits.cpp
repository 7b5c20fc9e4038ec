#include "run/limits.hpp"

#include <sys/sysinfo.h>

#include <algorithm>

#include "common/records.hpp"
#include "common/stop.hpp"

namespace velmora {
namespace {

using Wide = __int128;

std::string decimal(Wide v) {
  if (v == 0) return "0";
  const bool neg = v < 0;
  std::string s;
  // Digits from the lowest; the magnitude of every count formed below is
  // far from the most negative 128-bit value, so negation is safe.
  for (Wide a = neg ? -v : v; a > 0; a /= 10)
    s += static_cast<char>('0' + static_cast<int>(a % 10));
  if (neg) s += '-';
  std::reverse(s.begin(), s.end());
  return s;
}

struct Count {
  const char* quantity;
  Wide value;
};

}  // namespace

std::optional<SizeExcess> first_size_excess(const RunScalars& s) {
  const Wide nelem = s.nelem, nnode = s.nnode, m = s.m, maxl = s.maxl, maxcel = s.maxcel;
  const Wide maxdep = s.maxdep, p = s.nexp;
  const Wide ndof = 3 * nelem;
  const Wide expan = (8 * p + 4) * (p + 1);  // one cell's four expansions
  // Each count once, in the order the run forms them; registrations of a
  // single item and those repeated with the same count are not repeated.
  const Count counts[] = {
      {"ndof = 3 nelem", ndof},
      {"LWORK = 3 nelem (M + 6) + M (M + 3) + 1", ndof * (m + 6) + m * (m + 3) + 1},
      {"6 nelem (boundary conditions bc)", 6 * nelem},
      {"3 nnode (node coordinates xnode)", 3 * nnode},
      {"nelem + 1 (near-field lists ltarg, lsrc)", nelem + 1},
      {"maxcel + 1 (cell codes iccode)", maxcel + 1},
      {"8 maxcel (child cells ichild)", 8 * maxcel},
      {"maxdep + 1 (level arrays levfst, levlst, celsiz)", maxdep + 1},
      {"3 maxl (preconditioner work)", 3 * maxl},
      {"9 maxl^2 (preconditioner block, 3 maxl x 3 maxl)", 9 * maxl * maxl},
      {"(8 nexp + 4)(nexp + 1) maxcel (expansions cmom, cloc)", expan * maxcel},
      {"(2 nexp + 3)(nexp + 2) (harmonics scratch)", (2 * p + 3) * (p + 2)},
      {"3 (2 nexp + 1)(nexp + 1) (harmonics-gradient scratch)", 3 * (2 * p + 1) * (p + 1)},
      {"(4 nexp + 1)(2 nexp + 2) (irregular harmonics scratch)", (4 * p + 1) * (2 * p + 2)},
      {"(8 nexp + 4)(nexp + 1) (one cell's expansions)", expan},
  };
  for (const Count& c : counts)
    if (c.value > kMaxIndex) return SizeExcess{c.quantity, decimal(c.value)};
  return std::nullopt;
}

void check_size_limits(const RunScalars& s) {
  if (const auto e = first_size_excess(s))
    fatal_stop(fmt::list("Size limit exceeded: " + e->quantity + " = " + e->value + ", more than " +
                         std::to_string(kMaxIndex) + "; stop"));
}

std::int64_t machine_memory_bytes() {
  struct sysinfo info {};
  if (sysinfo(&info) != 0) return 0;
  const Wide unit = info.mem_unit > 0 ? info.mem_unit : 1;
  const Wide bytes = (static_cast<Wide>(info.totalram) + info.totalswap) * unit;
  return bytes > INT64_MAX ? INT64_MAX : static_cast<std::int64_t>(bytes);
}

std::string out_of_memory_record(std::int64_t bytes, std::int64_t machine_bytes) {
  std::string r = "Out of memory: the large block a needs " + std::to_string(bytes) + " bytes";
  if (machine_bytes > 0)
    r += ", the machine has " + std::to_string(machine_bytes) + " bytes of memory and swap";
  return fmt::list(r + "; stop");
}

void check_block_fits(std::int64_t bytes, std::int64_t machine_bytes) {
  if (machine_bytes > 0 && bytes > machine_bytes)
    fatal_stop(out_of_memory_record(bytes, machine_bytes));
}

}  // namespace velmora
