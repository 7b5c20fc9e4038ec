#include "fmm/engine_impl.hpp"

namespace velmora {

// The moments of a non-leaf cell: the sum of its children's, translated, in
// increasing cell order.
void FmmEngine::Impl::gather_children(int pc, ThreadScratch& s) const {
  if (kernels == Translations::Rotation) {
    double* h = mom_cell(pc);
    std::fill(h, h + hcell, 0.0);
    for (int i = child_ptr[pc]; i < child_ptr[pc + 1]; ++i) {
      const int c = child_list[i];
      const double d[3] = {tree.cen(c, 1) - tree.cen(pc, 1), tree.cen(c, 2) - tree.cen(pc, 2),
                           tree.cen(c, 3) - tree.cen(pc, 3)};
      m2m_add_half(op, mom_cell(c), d, h, s.twork.data());
    }
    return;
  }
  Complex* acc = s.fa.data();
  Complex* child = s.fb.data();
  zero_full(acc);
  for (int i = child_ptr[pc]; i < child_ptr[pc + 1]; ++i) {
    const int c = child_list[i];
    const double d[3] = {tree.cen(c, 1) - tree.cen(pc, 1), tree.cen(c, 2) - tree.cen(pc, 2),
                         tree.cen(c, 3) - tree.cen(pc, 3)};
    unpack(mom_cell(c), child);
    translate_m2m(child, d, acc, s);
  }
  pack(acc, mom_cell(pc));
}

}  // namespace velmora
