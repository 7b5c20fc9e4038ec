#include "common/blas.hpp"

// Present in OpenBLAS; absent (null) with other BLAS libraries.
extern "C" void openblas_set_num_threads(int) __attribute__((weak));
extern "C" int openblas_get_num_threads() __attribute__((weak));

namespace velmora::blas {

void pin_single_thread() {
  if (openblas_set_num_threads) openblas_set_num_threads(1);
}

SingleThreadScope::SingleThreadScope()
    : saved_(openblas_get_num_threads && openblas_set_num_threads ? openblas_get_num_threads()
                                                                  : 0) {
  pin_single_thread();
}

SingleThreadScope::~SingleThreadScope() {
  if (saved_ > 0) openblas_set_num_threads(saved_);
}

}  // namespace velmora::blas
