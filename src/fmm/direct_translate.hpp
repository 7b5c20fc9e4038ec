// The expansion translations as direct double sums over degrees and orders,
// O(p^4) for multipole-to-local and O(p^4) for the other two: the reference
// forms that the upward and downward passes use, and that faster
// reformulations are checked against.
//
// All three act on single cells in the ExpanView layout of order p (four
// expansions, entry (j, m, n) at (j-1) + 4((m+p) + (2p+1) n)) and add into
// their output; the caller supplies the scratch.
#pragma once

#include "fmm/expansion.hpp"

namespace velmora {

// L += the multipole-to-local translation of M by xhat = c_B - c_F:
//   L(j,m,n) += (-1)^n sum_{n'=0..p} sum_{m'} Sbar(n+n', m+m')(xhat) M'(j,m',n'),
// M'(j) = M(j) for j = 1..3 and M'(4) = M(4) - xhat . M(1..3).  For each
// (n, m) the partial sum runs n' upwards and, within n', m' = 0, -1, +1,
// ..., -n', +n', from zero; it is then signed and added to L.
// Scratch: stab, the irregular harmonics table (irregular_table_size(p));
// cell, one cell (ExpanView cell_size(p)); acc, 8 (2p + 1) reals.
void direct_m2l_add(int p, const Complex* M, const double xhat[3], Complex* L, Complex* stab,
                    Complex* cell, double* acc);

// Mp += the moment-to-moment translation of the child's Mc by
// d = c_child - c_parent:
//   Mp(j,m,n) += sum_{n1=0..n} sum_{m1, |m-m1| <= n-n1} R(n1,m1)(d) M'(j, m-m1, n-n1),
// M'(4) = M(4) + d . M(1..3); loops n, m, n1, m1 ascending, terms added one by one.
// Scratch: rtab, the regular harmonics table; cell, one cell.
void direct_m2m_add(int p, const Complex* Mc, const double d[3], Complex* Mp, Complex* rtab,
                    Complex* cell);

// Lc += the local-to-local translation of the parent's Lp by
// d = c_child - c_parent:
//   Lc(j,m,n) += sum_{n'=n..p} sum_{m', |m'-m| <= n'-n} R(n'-n, m'-m)(d) L'(j, m', n'),
// L'(4) = L(4) - d . L(1..3); loops n, m, n', m' ascending, terms added one by one.
// Scratch: rtab, the regular harmonics table; cell, one cell.
void direct_l2l_add(int p, const Complex* Lp, const double d[3], Complex* Lc, Complex* rtab,
                    Complex* cell);

}  // namespace velmora
