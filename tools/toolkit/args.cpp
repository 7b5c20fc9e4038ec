#include "toolkit/args.hpp"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "toolkit/tool_error.hpp"

namespace velmora::tools {

double parse_real(const std::string& text, const std::string& option) {
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || errno == ERANGE || !std::isfinite(v))
    throw ToolError(option + " expects a number, found \"" + text + "\"");
  return v;
}

int parse_int(const std::string& text, const std::string& option) {
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno == ERANGE || v < -2147483647L || v > 2147483647L)
    throw ToolError(option + " expects an integer, found \"" + text + "\"");
  return static_cast<int>(v);
}

std::vector<double> parse_reals(const std::string& text, std::size_t n, const std::string& option) {
  std::vector<double> v;
  std::size_t start = 0;
  while (true) {
    const std::size_t comma = text.find(',', start);
    v.push_back(parse_real(text.substr(start, comma - start), option));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  if (v.size() != n)
    throw ToolError(option + " expects " + std::to_string(n) +
                    " numbers separated by commas, found \"" + text + "\"");
  return v;
}

std::vector<std::string> split_assignments(const std::vector<std::string>& args) {
  std::vector<std::string> out;
  for (const std::string& a : args) {
    const std::size_t eq = a.find('=');
    if (a.rfind("--", 0) == 0 && eq != std::string::npos) {
      out.push_back(a.substr(0, eq));
      out.push_back(a.substr(eq + 1));
    } else {
      out.push_back(a);
    }
  }
  return out;
}

std::string show(const double* v, int n) {
  std::string s;
  char buf[40];
  for (int i = 0; i < n; ++i) {
    std::snprintf(buf, sizeof buf, "%s%.10g", i ? " " : "", v[i]);
    s += buf;
  }
  return s;
}

}  // namespace velmora::tools
