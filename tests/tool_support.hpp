// Helpers for the tests of the companion tools: scratch folders, whole
// files, running a tool in-process, edge checks of a surface.
#pragma once

#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "bem/shapes.hpp"

namespace velmora::testing {

// A fresh folder under the system's temporary folder, removed at the end.
class ScratchDir {
 public:
  explicit ScratchDir(const std::string& tag) {
    static std::atomic<int> serial{0};
    path_ = std::filesystem::temp_directory_path() /
            ("velmora-" + tag + "-" + std::to_string(::getpid()) + "-" + std::to_string(serial++));
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

inline std::string read_file(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void write_file(const std::string& path, const std::string& text) {
  std::ofstream out(path);
  out << text;
}

// Result of running a tool: exit status and the two streams.
struct ToolRun {
  int status = -1;
  std::string out, err;
};

template <class F>
ToolRun run_tool(F tool, std::vector<std::string> args) {
  std::ostringstream out, err;
  ToolRun r;
  r.status = tool(args, out, err);
  r.out = out.str();
  r.err = err.str();
  return r;
}

// Directed edge counts: a closed, consistently oriented surface uses every
// directed edge once and its reverse once.
inline bool closed_and_consistent(const SurfaceMesh& m) {
  std::map<std::pair<int, int>, int> edges;
  for (int e = 1; e <= m.nelem; ++e)
    for (int v = 1; v <= 3; ++v) ++edges[{m.node(e, v), m.node(e, v % 3 + 1)}];
  for (const auto& [edge, count] : edges) {
    if (count != 1) return false;
    const auto r = edges.find({edge.second, edge.first});
    if (r == edges.end() || r->second != 1) return false;
  }
  return true;
}

inline double mesh_area(const SurfaceMesh& m) {
  double a = 0;
  for (int e = 1; e <= m.nelem; ++e) {
    double d[3], g[3];
    for (int c = 1; c <= 3; ++c) {
      d[c - 1] = m.x(m.node(e, 2), c) - m.x(m.node(e, 1), c);
      g[c - 1] = m.x(m.node(e, 3), c) - m.x(m.node(e, 1), c);
    }
    const double k1 = d[1] * g[2] - d[2] * g[1], k2 = d[2] * g[0] - d[0] * g[2],
                 k3 = d[0] * g[1] - d[1] * g[0];
    a += 0.5 * std::sqrt(k1 * k1 + k2 * k2 + k3 * k3);
  }
  return a;
}

// All reals of the JSON array that follows the nth (0-based) "key": in
// text, in order; empty when there is no such key.
inline std::vector<double> json_numbers(const std::string& text, const std::string& key,
                                        int nth = 0) {
  std::size_t at = std::string::npos;
  for (int i = 0; i <= nth; ++i) {
    at = text.find("\"" + key + "\": [", at == std::string::npos ? 0 : at + 1);
    if (at == std::string::npos) return {};
  }
  std::size_t pos = text.find('[', at), depth = 0, end = pos;
  for (; end < text.size(); ++end) {
    if (text[end] == '[') ++depth;
    if (text[end] == ']' && --depth == 0) break;
  }
  std::vector<double> v;
  const std::string part = text.substr(pos, end - pos);
  const std::regex number(R"([-+]?[0-9][0-9.eE+-]*)");
  for (auto it = std::sregex_iterator(part.begin(), part.end(), number); it != std::sregex_iterator();
       ++it)
    v.push_back(std::stod(it->str()));
  return v;
}

}  // namespace velmora::testing
