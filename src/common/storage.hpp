// The storage block of the run.
//
// Every array the run needs after start-up is a registered variable of one
// block counted in 16-byte units.  The table `ia` holds, for registration
// number k, the unit at which variable k starts (units counted from 1).  A
// variable of n items of s bytes occupies (s*n - 1) div 16 + 1 units, so
// every variable starts on a 16-byte boundary and a count of 0 still takes
// one unit.  The block is allocated once, after all registrations, with
// exactly the number of units registered; it is not initialised.
#pragma once

#include <complex>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "common/constants.hpp"

namespace velmora {

using Complex = std::complex<double>;

struct alignas(16) Unit16 {
  unsigned char bytes[16];
};

// Units taken by n items of s bytes: (s*n - 1) div 16 + 1, div truncating
// toward zero.
constexpr std::int64_t units_for(std::int64_t s, std::int64_t n) { return (s * n - 1) / 16 + 1; }

class Block {
 public:
  Block() = default;

  // REGVAR: returns the next free unit, stores it in ia(nvar), advances the
  // next free unit by the units of s*n bytes and increments nvar.  When nvar
  // then exceeds maxia the run stops with "# Parameter maxia is too small; stop".
  std::int64_t regvar(int item_size, std::int64_t item_count);

  // Number of the next registration (starts at 1, so nvar - 1 variables are
  // registered).
  int nvar() const { return nvar_; }
  std::int64_t next_free_unit() const { return next_; }
  std::int64_t units_registered() const { return next_ - 1; }
  std::int64_t ia(int k) const { return ia_[k]; }

  // One allocation of exactly the registered units (none when that number is
  // not positive).
  void allocate();
  bool allocated() const { return data_ != nullptr; }

  // Start of registered variable k, typed.
  template <class T>
  T* var(int k) const {
    return reinterpret_cast<T*>(data_.get() + (ia_[k] - 1));
  }

 private:
  struct Free {
    void operator()(Unit16* p) const;
  };
  std::int64_t ia_[kMaxia + 1] = {};
  int nvar_ = 1;
  std::int64_t next_ = 1;
  std::unique_ptr<Unit16[], Free> data_;
};

}  // namespace velmora
