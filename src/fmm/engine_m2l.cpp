#include "fmm/engine_impl.hpp"

namespace velmora {

// The local expansions of a group of sibling targets from their entries,
// with moments referred to the root's centre (see the pass): each target
// adds its sources in the group's order, then the one correction of its
// fourth expansion.
void FmmEngine::Impl::local_from_group(int g, ThreadScratch& s) const {
  m2l_group(
      grp_first.data(), grp_ptr.data(), grp_entries.data(), grp_pair.data(), grp_order.data(), g,
      [&](int pos, int k) { return tree.cen(m2l_cells[pos], k + 1); },
      [&](int pos) { return loc_cell(m2l_cells[pos]); }, s);
}

// The local expansion of target b by the direct double sums of the passes
// (Translations::Direct), its list in order.
void FmmEngine::Impl::local_from_interactions(int b, int pos, ThreadScratch& s) const {
  Complex* acc = s.fa.data();
  Complex* src = s.fb.data();
  zero_full(acc);
  for (int i = inter_ptr[pos]; i < inter_ptr[pos + 1]; ++i) {
    const int f = inter_list[i];
    const double xh[3] = {tree.cen(b, 1) - tree.cen(f, 1), tree.cen(b, 2) - tree.cen(f, 2),
                          tree.cen(b, 3) - tree.cen(f, 3)};
    unpack(mom_cell(f), src);
    translate_m2l(src, xh, acc, s);
  }
  pack(acc, loc_cell(b));
}

}  // namespace velmora
