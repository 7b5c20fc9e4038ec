// The inner products GMRES asks for (its dots request), the same bits for
// any number of threads and of processes.
//
// z(k) = sum_i V(i, k) w(i) for k = 0..count-1, V's columns of nl entries
// (leading dimension ldv).  The entries fall in fixed blocks (the tree's
// leaves, in tree order: block j is entries blocks[j]..blocks[j+1]-1); each
// block's partial sum is formed in entry order, and the partial sums are
// added exactly (common/exact_sum.hpp), then rounded once.  The blocks do
// not depend on the threads, and with a process layer each process holds
// whole blocks (its leaves) and the exact sums are added across processes
// as integers: no step's result depends on how the blocks are shared out.
#pragma once

#include <vector>

#include "common/comm.hpp"

namespace velmora {

void block_dots(int nl, int count, const double* V, int ldv, const double* w,
                const std::vector<int>& blocks, double* z, const Comm* comm = nullptr);

}  // namespace velmora
