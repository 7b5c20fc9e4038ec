#include "common/exact_sum.hpp"

#include <cmath>
#include <cstdlib>
#include <limits>
#include <vector>

namespace velmora {

namespace {

constexpr std::int64_t kBase = std::int64_t{1} << 32;
constexpr int kPendingLimit = 1 << 30;

}  // namespace

void ExactSum::add(double x) {
  if (x == 0.0) return;
  if (!std::isfinite(x)) {
    special_ += x;
    return;
  }
  // x = M 2^(b - 1074) with the integer M, |M| < 2^53, and b >= 0.
  int e = 0;
  const double m = std::frexp(x, &e);  // x = m 2^e, 1/2 <= |m| < 1
  std::int64_t M;
  int b = e - 53 + 1074;
  if (b >= 0) {
    M = static_cast<std::int64_t>(std::ldexp(m, 53));
  } else {  // subnormal: x is a multiple of 2^-1074
    M = static_cast<std::int64_t>(std::ldexp(x, 1074));
    b = 0;
  }
  const bool negative = M < 0;
  const unsigned __int128 mag = static_cast<unsigned __int128>(negative ? -M : M) << (b % 32);
  const int i = b / 32;
  const std::int64_t parts[3] = {static_cast<std::int64_t>(mag & 0xFFFFFFFFu),
                                 static_cast<std::int64_t>((mag >> 32) & 0xFFFFFFFFu),
                                 static_cast<std::int64_t>(mag >> 64)};
  for (int k = 0; k < 3; ++k) d_[i + k] += negative ? -parts[k] : parts[k];
  if (++pending_ >= kPendingLimit) normalise();
}

void ExactSum::add(const ExactSum& other) {
  ExactSum o = other;
  o.normalise();
  normalise();
  for (int i = 0; i < kDigits; ++i) d_[i] += o.d_[i];
  special_ += o.special_;
  pending_ = 2;  // each digit at most doubled: far below the limit
}

void ExactSum::normalise() {
  for (int i = 0; i + 1 < kDigits; ++i) {
    const std::int64_t carry = d_[i] >> 32;  // floor(d / 2^32), also for negative d
    d_[i] -= carry * kBase;
    d_[i + 1] += carry;
  }
  pending_ = 0;
}

void ExactSum::set_digits(const std::int64_t* d) {
  for (int i = 0; i < kDigits; ++i) d_[i] = d[i];
  special_ = 0.0;
  normalise();
}

double ExactSum::value() const {
  if (special_ != 0.0) return special_;
  ExactSum s = *this;
  s.normalise();
  // Sign and magnitude: a negative sum is negated, so that every digit is
  // nonnegative and the digits add from the top without cancellation.
  const bool negative = s.d_[kDigits - 1] < 0;
  if (negative) {
    for (int i = 0; i < kDigits; ++i) s.d_[i] = -s.d_[i];
    s.normalise();
  }
  double v = 0.0;
  for (int i = kDigits - 1; i >= 0; --i)
    if (s.d_[i] != 0) v += std::ldexp(static_cast<double>(s.d_[i]), 32 * i - 1074);
  return negative ? -v : v;
}

void add_across(ExactSum* sums, int count, const Comm& comm) {
  if (count <= 0) return;
  std::vector<std::int64_t> digits(static_cast<std::size_t>(count) * ExactSum::kDigits);
  std::vector<std::int64_t> special(static_cast<std::size_t>(count), 0);
  for (int k = 0; k < count; ++k) {
    sums[k].normalise();
    for (int d = 0; d < ExactSum::kDigits; ++d)
      digits[static_cast<std::size_t>(k) * ExactSum::kDigits + d] = sums[k].digits()[d];
    special[k] = sums[k].has_non_finite() ? 1 : 0;
  }
  comm.sum(digits.data(), static_cast<int>(digits.size()));
  comm.sum(special.data(), count);
  for (int k = 0; k < count; ++k) {
    sums[k] = ExactSum();
    sums[k].set_digits(digits.data() + static_cast<std::size_t>(k) * ExactSum::kDigits);
    if (special[k] != 0) sums[k].add(std::numeric_limits<double>::quiet_NaN());
  }
}

}  // namespace velmora
