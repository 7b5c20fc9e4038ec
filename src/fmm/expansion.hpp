// Multipole and local expansion arrays.
//
// cmom and cloc hold, per cell, four complex expansions of degree p:
// entry (j, m, n, B) with j = 1..4, m = -p..p, n = 0..p, B = 1..maxcel, j
// fastest, then m, then n, then the cell.  Only |m| <= n is used.  j = 1..3
// are the expansions of the three force-like densities, j = 4 that of the
// scalar density formed with the position relative to the cell centre.
#pragma once

#include <complex>
#include <cstddef>

namespace velmora {

using Complex = std::complex<double>;

template <class C>
class ExpanView {
 public:
  ExpanView() = default;
  ExpanView(C* first, int p) : p_(first), order_(p) {}
  static std::ptrdiff_t cell_size(int p) { return 4 * static_cast<std::ptrdiff_t>(2 * p + 1) * (p + 1); }
  C& operator()(int j, int m, int n, int cell) const {
    return p_[(j - 1) + 4 * ((m + order_) + (2 * order_ + 1) * (n + (order_ + 1) * static_cast<std::ptrdiff_t>(cell - 1)))];
  }
  C* cell(int c) const { return p_ + cell_size(order_) * (c - 1); }
  int order() const { return order_; }

 private:
  C* p_ = nullptr;
  int order_ = 0;
};

}  // namespace velmora
