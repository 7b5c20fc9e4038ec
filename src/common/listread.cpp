#include "common/listread.hpp"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <istream>
#include <sstream>
#include <utility>

#include "common/stop.hpp"

namespace velmora {
namespace {

bool is_blank(char c) {
  return c == ' ' || c == '\t';
}
bool is_digit(char c) {
  return c >= '0' && c <= '9';
}
// Characters that end the text of an item.
bool ends_item(char c) {
  return is_blank(c) || c == ',' || c == '/';
}

// Optionally signed digits.
bool parse_integer(std::string_view s, int& v, bool& out_of_range) {
  out_of_range = false;
  std::size_t i = 0;
  bool neg = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) neg = s[i++] == '-';
  if (i == s.size()) return false;
  long long acc = 0;
  for (; i < s.size(); ++i) {
    if (!is_digit(s[i])) return false;
    if (acc <= static_cast<long long>(INT_MAX) + 1) acc = acc * 10 + (s[i] - '0');
  }
  if (neg) acc = -acc;
  if (acc > INT_MAX || acc < INT_MIN) {
    out_of_range = true;
    return false;
  }
  v = static_cast<int>(acc);
  return true;
}

// [sign] (digits [. [digits]] | . digits) [(E|e|D|d) [sign] digits], the
// value rounded to the nearest double.  Values beyond the range of a double
// are refused; values below it read as 0 (or the nearest subnormal).
bool parse_real(std::string_view s, double& v, bool& out_of_range) {
  out_of_range = false;
  std::string t;
  t.reserve(s.size());
  std::size_t i = 0;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
    if (s[i] == '-') t += '-';
    ++i;
  }
  int mantissa_digits = 0;
  while (i < s.size() && is_digit(s[i])) t += s[i++], ++mantissa_digits;
  if (i < s.size() && s[i] == '.') {
    t += s[i++];
    while (i < s.size() && is_digit(s[i])) t += s[i++], ++mantissa_digits;
  }
  if (mantissa_digits == 0) return false;
  if (i < s.size()) {
    const char c = s[i];
    if (c != 'e' && c != 'E' && c != 'd' && c != 'D') return false;
    t += 'e';
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) t += s[i++];
    int exponent_digits = 0;
    while (i < s.size() && is_digit(s[i])) t += s[i++], ++exponent_digits;
    if (exponent_digits == 0 || i != s.size()) return false;
  }
  errno = 0;
  const double r = std::strtod(t.c_str(), nullptr);
  if (errno == ERANGE && std::isinf(r)) {
    out_of_range = true;
    return false;
  }
  v = r;
  return true;
}

}  // namespace

std::string What::str() const {
  std::string s(text);
  if (number != nullptr) s += ' ' + std::to_string(*number);
  return s;
}

ListReader::ListReader() = default;
ListReader::~ListReader() = default;
ListReader::ListReader(ListReader&&) noexcept = default;
ListReader& ListReader::operator=(ListReader&&) noexcept = default;

ListReader::ListReader(std::string name, std::unique_ptr<std::istream> in)
    : name_(std::move(name)), in_(std::move(in)) {}

ListReader ListReader::from_text(std::string name, std::string text) {
  return ListReader(std::move(name), std::make_unique<std::istringstream>(std::move(text)));
}

bool ListReader::open(const std::string& path) {
  auto f = std::make_unique<std::ifstream>(path);
  if (!f->is_open()) return false;
  name_ = path;
  in_ = std::move(f);
  line_no_ = 0;
  have_line_ = false;
  return true;
}

void ListReader::close() {
  in_.reset();
  have_line_ = false;
}

bool ListReader::load_line() {
  if (!in_ || !std::getline(*in_, buf_)) return false;
  if (!buf_.empty() && buf_.back() == '\r') buf_.pop_back();  // CR LF line ends
  ++line_no_;
  pos_ = 0;
  have_line_ = true;
  took_line_ = true;
  return true;
}

