// Matrix-vector products with a tall matrix (many rows, few columns: the
// Krylov basis of GMRES), threaded over fixed blocks of rows.
//
// The rows are cut into blocks of kTallBlock, whatever the number of
// threads, and each block goes through the single-threaded BLAS dgemv:
//   'N':  y = alpha A x + beta y, block by block (each row of y is formed
//         by the same call on the same block whichever thread makes it);
//   'C'/'T': y = beta y + alpha (sum over blocks, in block order, of the
//         block's A_b^T x_b).
// The results are therefore the same bits for any number of threads.  A
// matrix of at most kTallBlock rows is one block: one dgemv call, as
// before the threading.
#pragma once

namespace velmora::blas {

inline constexpr int kTallBlock = 1 << 16;

void dgemv_tall(char trans, int m, int n, double alpha, const double* a, int lda,
                const double* x, double beta, double* y);

}  // namespace velmora::blas
