// Fuzz target: the record writers, read back by the free-format reader.
//
// Input: a double v (8 bytes), a width w and a digit count d (one byte
// each) and an integer n (8 bytes, zero-filled when the input is short).
// Properties:
//   - E(v, w, d), F(v, w, d) and I(n, w) give exactly w characters;
//   - a field that is not w asterisks reads back within the precision of
//     its descriptor: Ew.d within half a unit in the d-th significant digit
//     (exponents beyond +-99 have no E and are not read back), Fw.d within
//     half a unit in the d-th decimal, Iw exactly;
//   - free-format reals read back to the same double, bit for bit, and
//     free-format integers exactly when they fit 32 bits (and are refused
//     as out of range when they do not).
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "common/listread.hpp"
#include "common/records.hpp"
#include "common/stop.hpp"
#include "fuzz_support.hpp"

using namespace velmora;
using velmora::fuzz::check;

namespace {

// An empty field (w = 0) or w asterisks: nothing to read back.
bool no_value(const std::string& s) {
  return s.find_first_not_of('*') == std::string::npos;
}

// Reads one item of the text as a real (or an integer); false when the
// reader refuses it.
bool read_real(const std::string& text, double& v) {
  ListReader r = ListReader::from_text("record", text + "\n");
  try {
    r.begin();
    const bool got = r.get(v, {"value"});
    r.end();
    return got;
  } catch (const StopRun&) {
    return false;
  }
}

bool read_int(const std::string& text, int& v) {
  ListReader r = ListReader::from_text("record", text + "\n");
  try {
    r.begin();
    const bool got = r.get(v, {"value"});
    r.end();
    return got;
  } catch (const StopRun&) {
    return false;
  }
}

// |x - v| <= half * 10^scale, with room for the rounding of the decimal
// text to the double x.
bool within(double x, double v, int scale) {
  const long double bound = 0.5L * std::pow(10.0L, scale);
  const long double diff = std::fabs(static_cast<long double>(x) - static_cast<long double>(v));
  const long double ulp = std::fabs(static_cast<long double>(x)) * 0x1p-52L + 0x1p-1074L;
  return diff <= bound * (1.0L + 1e-12L) + ulp;
}

void check_e(double v, int w, int d) {
  const std::string f = fmt::E(v, w, d);
  check(f.size() == static_cast<std::size_t>(w), "Ew.d gives w characters");
  if (!std::isfinite(v) || d < 1 || no_value(f)) return;
  const std::size_t e = f.find('E');
  if (e == std::string::npos) return;  // exponent beyond +-99: 0.ddd+eee
  const int exponent = std::stoi(f.substr(e + 1));
  double x = 0.0;
  check(read_real(f, x), "an Ew.d field reads back as a real");
  check(within(x, v, exponent - d), "an Ew.d field is within half a unit of its last digit");
}

void check_f(double v, int w, int d) {
  const std::string f = fmt::F(v, w, d);
  check(f.size() == static_cast<std::size_t>(w), "Fw.d gives w characters");
  if (!std::isfinite(v) || no_value(f)) return;
  double x = 0.0;
  check(read_real(f, x), "an Fw.d field reads back as a real");
  check(within(x, v, -d), "an Fw.d field is within half a unit of its last decimal");
}

void check_i(std::int64_t n, int w) {
  const std::string f = fmt::I(n, w);
  check(f.size() == static_cast<std::size_t>(w), "Iw gives w characters");
  if (no_value(f)) return;
  int x = 0;
  const bool fits = n >= INT32_MIN && n <= INT32_MAX;
  check(read_int(f, x) == fits, "an Iw field reads back exactly when it fits 32 bits");
  if (fits) check(x == n, "an Iw field reads back to its value");
}

void check_list(double v, std::int64_t n) {
  if (std::isfinite(v)) {
    double x = 0.0;
    check(read_real(fmt::list(v), x), "a free-format real reads back");
    check(std::memcmp(&x, &v, sizeof x) == 0, "a free-format real reads back bit for bit");
  }
  int k = 0;
  const bool fits = n >= INT32_MIN && n <= INT32_MAX;
  check(read_int(fmt::list(n), k) == fits, "a free-format integer reads back when it fits");
  if (fits) check(k == n, "a free-format integer reads back to its value");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 10) return 0;
  double v = 0.0;
  std::memcpy(&v, data, sizeof v);
  const int w = data[8];
  const int d = data[9];
  std::int64_t n = 0;
  std::memcpy(&n, data + 10, size - 10 < sizeof n ? size - 10 : sizeof n);

  velmora::fuzz::QuietUnits quiet;
  check_e(v, w, d);
  check_f(v, w, d);
  check_i(n, w);
  check_list(v, n);
  return 0;
}