void ListReader::fail_eof(const char* expected, const What& what) const {
  fatal_stop(name_ + ", line " + std::to_string(line_no_ + 1) + ": expected " + expected + " (" +
             what.str() + "), found end of file");
}

void ListReader::fail_item(Kind kind, const What& what, std::string_view found,
                           const char* why) const {
  std::string msg = name_ + ", line " + std::to_string(item_line_) + ": expected " +
                    (kind == Kind::kInteger ? "an integer" : "a real") + " (" + what.str() +
                    "), found \"" + std::string(found) + "\"";
  if (why != nullptr) msg += std::string(" (") + why + ")";
  fatal_stop(msg);
}

void ListReader::begin() {
  have_line_ = false;
  took_line_ = false;
  after_value_ = false;
  slash_ = false;
  repeat_left_ = 0;
}

bool ListReader::next_token(Kind kind, const What& what, std::string& token) {
  if (slash_) return false;
  if (repeat_left_ > 0) {
    --repeat_left_;
    if (repeat_token_.empty()) return false;
    token = repeat_token_;
    item_line_ = repeat_line_;
    return true;
  }
  for (;;) {
    if (!have_line_ && !load_line())
      fail_eof(kind == Kind::kInteger ? "an integer" : "a real", what);
    while (pos_ < buf_.size() && is_blank(buf_[pos_])) ++pos_;
    if (pos_ == buf_.size()) {
      have_line_ = false;  // a line end separates like a blank
      continue;
    }
    const char c = buf_[pos_];
    if (c == ',') {
      ++pos_;
      if (after_value_) {
        after_value_ = false;  // the separator after a value
        continue;
      }
      return false;  // nothing between two separators: a null item
    }
    if (c == '/') {
      slash_ = true;
      return false;
    }
    const std::size_t start = pos_;
    while (pos_ < buf_.size() && !ends_item(buf_[pos_])) ++pos_;
    token.assign(buf_, start, pos_ - start);
    item_line_ = line_no_;
    after_value_ = true;
    // r*v and r*: a repeat count of unsigned digits before the star.
    const std::size_t star = token.find('*');
    if (star != std::string::npos && star > 0) {
      bool digits = true;
      for (std::size_t i = 0; i < star; ++i) digits = digits && is_digit(token[i]);
      if (digits) {
        int r = 0;
        bool big = false;
        if (!parse_integer(std::string_view(token).substr(0, star), r, big) || r < 1)
          fail_item(kind, what, token, "bad repeat count");
        repeat_token_ = token.substr(star + 1);
        repeat_line_ = line_no_;
        repeat_left_ = r - 1;
        if (repeat_token_.empty()) return false;
        token = repeat_token_;
      }
    }
    return true;
  }
}

bool ListReader::get(int& v, const What& what) {
  std::string token;
  if (!next_token(Kind::kInteger, what, token)) return false;
  bool big = false;
  int r = 0;
  if (!parse_integer(token, r, big))
    fail_item(Kind::kInteger, what, token, big ? "out of range" : nullptr);
  v = r;
  return true;
}

bool ListReader::get(double& v, const What& what) {
  std::string token;
  if (!next_token(Kind::kReal, what, token)) return false;
  bool big = false;
  double r = 0.0;
  if (!parse_real(token, r, big))
    fail_item(Kind::kReal, what, token, big ? "out of range" : nullptr);
  v = r;
  return true;
}

void ListReader::end(const What& what) {
  if (!took_line_ && !load_line()) fail_eof("a line", what);
  have_line_ = false;
  repeat_left_ = 0;
  slash_ = false;
}

std::string ListReader::title(const What& what, int width, int stored) {
  if (!load_line()) fail_eof("a title line", what);
  have_line_ = false;
  std::string t = buf_.substr(0, static_cast<std::size_t>(width));
  if (static_cast<int>(t.size()) < stored) t.append(stored - t.size(), ' ');
  return t;
}

}  // namespace velmora
