#include "fmm/engine_impl.hpp"

namespace velmora {

// loc(b) += the parent's local expansion moved to b's centre.
void FmmEngine::Impl::local_from_parent(int b, ThreadScratch& s) const {
  const int pc = tree.parent(b);
  const double d[3] = {tree.cen(b, 1) - tree.cen(pc, 1), tree.cen(b, 2) - tree.cen(pc, 2),
                       tree.cen(b, 3) - tree.cen(pc, 3)};
  if (kernels == Translations::Rotation) {
    l2l_add_half(op, loc_cell(pc), d, loc_cell(b), s.twork.data());
    return;
  }
  Complex* acc = s.fa.data();
  Complex* parent = s.fb.data();
  unpack(loc_cell(b), acc);
  unpack(loc_cell(pc), parent);
  translate_l2l(parent, d, acc, s);
  pack(acc, loc_cell(b));
}

}  // namespace velmora
