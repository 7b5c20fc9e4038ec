// Exact sums of doubles: the result does not depend on the order of the
// additions, nor on how they are split among threads or processes.
//
// The sum is held as an integer multiple of 2^-1074 (the smallest
// subnormal) in kDigits digits of 32 bits, kept in 64-bit words: digit i
// weighs 2^(32 i - 1074), and the 68 digits span every finite double with
// room for carries.  An addition places the 53-bit integer mantissa of its
// term across three digits (no rounding: the representation is exact), and
// up to 2^30 additions fit before the words are normalised (carries moved
// up, every digit but the top one brought to [0, 2^32)); the normalised form
// is unique for a given sum, so sums formed in any order, or formed in parts
// and added digit by digit (add(const ExactSum&), or an integer sum of the
// digits across processes), normalise to the same digits and give the same
// value().  value() rounds the exact sum to a double (within a few units in
// the last place, always the same bits for the same sum).  Infinities and
// NaNs are summed apart and dominate the value.
#pragma once

#include <cstdint>

#include "common/comm.hpp"

namespace velmora {

class ExactSum {
 public:
  static constexpr int kDigits = 68;

  void add(double x);
  // Adds another sum (digit by digit: exact).
  void add(const ExactSum& other);
  // The sum rounded to a double.
  double value() const;

  // The digits, for an exact integer sum across processes: normalise(), sum
  // the kDigits words of every process as integers, and take the result in
  // with set_digits (the non-finite part, if any, is lost: check it apart).
  void normalise();
  const std::int64_t* digits() const { return d_; }
  void set_digits(const std::int64_t* d);
  // Whether a term was infinite or NaN.
  bool has_non_finite() const { return special_ != 0.0; }

 private:
  std::int64_t d_[kDigits] = {};
  int pending_ = 0;       // additions since the last normalisation
  double special_ = 0.0;  // sum of the non-finite terms
};

// The sums of every process added exactly (their digits summed as integers):
// afterwards each of the count sums holds the total, the same on every
// process; a non-finite term anywhere makes that total NaN.  Collective.
void add_across(ExactSum* sums, int count, const Comm& comm);

}  // namespace velmora
