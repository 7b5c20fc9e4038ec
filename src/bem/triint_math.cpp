#include "bem/triint_math.hpp"

#include <cmath>

#if defined(__AVX2__) && defined(__linux__)
#include <features.h>
#if defined(__GLIBC__) && __GLIBC_PREREQ(2, 35)
#define VELMORA_LIBMVEC 1
#endif
#endif

#if defined(__AVX__)
#include <immintrin.h>
#endif

#ifdef VELMORA_LIBMVEC

// glibc's AVX2 variants (vector function ABI, 4 doubles per call); they are
// resolved from libmvec, which libm's linker script pulls in as needed.
extern "C" __m256d _ZGVdN4v_log(__m256d x);
extern "C" __m256d _ZGVdN4vv_atan2(__m256d y, __m256d x);
#endif

namespace velmora {

bool triint_vector_math_available() {
#ifdef VELMORA_LIBMVEC
  return true;
#else
  return false;
#endif
}

void triint_sqrt(const double* x, double* y, int n) {
#if defined(__AVX__)
  for (int k = 0; k < n; k += kTriintLanes)
    _mm256_storeu_pd(y + k, _mm256_sqrt_pd(_mm256_loadu_pd(x + k)));
#else
  for (int k = 0; k < n; ++k) y[k] = std::sqrt(x[k]);
#endif
}

void triint_log(TriintMath path, const double* x, double* y, int n) {
#ifdef VELMORA_LIBMVEC
  if (path == TriintMath::Vector) {
    for (int k = 0; k < n; k += kTriintLanes)
      _mm256_storeu_pd(y + k, _ZGVdN4v_log(_mm256_loadu_pd(x + k)));
    return;
  }
#else
  (void)path;
#endif
  for (int k = 0; k < n; ++k) y[k] = std::log(x[k]);
}

void triint_atan2(TriintMath path, const double* y, const double* x, double* z, int n) {
#ifdef VELMORA_LIBMVEC
  if (path == TriintMath::Vector) {
    for (int k = 0; k < n; k += kTriintLanes)
      _mm256_storeu_pd(z + k, _ZGVdN4vv_atan2(_mm256_loadu_pd(y + k), _mm256_loadu_pd(x + k)));
    return;
  }
#else
  (void)path;
#endif
  for (int k = 0; k < n; ++k) z[k] = std::atan2(y[k], x[k]);
}

}  // namespace velmora
