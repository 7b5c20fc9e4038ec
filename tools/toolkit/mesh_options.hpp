// velmora-mesh's options: the words of the command line read into one
// record (every problem with the words is a usage error).
#pragma once

#include <array>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "toolkit/mesh_conditions.hpp"

namespace velmora::tools::mesh_detail {

using V3 = std::array<double, 3>;

// Icosahedral refinements allowed: 20 * 4^8 = 1,310,720 elements per body.
constexpr int kMaxRefine = 8;
// Geodesic frequencies allowed: 20 * 256^2, the same largest size.
constexpr int kMaxFrequency = 256;

struct Options {
  std::string shape;  // sphere, spheroid, ellipsoid, torus, spheres, or a file name
  std::optional<double> radius;
  std::optional<std::vector<double>> axes, radii, grid;
  std::optional<V3> centre;
  std::vector<std::array<double, 4>> spheres;
  std::optional<int> elements, refine, frequency;
  std::optional<double> size;
  std::optional<double> mu;
  std::optional<std::string> title;
  std::string dir = ".";
  bool new_cnd = false;
  bool quiet = false;
  bool verbose_gmsh = false;
  std::vector<Condition> conditions;  // [0] applies to all elements
  std::set<std::string> given;        // options outside the selections
  bool from_model_file() const { return is_model_file(shape); }
  static bool is_model_file(const std::string& name) {
    return name.size() > 4 && name.compare(name.size() - 4, 4, ".dat") == 0;
  }
};

// The options of the words (without the program's name); UsageError on
// any problem with them.
Options parse(const std::vector<std::string>& raw);

}  // namespace velmora::tools::mesh_detail
