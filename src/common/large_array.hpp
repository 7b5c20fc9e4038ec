// Large arrays of the caches of the fast path.
//
// The caches (near-field blocks, preconditioner factors) run to gigabytes
// and are written once, by the threads that compute them.  They are mapped
// directly from the system and marked for transparent huge pages, so that
// their first touch costs one fault per 2 MB instead of one per 4 KB; the
// memory is not initialised and becomes resident only where it is written.
#pragma once

#include <cstddef>

namespace velmora {

// Asks the system to back the whole pages inside [p, p + bytes) with huge
// pages (a hint: nothing happens where they are not available), unless
// use_huge_pages(false) was called.
void advise_huge_pages(void* p, std::size_t bytes);
// Whether advise_huge_pages asks (true at start).
void use_huge_pages(bool on);

template <class T>
class LargeArray {
 public:
  LargeArray() = default;
  explicit LargeArray(std::size_t n) { reset(n); }
  ~LargeArray() { release(); }
  LargeArray(const LargeArray&) = delete;
  LargeArray& operator=(const LargeArray&) = delete;

  // n items, uninitialised (any previous content released).
  void reset(std::size_t n) {
    release();
    data_ = static_cast<T*>(map_bytes(n * sizeof(T)));
    bytes_ = n * sizeof(T);
  }
  T* get() const { return data_; }
  T& operator[](std::size_t i) const { return data_[i]; }
  std::size_t bytes() const { return bytes_; }

 private:
  void release() {
    if (data_ != nullptr) unmap_bytes(data_, bytes_);
    data_ = nullptr;
    bytes_ = 0;
  }
  static void* map_bytes(std::size_t bytes);
  static void unmap_bytes(void* p, std::size_t bytes);
  T* data_ = nullptr;
  std::size_t bytes_ = 0;
};

// While one of these lives, large arrays released are kept mapped, their
// pages touched, and handed to the next large request (grown when it asks
// for more): a run that builds caches of about the same size again and
// again (a time step's solver after the last one's) then pays the first
// touch of fresh memory once.  The last one to go releases what is kept.
class KeepLargeMappings {
 public:
  KeepLargeMappings();
  ~KeepLargeMappings();
  KeepLargeMappings(const KeepLargeMappings&) = delete;
  KeepLargeMappings& operator=(const KeepLargeMappings&) = delete;
};

// Bytes of the mappings kept for later requests (counted as free by the
// budgets of the caches: they will be handed on, not added).
std::size_t large_kept_bytes();

// The mapping itself; throws std::bad_alloc when the system refuses.
void* large_map(std::size_t bytes);
void large_unmap(void* p, std::size_t bytes);

template <class T>
void* LargeArray<T>::map_bytes(std::size_t bytes) {
  return large_map(bytes);
}
template <class T>
void LargeArray<T>::unmap_bytes(void* p, std::size_t bytes) {
  large_unmap(p, bytes);
}

}  // namespace velmora
