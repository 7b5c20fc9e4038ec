#include "common/large_array.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

namespace velmora {

namespace {
std::atomic<bool> huge_pages{true};
}  // namespace

void use_huge_pages(bool on) { huge_pages = on; }

void advise_huge_pages(void* p, std::size_t bytes) {
  if (!huge_pages) return;
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

namespace {

// Mappings kept while a KeepLargeMappings lives: those released, ready for
// the next request, and the true sizes of those handed out again (a
// request may get a larger one).
struct Kept {
  std::mutex lock;
  int keepers = 0;
  std::vector<std::pair<void*, std::size_t>> spare;
  std::map<void*, std::size_t> handed;
};
Kept& kept() {
  static Kept k;
  return k;
}

// Mappings below this size are not worth keeping.
constexpr std::size_t kKeepFrom = std::size_t(64) << 20;

void* fresh_map(std::size_t bytes) {
  void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
  advise_huge_pages(p, bytes);
  return p;
}

}  // namespace

KeepLargeMappings::KeepLargeMappings() {
  std::lock_guard<std::mutex> g(kept().lock);
  ++kept().keepers;
}

KeepLargeMappings::~KeepLargeMappings() {
  Kept& k = kept();
  std::lock_guard<std::mutex> g(k.lock);
  if (--k.keepers > 0) return;
  for (const auto& m : k.spare) munmap(m.first, m.second);
  k.spare.clear();
}

std::size_t large_kept_bytes() {
  Kept& k = kept();
  std::lock_guard<std::mutex> g(k.lock);
  std::size_t b = 0;
  for (const auto& m : k.spare) b += m.second;
  return b;
}

void* large_map(std::size_t bytes) {
  if (bytes == 0) bytes = 1;
  Kept& k = kept();
  {
    std::lock_guard<std::mutex> g(k.lock);
    if (k.keepers > 0 && bytes >= kKeepFrom && !k.spare.empty()) {
      // The smallest spare large enough but not twice as large, as it is;
      // else the largest smaller one, grown (its touched pages kept, the
      // rest fresh).  A spare much larger than the request is left for the
      // request it came from.
      int best = -1;
      bool fits = false;
      for (std::size_t i = 0; i < k.spare.size(); ++i) {
        const std::size_t size = k.spare[i].second;
        const bool f = size >= bytes && size / 2 <= bytes;
        if (f ? (!fits || size < k.spare[best].second)
              : (!fits && size < bytes && (best < 0 || size > k.spare[best].second))) {
          best = static_cast<int>(i);
          fits = f;
        }
      }
      if (best < 0) return fresh_map(bytes);
      auto [p, size] = k.spare[best];
      k.spare.erase(k.spare.begin() + best);
      if (size < bytes) {
        void* q = mremap(p, size, bytes, MREMAP_MAYMOVE);
        if (q == MAP_FAILED) {
          munmap(p, size);
          return fresh_map(bytes);
        }
        advise_huge_pages(q, bytes);
        p = q;
        size = bytes;
      }
      k.handed[p] = size;
      return p;
    }
  }
  return fresh_map(bytes);
}

void large_unmap(void* p, std::size_t bytes) {
  if (bytes == 0) bytes = 1;
  Kept& k = kept();
  std::lock_guard<std::mutex> g(k.lock);
  const auto it = k.handed.find(p);
  if (it != k.handed.end()) {
    bytes = it->second;
    k.handed.erase(it);
  }
  if (k.keepers > 0 && bytes >= kKeepFrom) {
    k.spare.emplace_back(p, bytes);
    return;
  }
  munmap(p, bytes);
}

}  // namespace velmora
