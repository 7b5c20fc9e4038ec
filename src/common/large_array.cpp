#include "common/large_array.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <new>

namespace velmora {

void advise_huge_pages(void* p, std::size_t bytes) {
#ifdef MADV_HUGEPAGE
  const std::uintptr_t page = 4096;
  const std::uintptr_t a = reinterpret_cast<std::uintptr_t>(p);
  const std::uintptr_t first = (a + page - 1) / page * page;
  const std::uintptr_t last = (a + bytes) / page * page;
  if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
  (void)p;
  (void)bytes;
#endif
}

void* large_map(std::size_t bytes) {
  if (bytes == 0) bytes = 1;
  void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
  advise_huge_pages(p, bytes);
  return p;
}

void large_unmap(void* p, std::size_t bytes) {
  if (bytes == 0) bytes = 1;
  munmap(p, bytes);
}

}  // namespace velmora
