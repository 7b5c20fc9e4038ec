// One-based views over column-major storage.
//
// The model, tree and expansion arrays live in the storage block and are
// addressed as in their definitions: a(i) for a vector, a(i, j) for a matrix
// whose first index runs fastest.  A view does not own its data; copying a
// view copies the pointer.  Lower bounds other than 1 (levels from 0, orders
// from -p) are given to the constructor.
#pragma once

#include <cstddef>

namespace velmora {

using Index = std::ptrdiff_t;

// a(i), i = lo, lo+1, ...
template <class T>
class Vec {
 public:
  Vec() = default;
  explicit Vec(T* first, Index lo = 1) : p_(first), lo_(lo) {}
  T& operator()(Index i) const { return p_[i - lo_]; }
  T* data() const { return p_; }
  // Address of entry i, for handing a slice to a routine.
  T* at(Index i) const { return p_ + (i - lo_); }

 private:
  T* p_ = nullptr;
  Index lo_ = 1;
};

// a(i, j), i = 1..ld, j = 1, 2, ...; column j starts at offset (j-1)*ld.
template <class T>
class Mat {
 public:
  Mat() = default;
  Mat(T* first, Index ld) : p_(first), ld_(ld) {}
  T& operator()(Index i, Index j) const { return p_[(i - 1) + (j - 1) * ld_]; }
  T* col(Index j) const { return p_ + (j - 1) * ld_; }
  T* at(Index i, Index j) const { return p_ + (i - 1) + (j - 1) * ld_; }
  T* data() const { return p_; }
  Index ld() const { return ld_; }

 private:
  T* p_ = nullptr;
  Index ld_ = 0;
};

}  // namespace velmora
