#include "toolkit/result_io.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "toolkit/surface.hpp"
#include "toolkit/tool_error.hpp"

namespace velmora::tools {
namespace {

std::string trim(const std::string& s) {
  const auto a = s.find_first_not_of(" \t\r");
  if (a == std::string::npos) return std::string();
  return s.substr(a, s.find_last_not_of(" \t\r") - a + 1);
}

std::vector<std::string> tokens(const std::string& line) {
  std::vector<std::string> t;
  std::istringstream in(line);
  for (std::string w; in >> w;) t.push_back(w);
  return t;
}

}  // namespace

bool parse_fortran_real(std::string_view s, double& v) {
  if (s.empty()) return false;
  std::string t(s);
  for (char& c : t)
    if (c == 'd' || c == 'D') c = 'E';
  // A sign after the mantissa with no exponent letter starts the exponent.
  const bool special = t.find_first_of("nNiI") != std::string::npos;
  if (!special && t.find_first_of("eE") == std::string::npos) {
    const auto p = t.find_last_of("+-");
    if (p != std::string::npos && p > 0) t.insert(p, 1, 'E');
  }
  char* end = nullptr;
  v = std::strtod(t.c_str(), &end);
  return end == t.c_str() + t.size();
}

RunResults read_output_dat(const std::string& path, int nelem) {
  std::ifstream in(path);
  if (!in) throw ToolError("cannot open " + path);
  std::vector<std::string> lines;
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  RunResults r;
  if (!lines.empty()) r.title = lines[0];
  auto at = [&](std::size_t i) { return path + ", line " + std::to_string(i + 1) + ": "; };

  std::size_t i = 1;
  while (i < lines.size() && trim(lines[i]) != "Boundary solutions:") ++i;
  if (i >= lines.size())
    throw ToolError(path +
                    " has no \"Boundary solutions:\" record; it is not the result file of "
                    "a completed run");
  // The heading, then an empty record, then the element records.
  if (i + 2 >= lines.size() || lines[i + 1].find("element no.") == std::string::npos ||
      !trim(lines[i + 2]).empty())
    throw ToolError(at(i + 1) + "expected the heading of the element records and an empty record");
  i += 3;
  r.u.assign(3 * static_cast<std::size_t>(nelem), 0.0);
  r.t = r.u;
  r.xg = r.u;
  int e = 0;
  r.first_record_line = static_cast<int>(i) + 1;
  for (; i < lines.size() && !trim(lines[i]).empty(); ++i) {
    const std::vector<std::string> f = tokens(lines[i]);
    if (f.size() != 10)
      throw ToolError(at(i) +
                      "an element record has 10 fields (number, u1..u3, t1..t3, xg1..xg3), "
                      "found " +
                      std::to_string(f.size()));
    ++e;
    if (e > nelem)
      throw ToolError(at(i) + "more element records than the " + std::to_string(nelem) +
                      " elements of the model: output.dat and input.dat do not belong together");
    char* end = nullptr;
    const long num = std::strtol(f[0].c_str(), &end, 10);
    if (*end != '\0' || num != e)
      throw ToolError(at(i) + "expected the record of element " + std::to_string(e) + ", found \"" +
                      f[0] + "\"");
    for (int k = 0; k < 9; ++k) {
      double v = 0;
      if (!parse_fortran_real(f[1 + k], v))
        throw ToolError(at(i) + "\"" + f[1 + k] + "\" is not a number");
      std::vector<double>& dst = k < 3 ? r.u : (k < 6 ? r.t : r.xg);
      dst[3 * static_cast<std::size_t>(e - 1) + k % 3] = v;
    }
  }
  if (e < nelem)
    throw ToolError(path + " holds " + std::to_string(e) + " element records but the model has " +
                    std::to_string(nelem) +
                    " elements: the files do not belong together, or the run did not finish");

  for (; i < lines.size(); ++i)
    if (trim(lines[i]) == "Total force acting on the body is:") break;
  if (i + 1 < lines.size()) {
    const std::vector<std::string> f = tokens(lines[i + 1]);
    if (f.size() != 3)
      throw ToolError(at(i + 1) + "expected the three components of the total force");
    for (int k = 0; k < 3; ++k)
      if (!parse_fortran_real(f[k], r.force[k]))
        throw ToolError(at(i + 1) + "\"" + f[k] + "\" is not a number");
    r.has_force = true;
  }
  return r;
}

void check_results_match(const SurfaceMesh& m, const RunResults& res, const std::string& in_path,
                         const std::string& out_path) {
  const double ext = extent(m);
  for (int e = 1; e <= m.nelem; ++e)
    for (int c = 1; c <= 3; ++c) {
      const double x = (m.x(m.node(e, 1), c) + m.x(m.node(e, 2), c) + m.x(m.node(e, 3), c)) / 3;
      const double xg = res.xg[3 * static_cast<std::size_t>(e - 1) + c - 1];
      if (!(std::fabs(x - xg) <= 1e-9 * (ext + std::fabs(x))))
        throw ToolError(out_path + ", line " + std::to_string(res.first_record_line + e - 1) +
                        ": the collocation point of element " + std::to_string(e) +
                        " differs from the centroid of element " + std::to_string(e) + " of " +
                        in_path + ": the files do not belong together");
    }
}

void check_results_match(const Model& model, const RunResults& res, const std::string& in_path,
                         const std::string& out_path) {
  const SurfaceMesh& m = model.mesh;
  check_results_match(m, res, in_path, out_path);
  for (int e = 1; e <= m.nelem; ++e)
    for (int k = 1; k <= 3; ++k) {
      const bool traction = model.code(e, k) == 2.0;
      const double want = model.value(e, k);
      const double got = (traction ? res.t : res.u)[3 * static_cast<std::size_t>(e - 1) + k - 1];
      if (std::fabs(got - want) <= 1e-11 * std::max(std::fabs(got), std::fabs(want)) + 1e-300)
        continue;
      auto text = [](double v) {
        char buf[40];
        std::snprintf(buf, sizeof buf, "%.12g", v);
        return std::string(buf);
      };
      throw ToolError(out_path + ", line " + std::to_string(res.first_record_line + e - 1) + ": " +
                      (traction ? "traction" : "velocity") + " component " + std::to_string(k) +
                      " of element " + std::to_string(e) + " is " + text(got) + " there, but " +
                      in_path + " prescribes " + text(want) +
                      ": the results are from other boundary conditions (" + in_path +
                      " changed after the run); rerun velmora");
    }
}

}  // namespace velmora::tools
