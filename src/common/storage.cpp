#include "common/storage.hpp"

#include <cstdlib>
#include <new>

#include "common/records.hpp"
#include "common/stop.hpp"

namespace velmora {

std::int64_t Block::regvar(int item_size, std::int64_t item_count) {
  // A table that is already full (a caller went on after the stop) is never
  // written past its end.
  if (nvar_ > kMaxia) fatal_stop(fmt::list("# Parameter maxia is too small; stop"));
  const std::int64_t start = next_;
  ia_[nvar_] = start;
  next_ += units_for(item_size, item_count);
  ++nvar_;
  if (nvar_ > kMaxia) fatal_stop(fmt::list("# Parameter maxia is too small; stop"));
  return start;
}

void Block::Free::operator()(Unit16* p) const {
  std::free(p);
}

void Block::allocate() {
  const std::int64_t n = units_registered();
  if (n <= 0) return;
  void* p = std::malloc(static_cast<std::size_t>(n) * sizeof(Unit16));
  if (p == nullptr) throw std::bad_alloc();
  data_.reset(static_cast<Unit16*>(p));
}

}  // namespace velmora
