// Record writers: Fortran-style edit descriptors and free-format records.
//
// Edit descriptors (each returns exactly the characters of its field):
//   A(s, w)   text right-justified in w columns, or its first w characters
//   I(v, w)   integer right-justified in w columns
//   F(v, w, d) fixed point with d decimals, right-justified in w columns
//   E(v, w, d) 0.d...dE+ee with d digits, right-justified in w columns;
//             exponents beyond +-99 are written +eee / -eee without the E
//   X(n)      n blanks
//   slash()   ends the current record: the line end that separates two
//             records written as one text, so a format that begins or ends
//             with a slash writes an empty record before or after its text
//             (units().write(u, slash() + A("abc", 3)) writes "" then "abc")
// A value that does not fit its width gives w asterisks.  A leading zero
// before the point is dropped when it is the only thing that does not fit.
// Rounding is to nearest on the exact binary value.  A negative value
// (negative zero included) keeps its minus sign even when it rounds to zero.
//
// Free-format records start with one blank (the record's own: texts are
// given without it, so list("Restart : ", m) is " Restart :" then m); numbers are preceded by a
// separating blank, texts are written as they stand (no separator between two
// texts).  Integers take 11 columns, reals 25 columns with 17 significant
// digits (fixed form for 0.1 <= |v| < 1e16, otherwise d.dddE+eee).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

namespace velmora::fmt {

std::string A(std::string_view s, int w);
std::string I(std::int64_t v, int w);
std::string F(double v, int w, int d);
std::string E(double v, int w, int d);
std::string X(int n);
std::string slash();

// The same fields as E and I, appended to `out` (no allocation in the common
// case: for records written by the million).
void append_E(std::string& out, double v, int w, int d);
void append_I(std::string& out, std::int64_t v, int w);

// Free-format items.
std::string list_int(std::int64_t v);
std::string list_real(double v);

// Builds one free-format record from its items in order.
class ListRecord {
 public:
  ListRecord() : s_(" ") {}
  ListRecord& operator<<(std::string_view text);
  ListRecord& operator<<(const char* text) { return *this << std::string_view(text); }
  ListRecord& operator<<(const std::string& text) { return *this << std::string_view(text); }
  ListRecord& operator<<(double v);
  template <class T, std::enable_if_t<std::is_integral_v<T>, int> = 0>
  ListRecord& operator<<(T v) {
    return add_number(list_int(static_cast<std::int64_t>(v)));
  }
  const std::string& str() const { return s_; }
  operator const std::string&() const { return s_; }

 private:
  ListRecord& add_number(const std::string& field);
  std::string s_;
  bool first_ = true;
};

template <class... Ts>
std::string list(const Ts&... items) {
  ListRecord r;
  if constexpr (sizeof...(items) > 0) (r << ... << items);
  return r.str();
}

}  // namespace velmora::fmt
