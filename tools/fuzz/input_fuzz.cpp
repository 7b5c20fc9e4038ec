// Fuzz target: a whole pair of input files through reading and validation.
//
// Input: the text of input.cnd, a NUL byte, the text of input.dat (without
// a NUL the whole input is input.dat and input.cnd is a fixed good one).
// The run goes as far as the program does before the solve: the two reads
// of input.cnd, the head of input.dat, the parameter and size checks, the
// 88 registrations, then, for blocks of at most 16 MB and at most 200 tree
// levels, the allocation, the Gauss rule, the nodes and elements, the
// collocation points and the tree; a tiny model (at most 32 elements, nexp
// at most 4, at most 64 iterations) is solved to the end instead.  Stops
// (StopRun) are the normal way to refuse an input.  Properties of a tree that was built: every
// element appears once in ielord, the cell count is within maxcel and every leaf holds at most maxl
// elements.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "bem/gauss.hpp"
#include "bem/mesh.hpp"
#include "common/listread.hpp"
#include "common/stop.hpp"
#include "common/storage.hpp"
#include "fmm/mktree.hpp"
#include "fuzz_support.hpp"
#include "run/bemsol.hpp"
#include "run/program.hpp"
#include "run/registry.hpp"

using namespace velmora;
using velmora::fuzz::check;

namespace {

const char* const kDefaultCnd =
    "1.0e-8 30 0 0 1 10 1.0e-6\n"
    "12 2 4 200 4 3 1.01\n";

constexpr std::int64_t kMaxBlockUnits = (16 << 20) / 16;
constexpr int kMaxLevels = 200;

// Small enough to solve in about a millisecond.
bool tiny(const RunScalars& s) {
  const long iterations = static_cast<long>(s.m) * s.ncycle;
  return s.nelem <= 32 && s.maxcel <= 512 && s.nexp <= 4 && s.maxl <= 32 && s.m <= 32 &&
         iterations <= 64;
}

void check_tree(const RunScalars& s, const Tree& t) {
  const int ncell = t.ncell();
  check(ncell >= 1 && ncell <= s.maxcel, "1 <= ncell <= maxcel");
  std::vector<int> seen(static_cast<std::size_t>(s.nelem) + 1, 0);
  for (int k = 1; k <= s.nelem; ++k) {
    const int e = t.elord(k);
    check(e >= 1 && e <= s.nelem, "ielord holds element numbers");
    check(seen[e]++ == 0, "every element appears once in ielord");
  }
  for (int c = 1; c <= ncell; ++c) {
    bool leaf = true;
    for (int o = 1; o <= 8; ++o) leaf = leaf && t.child(c, o) == 0;
    check(t.fst(c) >= 1 && t.lst(c) <= s.nelem && t.fst(c) <= t.lst(c),
          "a cell holds a run of at least one element");
    if (leaf && c > 1) check(t.lst(c) - t.fst(c) < s.maxl, "a leaf holds at most maxl elements");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string all(reinterpret_cast<const char*>(data), size);
  const std::size_t nul = all.find('\0');
  const std::string cnd_text = nul == std::string::npos ? kDefaultCnd : all.substr(0, nul);
  const std::string dat_text = nul == std::string::npos ? all : all.substr(nul + 1);

  velmora::fuzz::QuietUnits quiet;
  try {
    ListReader cnd = ListReader::from_text("input.cnd", cnd_text);
    ListReader dat = ListReader::from_text("input.dat", dat_text);
    RunScalars s;
    read_control(cnd, s);
    read_model_head(dat, s);
    check_parameters(s);
    Block a;
    register_variables(a, RunSizes{s.nelem, s.nnode, s.lwork, s.maxl, s.maxcel, s.maxdep, s.nexp});
    check(a.nvar() - 1 == kNumVars, "88 variables are registered");
    if (a.units_registered() > kMaxBlockUnits || s.maxdep > kMaxLevels) return 0;
    a.allocate();
    store_scalars(a, s);
    // The solution driver's first four steps.
    if (!gauss_rule(s.ngauss, a.var<double>(kVarGpt), a.var<double>(kVarGwt))) return 0;
    if (tiny(s)) {
      // A model this small is solved completely: the integration, the
      // multipole passes, GMRES and the result records with whatever
      // geometry the input gives.
      BEMSOL(a, dat);
      return 0;
    }
    read_mesh(a, dat);
    collocation_points(s.nelem, s.nnode, a.var<int>(kVarIelem), a.var<double>(kVarXnode),
                       a.var<double>(kVarXcol));
    const MeshView mesh = mesh_in_block(a);
    const Tree tree = tree_in_block(a);
    MKTREE(s.maxdep, s.minlev, s.maxcel, s.maxl, s.nelem, s.nnode, tree, mesh.xnode, mesh.xcol,
           s.cubfac, a.var<int>(kVarIoct), a.var<int>(kVarIperm));
    check_tree(s, tree);
  } catch (const StopRun&) {
  }
  return 0;
}
