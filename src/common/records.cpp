#include "common/records.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace velmora::fmt {
namespace {

std::string stars(int w) {
  return std::string(w > 0 ? w : 0, '*');
}

std::string right(const std::string& body, int w) {
  if (static_cast<int>(body.size()) > w) return stars(w);
  return std::string(w - body.size(), ' ') + body;
}

// Text of a non-finite value in a field of width w.
std::string non_finite(double v, int w) {
  if (std::isnan(v)) return w >= 3 ? right("NaN", w) : stars(w);
  const bool neg = std::signbit(v);
  if (w >= 9 || (!neg && w >= 8)) return right(neg ? "-Infinity" : "Infinity", w);
  if (w >= 4 || (!neg && w >= 3)) return right(neg ? "-Inf" : "Inf", w);
  return stars(w);
}

// Places sign + digits ("0.xxx" or "12.xx") in w columns, dropping an
// optional leading zero when that makes it fit.
std::string fit_number(bool neg, const std::string& digits, int w) {
  const std::string sign = neg ? "-" : "";
  std::string body = sign;
  body += digits;
  if (static_cast<int>(body.size()) <= w) return right(body, w);
  // The zero may go only when a digit follows the point: with none (Fw.0 of
  // a value below one half) it is the only digit of the field and stays.
  if (digits.size() >= 3 && digits[0] == '0' && digits[1] == '.' && digits[2] >= '0' &&
      digits[2] <= '9') {
    body = sign;
    body.append(digits, 1, std::string::npos);
    if (static_cast<int>(body.size()) <= w) return right(body, w);
  }
  return stars(w);
}

// Any width and digit count, through printf.
std::string E_general(double v, int w, int d) {
  if (!std::isfinite(v)) return non_finite(v, w);
  if (d < 0) d = 0;
  std::string digits;
  int exp10 = 0;
  if (v == 0.0) {
    digits = std::string(d, '0');
  } else {
    // d significant digits m.mmm, exponent e: the value is 0.mmmm x 10^(e+1).
    // The buffer holds all d digits, the point and the exponent, so that the
    // exponent is never cut off for a large d.
    std::vector<char> buf(static_cast<std::size_t>(d) + 32);
    std::snprintf(buf.data(), buf.size(), "%.*e", d > 0 ? d - 1 : 0, std::fabs(v));
    std::string s(buf.data());
    const auto epos = s.find('e');
    exp10 = std::atoi(s.c_str() + epos + 1) + 1;
    for (std::size_t i = 0; i < epos; ++i)
      if (s[i] != '.') digits += s[i];
    if (d == 0) digits.clear();
  }
  std::string exponent;
  const int ae = std::abs(exp10);
  char ebuf[16];
  if (ae <= 99) {
    std::snprintf(ebuf, sizeof ebuf, "E%c%02d", exp10 < 0 ? '-' : '+', ae);
  } else if (ae <= 999) {
    std::snprintf(ebuf, sizeof ebuf, "%c%03d", exp10 < 0 ? '-' : '+', ae);
  } else {
    return stars(w);
  }
  exponent = ebuf;
  return fit_number(std::signbit(v), "0." + digits + exponent, w);
}

}  // namespace

std::string A(std::string_view s, int w) {
  if (w <= 0) return std::string();
  if (static_cast<int>(s.size()) >= w) return std::string(s.substr(0, w));
  return std::string(w - s.size(), ' ') + std::string(s);
}

std::string F(double v, int w, int d) {
  if (!std::isfinite(v)) return non_finite(v, w);
  if (d < 0) d = 0;
  // Sized for the largest double (309 digits) with d decimals.
  std::vector<char> buf(static_cast<std::size_t>(d > 0 ? d : 0) + 320);
  std::snprintf(buf.data(), buf.size(), "%.*f", d, std::fabs(v));
  std::string digits(buf.data());
  if (d == 0) digits += '.';
  return fit_number(std::signbit(v), digits, w);
}

