// The double-precision BLAS routines the solver uses, through the reference
// (Fortran) interface of the system BLAS library.  The wrappers take scalars
// by value and keep the Fortran argument order; vectors and matrices are
// column-major with the usual increments and leading dimensions.
#pragma once

#include <cstddef>

extern "C" {
void dgemv_(const char* trans, const int* m, const int* n, const double* alpha, const double* a,
            const int* lda, const double* x, const int* incx, const double* beta, double* y,
            const int* incy, std::size_t trans_len);
void dcopy_(const int* n, const double* x, const int* incx, double* y, const int* incy);
void daxpy_(const int* n, const double* alpha, const double* x, const int* incx, double* y,
            const int* incy);
double dnrm2_(const int* n, const double* x, const int* incx);
void drotg_(double* a, double* b, double* c, double* s);
void drot_(const int* n, double* x, const int* incx, double* y, const int* incy, const double* c,
           const double* s);
void dtrsv_(const char* uplo, const char* trans, const char* diag, const int* n, const double* a,
            const int* lda, double* x, const int* incx, std::size_t uplo_len,
            std::size_t trans_len, std::size_t diag_len);
int idamax_(const int* n, const double* x, const int* incx);
void dscal_(const int* n, const double* alpha, double* x, const int* incx);
double ddot_(const int* n, const double* x, const int* incx, const double* y, const int* incy);
// LAPACK (part of OpenBLAS): blocked LU with partial pivoting and its solve.
void dgetrf_(const int* m, const int* n, double* a, const int* lda, int* ipiv, int* info);
void dgetrs_(const char* trans, const int* n, const int* nrhs, const double* a, const int* lda,
             const int* ipiv, double* b, const int* ldb, int* info, std::size_t trans_len);
}

namespace velmora::blas {

inline void dgemv(char trans, int m, int n, double alpha, const double* a, int lda,
                  const double* x, int incx, double beta, double* y, int incy) {
  dgemv_(&trans, &m, &n, &alpha, a, &lda, x, &incx, &beta, y, &incy, 1);
}
inline void dcopy(int n, const double* x, int incx, double* y, int incy) {
  dcopy_(&n, x, &incx, y, &incy);
}
inline void daxpy(int n, double alpha, const double* x, int incx, double* y, int incy) {
  daxpy_(&n, &alpha, x, &incx, y, &incy);
}
inline double dnrm2(int n, const double* x, int incx) { return dnrm2_(&n, x, &incx); }
inline void drotg(double& a, double& b, double& c, double& s) { drotg_(&a, &b, &c, &s); }
inline void drot(int n, double* x, int incx, double* y, int incy, double c, double s) {
  drot_(&n, x, &incx, y, &incy, &c, &s);
}
inline void dtrsv(char uplo, char trans, char diag, int n, const double* a, int lda, double* x,
                  int incx) {
  dtrsv_(&uplo, &trans, &diag, &n, a, &lda, x, &incx, 1, 1, 1);
}
// One-based index of the first entry of largest absolute value (0 when n < 1).
inline int idamax(int n, const double* x, int incx) { return idamax_(&n, x, &incx); }
inline void dscal(int n, double alpha, double* x, int incx) { dscal_(&n, &alpha, x, &incx); }
inline double ddot(int n, const double* x, int incx, const double* y, int incy) {
  return ddot_(&n, x, &incx, y, &incy);
}

// LU factors of the n x n matrix a in place (info > 0: a zero pivot), and
// the solve of a x = b with them for one right-hand side.
inline int dgetrf(int n, double* a, int lda, int* ipiv) {
  int info = 0;
  dgetrf_(&n, &n, a, &lda, ipiv, &info);
  return info;
}
inline void dgetrs(int n, const double* a, int lda, const int* ipiv, double* b) {
  const char trans = 'N';
  const int one = 1;
  int info = 0;
  dgetrs_(&trans, &n, &one, a, &lda, ipiv, b, &n, &info, 1);
}

// Keeps the BLAS library on the calling thread: the run's own loops do the
// threading, and a single-threaded BLAS gives the same bits for any number
// of threads.
void pin_single_thread();

// pin_single_thread for the lifetime of the scope, for a caller that shares
// the process (and its BLAS) with other code: the thread count is restored
// on exit.
class SingleThreadScope {
 public:
  SingleThreadScope();
  ~SingleThreadScope();
  SingleThreadScope(const SingleThreadScope&) = delete;
  SingleThreadScope& operator=(const SingleThreadScope&) = delete;

 private:
  int saved_;
};

}  // namespace velmora::blas
