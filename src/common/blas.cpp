#include "common/blas.hpp"

// Present in OpenBLAS; absent (null) with other BLAS libraries.
extern "C" void openblas_set_num_threads(int) __attribute__((weak));

namespace velmora::blas {

void pin_single_thread() {
  if (openblas_set_num_threads) openblas_set_num_threads(1);
}

}  // namespace velmora::blas
