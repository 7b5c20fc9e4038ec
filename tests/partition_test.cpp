// The partition of the leaves among processes and the product restricted to
// one process's targets: the pieces of virtual ranks, put together, are the
// whole product's bits.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "bem/shapes.hpp"
#include "fmm/engine.hpp"
#include "fmm/partition.hpp"
#include "fmm_support.hpp"

namespace velmora {
namespace {

using testing::EngineRig;
using testing::FmmSetup;
using testing::make_model;
using testing::Model;
using testing::uniform_vector;

std::vector<FmmEngine::LeafWork> leaves_of(const std::vector<std::int64_t>& work) {
  std::vector<FmmEngine::LeafWork> out;
  int pos = 1;
  for (std::int64_t w : work) {
    out.push_back({pos, pos + 2, w});
    pos += 3;
  }
  return out;
}

// Runs are contiguous, in rank order, cover every leaf once and follow the
// prefix rule: leaf i goes to rank floor(P prefix(i) / W).
TEST(Partition, ContiguousRunsByWorkPrefix) {
  const std::vector<std::int64_t> work = {5, 1, 1, 1, 8, 2, 2, 4, 0, 6};
  std::int64_t total = 0;
  for (std::int64_t w : work) total += w;
  for (int p : {1, 2, 3, 4, 7}) {
    const LeafPartition part = partition_leaves(leaves_of(work), p);
    ASSERT_EQ(part.ranks(), p);
    std::int64_t prefix = 0;
    int next = 0;
    for (int r = 0; r < p; ++r) {
      EXPECT_EQ(part.leaf_begin[r], next) << "p " << p << " rank " << r;
      std::int64_t w = 0;
      for (int i = part.leaf_begin[r]; i < part.leaf_end[r]; ++i) {
        EXPECT_EQ(static_cast<int>(prefix * p / total), r) << "p " << p << " leaf " << i;
        prefix += work[i];
        w += work[i];
      }
      EXPECT_EQ(part.work[r], w);
      if (part.leaf_end[r] > part.leaf_begin[r]) {
        EXPECT_EQ(part.first[r], 3 * part.leaf_begin[r] + 1);
        EXPECT_EQ(part.last[r], 3 * part.leaf_end[r]);
      } else {
        EXPECT_LT(part.last[r], part.first[r]);
      }
      next = part.leaf_end[r];
    }
    EXPECT_EQ(next, static_cast<int>(work.size()));
  }
  // Two leaves among four ranks: two ranks have none, and the imbalance is
  // the heavier leaf over the mean.
  const LeafPartition few = partition_leaves(leaves_of({3, 1}), 4);
  int empty = 0;
  for (int r = 0; r < 4; ++r) empty += few.leaf_end[r] == few.leaf_begin[r] ? 1 : 0;
  EXPECT_EQ(empty, 2);
  EXPECT_DOUBLE_EQ(few.imbalance(), 3.0 * 4 / 4.0);
}

// The work of the leaves counts every near-field pair of the product once.
TEST(Partition, LeafWorkCountsTheNearPairs) {
  const Model m = make_model(ellipsoid(3, 2.0, 1.0, 0.8), 0.9, 31);
  FmmSetup f(m, 20, 6);
  EngineRig rig(m, f);
  const std::vector<FmmEngine::LeafWork> lw = rig.engine.leaf_work();
  int next = 1;
  for (const auto& l : lw) {
    EXPECT_EQ(l.first, next);
    next = l.last + 1;
  }
  EXPECT_EQ(next, m.mesh.nelem + 1);
  // With the other terms known, the near-field part is the engine's count.
  std::int64_t total = 0;
  for (const auto& l : lw) total += l.work;
  EXPECT_GE(total, rig.engine.near_pairs() + 100 * static_cast<std::int64_t>(m.mesh.nelem));
  EXPECT_LE(total, rig.engine.near_pairs() + 100 * static_cast<std::int64_t>(m.mesh.nelem) +
                       1000 * rig.engine.m2l_pairs());
}

// P virtual ranks, each an engine restricted to its run of leaves: their
// entries of y put together are the whole product's bits, for the
// right-hand side and for products that fill and then read the near-field
// cache; the entries of other ranks' elements are left as they were.
TEST(DistributedProduct, VirtualRanksGiveTheWholeProductsBits) {
  const Model m = make_model(ellipsoid(3, 2.0, 1.0, 0.8), 0.9, 31);
  FmmSetup f(m, 12, 8);
  const int nelem = m.mesh.nelem;
  const std::size_t ndof = 3 * static_cast<std::size_t>(nelem);
  const std::vector<double> x1 = uniform_vector(ndof, 91), x2 = uniform_vector(ndof, 92);
  auto products = [&](FmmEngine& e) {
    e.enable_near_cache();
    std::vector<std::vector<double>> out(3, std::vector<double>(ndof, 0.0));
    e.apply(0, nullptr, out[0].data());
    e.apply(1, x1.data(), out[1].data());
    e.apply(1, x2.data(), out[2].data());
    return out;
  };
  EngineRig whole(m, f);
  const std::vector<std::vector<double>> want = products(whole.engine);
  const Tree t = f.tree.view();
  for (int p : {2, 3, 7}) {
    std::vector<std::vector<double>> got(3, std::vector<double>(ndof, -1.0));
    const LeafPartition part = partition_leaves(whole.engine.leaf_work(), p);
    std::int64_t cache = 0;
    for (int r = 0; r < p; ++r) {
      EngineRig rig(m, f);
      rig.engine.restrict_targets(part.first[r], part.last[r]);
      cache += static_cast<std::int64_t>(rig.engine.near_cache_bytes());
      const std::vector<std::vector<double>> mine = products(rig.engine);
      std::vector<char> own(static_cast<std::size_t>(nelem), 0);
      for (int pos = part.first[r]; pos <= part.last[r]; ++pos) own[t.elord(pos) - 1] = 1;
      for (int k = 0; k < 3; ++k)
        for (int e = 0; e < nelem; ++e)
          for (int c = 0; c < 3; ++c) {
            const std::size_t i = 3 * static_cast<std::size_t>(e) + c;
            if (own[e])
              got[k][i] = mine[k][i];
            else
              ASSERT_EQ(mine[k][i], 0.0) << "rank " << r << " wrote element " << e + 1;
          }
    }
    for (int k = 0; k < 3; ++k) EXPECT_EQ(got[k], want[k]) << "product " << k << ", " << p << " ranks";
    // The near-field cache is split, not copied.
    EXPECT_EQ(cache, static_cast<std::int64_t>(whole.engine.near_cache_bytes()));
  }
}

// The owner-computes moments' plan for virtual processes: what each sends
// to another is what that one expects from it, cell for cell, and every
// leaf and non-leaf cell has its moments formed once (by its owner) or by
// every process (a shared cell, across a cut).  A cell planned on one side
// only would shift every moment after it in the exchange.
TEST(DistributedProduct, MomentPlansAgreeBetweenProcesses) {
  const Model m = make_model(ellipsoid(3, 2.0, 1.0, 0.8), 0.9, 31);
  FmmSetup f(m, 12, 8);
  EngineRig rig(m, f);
  const LeafPartition whole = partition_leaves(rig.engine.leaf_work(), 1);
  const std::vector<int> all_leaves = rig.engine.moment_plan(whole.first, whole.last, 0).leaves;
  const std::vector<int> all_cells = rig.engine.moment_plan(whole.first, whole.last, 0).own_cells;
  for (int p : {2, 3, 5}) {
    const LeafPartition part = partition_leaves(rig.engine.leaf_work(), p);
    std::vector<FmmEngine::MomentPlan> plan;
    for (int r = 0; r < p; ++r) plan.push_back(rig.engine.moment_plan(part.first, part.last, r));
    std::vector<int> leaves, cells;
    std::int64_t moved = 0;
    for (int r = 0; r < p; ++r) {
      EXPECT_EQ(plan[r].shared_cells, plan[0].shared_cells) << r;
      leaves.insert(leaves.end(), plan[r].leaves.begin(), plan[r].leaves.end());
      cells.insert(cells.end(), plan[r].own_cells.begin(), plan[r].own_cells.end());
      EXPECT_TRUE(plan[r].send[r].empty() && plan[r].recv[r].empty());
      for (int q = 0; q < p; ++q) {
        EXPECT_EQ(plan[r].recv[q], plan[q].send[r]) << p << " processes, " << q << " to " << r;
        moved += static_cast<std::int64_t>(plan[r].recv[q].size());
      }
    }
    cells.insert(cells.end(), plan[0].shared_cells.begin(), plan[0].shared_cells.end());
    std::sort(leaves.begin(), leaves.end());
    std::sort(cells.begin(), cells.end());
    EXPECT_EQ(leaves, all_leaves) << p << " processes";
    EXPECT_EQ(cells, all_cells) << p << " processes";
    EXPECT_FALSE(plan[0].shared_cells.empty());
    EXPECT_GT(moved, 0);
  }
}

}  // namespace
}  // namespace velmora
