// The 88 registrations of the run written out as a table (item size and
// item count of each, in registration order), for checking the storage
// block and the memory report independently of the registration code.
#pragma once

#include <cstdint>
#include <vector>

namespace velmora::testing {

struct Registration {
  int size;  // bytes per item: 4 int, 8 real, 16 complex
  std::int64_t count;
};

inline std::vector<Registration> registration_table(std::int64_t nelem, std::int64_t nnode,
                                                    std::int64_t lwork, std::int64_t maxl,
                                                    std::int64_t maxcel, std::int64_t maxdep,
                                                    std::int64_t p) {
  std::vector<Registration> t;
  const int I = 4, R = 8, C = 16;
  // 1..19
  for (int s : {I, I, R, R, R, I, I, I, I, I, I, R, I, I, I, I, I, I, R}) t.push_back({s, 1});
  t.push_back({I, 3 * nelem});  // 20 ielem
  t.push_back({R, 6 * nelem});  // 21 bc
  t.push_back({R, 3 * nnode});  // 22 xnode
  t.push_back({R, 3 * nelem});  // 23 xcol
  t.push_back({R, 16});         // 24 gwt
  t.push_back({R, 48});         // 25 gpt
  t.push_back({I, nelem + 1});  // 26 ltarg
  for (int k = 27; k <= 41; ++k) t.push_back({R, nelem});
  t.push_back({R, lwork});                           // 42 WORK
  t.push_back({I, 1});                               // 43 nlev
  t.push_back({I, nelem});                           // 44 ielord
  t.push_back({I, maxcel});                          // 45 ielfst
  t.push_back({I, maxcel});                          // 46 iellst
  t.push_back({I, maxcel + 1});                      // 47 iccode
  t.push_back({I, maxcel});                          // 48 iparnt
  t.push_back({I, 8 * maxcel});                      // 49 ichild
  t.push_back({I, maxdep + 1});                      // 50 levfst
  t.push_back({I, maxdep + 1});                      // 51 levlst
  t.push_back({R, 3 * maxcel});                      // 52 celcen
  t.push_back({R, maxdep + 1});                      // 53 celsiz
  t.push_back({I, nelem});                           // 54 ioct
  t.push_back({I, nelem});                           // 55 iperm
  t.push_back({I, 3 * maxl});                        // 56
  t.push_back({R, 9 * maxl * maxl});                 // 57
  t.push_back({R, 3 * maxl});                        // 58
  t.push_back({C, (8 * p + 4) * (p + 1) * maxcel});  // 59 cmom
  t.push_back({C, (8 * p + 4) * (p + 1) * maxcel});  // 60 cloc
  t.push_back({C, (2 * p + 3) * (p + 2)});           // 61
  t.push_back({C, 3 * (2 * p + 1) * (p + 1)});       // 62
  t.push_back({C, (4 * p + 1) * (2 * p + 2)});       // 63
  t.push_back({R, 3 * nelem});                       // 64 uvec
  t.push_back({R, 3 * nelem});                       // 65 b / tvec
  t.push_back({I, nelem + 1});                       // 66 lsrc
  for (int k = 67; k <= 68; ++k) t.push_back({I, nelem});
  for (int k = 69; k <= 86; ++k) t.push_back({R, nelem});
  t.push_back({C, (8 * p + 4) * (p + 1)});  // 87
  t.push_back({C, (8 * p + 4) * (p + 1)});  // 88
  return t;
}

// Units of one registration: the byte size rounded up to whole 16-byte
// units, and one unit for an empty variable.
inline std::int64_t units_of(const Registration& r) {
  const std::int64_t bytes = r.size * r.count;
  return bytes == 0 ? 1 : (bytes + 15) / 16;
}

// LWORK = M M + M (ndof + 3) + 6 ndof + 1.
inline std::int64_t lwork_of(std::int64_t nelem, std::int64_t m) {
  const std::int64_t ndof = 3 * nelem;
  return m * m + m * (ndof + 3) + 6 * ndof + 1;
}

}  // namespace velmora::testing
