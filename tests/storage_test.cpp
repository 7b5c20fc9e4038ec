// The storage block, its registration table and the memory report.
#include "common/storage.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>

#include "common/records.hpp"
#include "common/stop.hpp"
#include "common/units.hpp"
#include "registration_table.hpp"
#include "run/registry.hpp"
#include "stop_record.hpp"

namespace velmora {
namespace {

// REGVAR returns consecutive start units, rounding every variable up to whole 16-byte units.
TEST(StorageBlock, RegvarRoundsToUnits) {
  Block a;
  EXPECT_EQ(a.regvar(4, 1), 1);   // 4 bytes: 1 unit
  EXPECT_EQ(a.regvar(8, 0), 2);   // empty: still 1 unit
  EXPECT_EQ(a.regvar(4, 4), 3);   // 16 bytes: 1 unit
  EXPECT_EQ(a.regvar(4, 5), 4);   // 20 bytes: 2 units
  EXPECT_EQ(a.regvar(16, 3), 6);  // 3 complex: 3 units
  EXPECT_EQ(a.regvar(8, 1), 9);
  EXPECT_EQ(a.nvar(), 7);
  EXPECT_EQ(a.units_registered(), 9);
  EXPECT_EQ(a.ia(4), 4);
  a.allocate();
  ASSERT_TRUE(a.allocated());
  for (int k = 1; k <= 6; ++k)
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(a.var<char>(k)) % 16, 0u) << "variable " << k;
  EXPECT_EQ(a.var<char>(6) - a.var<char>(1), 8 * 16);
}

// The 90th registration stops the run with the maxia message; 89 are accepted.
TEST(StorageBlock, MaxiaStop) {
  Block a;
  for (int k = 1; k <= 89; ++k) a.regvar(8, 1);
  EXPECT_EQ(test::stop_record([&] { a.regvar(8, 1); }), " # Parameter maxia is too small; stop\n");
  EXPECT_THROW(a.regvar(8, 1), StopRun);  // and the table is not written past its end
}

// The 88 registrations match an independent table: every start unit, the total and the report.
TEST(Registration, MatchesIndependentTable) {
  struct Sizes {
    int nelem, nnode, m, maxl, maxcel, maxdep, nexp;
  };
  const Sizes cases[] = {{1280, 642, 30, 40, 20000, 12, 8},
                         {1, 3, 1, 1, 1, 0, 0},
                         {7, 5, 3, 3, 17, 5, 1},
                         {100000, 50002, 50, 60, 200000, 20, 12},
                         {33, 19, 0, 2, 9, 1, 3}};
  for (const Sizes& s : cases) {
    const std::int64_t lwork = testing::lwork_of(s.nelem, s.m);
    Block a;
    register_variables(
        a, RunSizes{s.nelem, s.nnode, static_cast<int>(lwork), s.maxl, s.maxcel, s.maxdep, s.nexp});
    const auto table =
        testing::registration_table(s.nelem, s.nnode, lwork, s.maxl, s.maxcel, s.maxdep, s.nexp);
    ASSERT_EQ(table.size(), 88u);
    EXPECT_EQ(a.nvar() - 1, 88);
    std::int64_t next = 1;
    for (int k = 1; k <= 88; ++k) {
      EXPECT_EQ(a.ia(k), next) << "registration " << k << " nelem " << s.nelem;
      next += testing::units_of(table[k - 1]);
    }
    EXPECT_EQ(a.units_registered(), next - 1);
    // Memory report: bytes / 10^6 as F12.1.
    const double mb = static_cast<double>((next - 1) * 16) / 1e6;
    EXPECT_EQ(fmt::F(block_megabytes(a), 12, 1), fmt::F(mb, 12, 1));
  }
}

// The sphere example's block is dominated by the two expansion arrays (391.68 Mb of ~395).
TEST(Registration, SphereExampleFigure) {
  Block a;
  register_variables(
      a, RunSizes{1280, 642, static_cast<int>(testing::lwork_of(1280, 30)), 40, 20000, 12, 8});
  // cmom and cloc: 68 * 9 * 20000 complex numbers of 16 bytes each.
  const std::int64_t expansions = 2 * 68 * 9 * 20000;
  EXPECT_EQ(a.ia(kVarCloc) - a.ia(kVarCmom), expansions / 2);
  EXPECT_GT(expansions * 16, a.units_registered() * 16 * 99 / 100);
  EXPECT_GT(block_megabytes(a), 391.68);
  EXPECT_LT(block_megabytes(a), 400.0);
}

// The nineteen scalars go to registrations 1..19 and read back unchanged; 4 receives 0.
TEST(Registration, ScalarsRoundTrip) {
  Block a;
  register_variables(a, RunSizes{4, 4, static_cast<int>(testing::lwork_of(4, 2)), 2, 10, 3, 2});
  a.allocate();
  RunScalars s;
  s.nelem = 4, s.nnode = 4, s.mu = 0.25, s.snaptol = 1e-9, s.m = 2, s.unused1 = -3;
  s.unused2 = 7, s.iprec = 3, s.ncycle = 11, s.lwork = 99, s.tol = 1e-7, s.maxdep = 3;
  s.minlev = 2, s.maxl = 2, s.maxcel = 10, s.nexp = 2, s.ngauss = 16, s.cubfac = 1.25;
  *a.var<double>(kVarZero) = 5.0;
  store_scalars(a, s);
  const RunScalars r = load_scalars(a);
  EXPECT_EQ(*a.var<double>(kVarZero), 0.0);
  EXPECT_EQ(r.nelem, 4);
  EXPECT_EQ(r.mu, 0.25);
  EXPECT_EQ(r.snaptol, 1e-9);
  EXPECT_EQ(r.unused1, -3);
  EXPECT_EQ(r.unused2, 7);
  EXPECT_EQ(r.iprec, 3);
  EXPECT_EQ(r.ncycle, 11);
  EXPECT_EQ(r.lwork, 99);
  EXPECT_EQ(r.tol, 1e-7);
  EXPECT_EQ(r.minlev, 2);
  EXPECT_EQ(r.ngauss, 16);
  EXPECT_EQ(r.cubfac, 1.25);
  // Each scalar owns its unit: the int of registration 1 and the real of 3 do not overlap.
  EXPECT_EQ(a.ia(kVarMu) - a.ia(kVarNelem), 2);
}

}  // namespace
}  // namespace velmora
