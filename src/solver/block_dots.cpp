#include "solver/block_dots.hpp"

#include <omp.h>

#include <algorithm>
#include <cstdint>
#include <limits>

#include "common/exact_sum.hpp"

namespace velmora {

void block_dots(int nl, int count, const double* V, int ldv, const double* w,
                const std::vector<int>& blocks, double* z, const Comm* comm) {
  (void)nl;
  if (count <= 0) return;
  const int nb = static_cast<int>(blocks.size()) - 1;
  const int nth = std::max(1, omp_get_max_threads());
  // One exact sum per thread and column; the threads' sums are then added
  // (exactly: in any order).
  std::vector<ExactSum> part(static_cast<std::size_t>(nth) * count);
#pragma omp parallel num_threads(nth)
  {
    ExactSum* mine = part.data() + static_cast<std::size_t>(omp_get_thread_num()) * count;
#pragma omp for schedule(static)
    for (int j = 0; j < nb; ++j) {
      const int i0 = blocks[j], i1 = blocks[j + 1];
      for (int k = 0; k < count; ++k) {
        const double* v = V + static_cast<std::int64_t>(k) * ldv;
        double s = 0.0;
        for (int i = i0; i < i1; ++i) s += v[i] * w[i];
        mine[k].add(s);
      }
    }
  }
  std::vector<ExactSum> total(static_cast<std::size_t>(count));
  for (int t = 0; t < nth; ++t)
    for (int k = 0; k < count; ++k) total[k].add(part[static_cast<std::size_t>(t) * count + k]);
  if (comm != nullptr && comm->distributed()) {
    // Every process's sums, added exactly; a non-finite term gives NaN.
    add_across(total.data(), count, *comm);
    for (int k = 0; k < count; ++k)
      z[k] = total[k].has_non_finite() ? std::numeric_limits<double>::quiet_NaN() : total[k].value();
    return;
  }
  for (int k = 0; k < count; ++k) z[k] = total[k].value();
}

}  // namespace velmora
