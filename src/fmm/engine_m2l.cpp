#include "fmm/engine_impl.hpp"

namespace velmora {

// The local expansions of a group of sibling targets from their entries,
// with moments referred to the root's centre (see the pass): each target
// adds its sources in the group's order, then the one correction of its
// fourth expansion.
void FmmEngine::Impl::local_from_group(int g, ThreadScratch& s) const {
  for (int pos = grp_first[g]; pos < grp_first[g + 1]; ++pos) {
    double* h = loc_cell(m2l_cells[pos]);
    std::fill(h, h + hcell, 0.0);
  }
  auto offset_to = [&](const M2LEntry& e, double xh[3]) {
    const int b = m2l_cells[e.target];
    for (int k = 0; k < 3; ++k) xh[k] = tree.cen(b, k + 1) - tree.cen(e.source, k + 1);
  };
  for (int i = grp_ptr[g]; i < grp_ptr[g + 1]; ++i) {
    const M2LEntry& e = grp_entries[i];
    double xh[3];
    offset_to(e, xh);
    double* h = loc_cell(m2l_cells[e.target]);
    const M2LOperator& o = op_of_order(grp_order[i]);
    if (grp_pair[i]) {
      const M2LEntry& f = grp_entries[++i];
      double xf[3];
      offset_to(f, xf);
      m2l_add_half_pair_origin(o, mom_cell(e.source), xh, mom_cell(f.source), xf, h,
                               loc_cell(m2l_cells[f.target]), s.twork.data());
    } else {
      m2l_add_half_origin(o, mom_cell(e.source), xh, h, s.twork.data());
    }
  }
  for (int pos = grp_first[g]; pos < grp_first[g + 1]; ++pos) {
    const int b = m2l_cells[pos];
    const double d[3] = {tree.cen(b, 1) - tree.cen(1, 1), tree.cen(b, 2) - tree.cen(1, 2),
                         tree.cen(b, 3) - tree.cen(1, 3)};
    refer_to_origin(p, d, -1.0, loc_cell(b));
  }
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
