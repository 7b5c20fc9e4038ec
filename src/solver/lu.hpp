// Dense LU factorisation with partial pivoting and its solve.
//
// Column-oriented Gaussian elimination: for each column k the pivot is the
// first entry of largest magnitude in A(k..n, k) (IDAMAX), the multipliers
// -A(i,k)/A(k,k) are stored below the diagonal (DSCAL), and the pivot row
// exchange and the elimination are applied column by column (DAXPY).  A is
// column-major with leading dimension lda; ipvt is one-based.
#pragma once

namespace velmora {

// Factors A in place; info = 0, or the index k of a zero pivot (the
// factorisation goes on past it).
void lufact(double* a, int lda, int n, int* ipvt, int& info);

// Solves A x = b with the factors of lufact, b overwritten by x.  job = 0
// solves with A; any other job solves with A transposed.
void lusolv(const double* a, int lda, int n, const int* ipvt, double* b, int job);

}  // namespace velmora