// The common case of E (finite value, 1 to 40 digits), built in a buffer
// without allocating: std::to_chars rounds to nearest on the exact binary
// value, as printf does, so the digits are the same.
void append_E(std::string& out, double v, int w, int d) {
  if (!std::isfinite(v) || d < 1 || d > 40) {
    out += E_general(v, w, d);
    return;
  }
  char buf[64];
  int n = 0;
  if (std::signbit(v)) buf[n++] = '-';
  const int lead = n;  // position of the leading zero
  buf[n++] = '0';
  buf[n++] = '.';
  int exp10 = 0;
  if (v == 0.0) {
    std::fill(buf + n, buf + n + d, '0');
    n += d;
  } else {
    char t[64];
    const auto r = std::to_chars(t, t + sizeof t, std::fabs(v), std::chars_format::scientific, d - 1);
    const char* e = std::find(t, r.ptr, 'e');
    buf[n++] = t[0];
    for (const char* c = t + 2; c < e; ++c) buf[n++] = *c;
    int x = 0;
    for (const char* c = e + 2; c < r.ptr; ++c) x = 10 * x + (*c - '0');
    exp10 = (e[1] == '-' ? -x : x) + 1;
  }
  const int ae = exp10 < 0 ? -exp10 : exp10;
  if (ae > 999) {
    out.append(w > 0 ? w : 0, '*');
    return;
  }
  if (ae <= 99) buf[n++] = 'E';
  buf[n++] = exp10 < 0 ? '-' : '+';
  if (ae > 99) buf[n++] = static_cast<char>('0' + ae / 100);
  buf[n++] = static_cast<char>('0' + ae / 10 % 10);
  buf[n++] = static_cast<char>('0' + ae % 10);
  const char* body = buf;
  if (n > w) {
    // Drop the zero before the point (a digit always follows it here).
    std::copy(buf + lead + 1, buf + n, buf + lead);
    --n;
    if (n > w) {
      out.append(w > 0 ? w : 0, '*');
      return;
    }
  }
  out.append(w - n, ' ');
  out.append(body, n);
}

void append_I(std::string& out, std::int64_t v, int w) {
  char t[24];
  const auto r = std::to_chars(t, t + sizeof t, v);
  const int n = static_cast<int>(r.ptr - t);
  if (n > w) {
    out.append(w > 0 ? w : 0, '*');
    return;
  }
  out.append(w - n, ' ');
  out.append(t, n);
}

std::string E(double v, int w, int d) {
  std::string s;
  append_E(s, v, w, d);
  return s;
}

std::string I(std::int64_t v, int w) {
  std::string s;
  append_I(s, v, w);
  return s;
}

std::string X(int n) {
  return std::string(n > 0 ? n : 0, ' ');
}

std::string slash() {
  return std::string(1, '\n');
}

std::string list_int(std::int64_t v) {
  return I(v, 11);
}

std::string list_real(double v) {
  if (!std::isfinite(v))
    return right(std::isnan(v) ? "NaN" : (v < 0 ? "-Infinity" : "Infinity"), 25);
  const double a = std::fabs(v);
  char buf[64];
  std::string body;
  if (a == 0.0) {
    body = "0.0000000000000000";
  } else {
    std::snprintf(buf, sizeof buf, "%.16e", a);
    const int e = std::atoi(std::strchr(buf, 'e') + 1);
    if (e >= -1 && e < 16) {
      std::snprintf(buf, sizeof buf, "%.*f", 16 - e, a);
      body = buf;
    } else {
      std::string s(buf);
      const auto epos = s.find('e');
      char ebuf[16];
      std::snprintf(ebuf, sizeof ebuf, "E%c%03d", e < 0 ? '-' : '+', std::abs(e));
      body = s.substr(0, epos) + ebuf;
    }
  }
  if (std::signbit(v)) body = "-" + body;
  if (body.find('E') != std::string::npos) return right(body, 25);
  return right(body, 20) + "     ";
}

ListRecord& ListRecord::operator<<(std::string_view text) {
  s_ += text;
  first_ = false;
  return *this;
}

ListRecord& ListRecord::operator<<(double v) {
  return add_number(list_real(v));
}

ListRecord& ListRecord::add_number(const std::string& field) {
  if (!first_) s_ += ' ';
  s_ += field;
  first_ = false;
  return *this;
}

}  // namespace velmora::fmt
