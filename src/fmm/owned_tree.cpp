#include "fmm/owned_tree.hpp"

#include <algorithm>
#include <sstream>

#include "common/units.hpp"
#include "fmm/mktree.hpp"
#include "fmm/tree_needs.hpp"

namespace velmora {

OwnedTree::OwnedTree(int maxdep, int minlev, int maxcel, int maxl, int nelem, int nnode,
                     const double* xnode, const double* xcol, double cubfac) {
  if (maxcel <= 0) {
    // The cells the tree needs; a mesh that cannot be split within maxdep
    // gets at least one cell more than the counted ones, and MKTREE stops
    // on maxdep as a solve of it would.
    const TreeNeeds needs = count_tree(nelem, nnode, xnode, xcol, cubfac, minlev, maxl, maxdep);
    maxcel = std::max(needs.ncell, 1) + (needs.separated ? 0 : 1);
  }
  iccode_.assign(static_cast<std::size_t>(maxcel) + 1, 0);
  ielord_.assign(static_cast<std::size_t>(std::max(nelem, 1)), 0);
  ielfst_.assign(maxcel, 0);
  iellst_.assign(maxcel, 0);
  iparnt_.assign(maxcel, 0);
  ichild_.assign(8 * static_cast<std::size_t>(maxcel), 0);
  levfst_.assign(static_cast<std::size_t>(maxdep) + 1, 0);
  levlst_.assign(static_cast<std::size_t>(maxdep) + 1, 0);
  celcen_.assign(3 * static_cast<std::size_t>(maxcel), 0.0);
  celsiz_.assign(static_cast<std::size_t>(maxdep) + 1, 0.0);
  Tree& t = tree_;
  t.maxcel = maxcel;
  t.maxdep = maxdep;
  t.nlev = &nlev_;
  t.iccode = iccode_.data();
  t.ielord = ielord_.data();
  t.ielfst = ielfst_.data();
  t.iellst = iellst_.data();
  t.iparnt = iparnt_.data();
  t.ichild = ichild_.data();
  t.levfst = levfst_.data();
  t.levlst = levlst_.data();
  t.celcen = celcen_.data();
  t.celsiz = celsiz_.data();
  std::vector<int> ioct(std::max(nelem, 1)), iperm(std::max(nelem, 1));
  UnitsGuard guard;
  std::ostringstream sink;
  units().set_console(&sink);
  units().attach(6, &sink);
  MKTREE(maxdep, minlev, maxcel, maxl, nelem, nnode, t, xnode, xcol, cubfac, ioct.data(),
         iperm.data());
}

}  // namespace velmora
