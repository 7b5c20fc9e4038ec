// Matrix-vector products with a tall matrix (many rows, few columns: the
// Krylov basis of GMRES), threaded over fixed blocks of rows.
//
//   'N':  y = alpha A x + beta y, each row by the same operations whatever
//         its place, the number of rows and the threads: t = the sum over
//         the columns in order of A(i, k) x(k) (a product, then an
//         addition: no fused multiply-add), then y(i) = alpha t (beta 0)
//         or beta y(i) + alpha t.  A piece of the rows (a process's share
//         of GMRES's vectors) thus gets the bits of the whole;
//   'C'/'T': the rows cut into blocks of kTallBlock, whatever the number of
//         threads, each block through the single-threaded BLAS dgemv, and
//         y = beta y + alpha (sum over blocks, in block order, of the
//         block's A_b^T x_b); a matrix of at most kTallBlock rows is one
//         block, one dgemv call.
// The results are therefore the same bits for any number of threads.
//
// axpy_rows: y(i) += alpha x(i), a product then an addition, likewise the
// same bits for every entry wherever it lies.
#pragma once

namespace velmora::blas {

inline constexpr int kTallBlock = 1 << 16;

void dgemv_tall(char trans, int m, int n, double alpha, const double* a, int lda,
                const double* x, double beta, double* y);
void axpy_rows(int n, double alpha, const double* x, double* y);

}  // namespace velmora::blas
