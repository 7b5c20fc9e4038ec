// Boundary conditions of velmora-mesh per selection of elements: rigid
// motions, uniform tractions, velocity and traction fields given as
// expressions in x, y, z (evaluated at each element's centroid, the
// collocation point), per-component codes that mix the two, and the marking
// of containers for interior flow.  Also the net flux check of interior
// flow with prescribed velocities.
#pragma once

#include <array>
#include <iosfwd>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "bem/shapes.hpp"
#include "toolkit/model_io.hpp"
#include "toolkit/surface.hpp"
#include "toolkit/tool_error.hpp"

namespace velmora::tools {

// A command-line error of velmora-mesh (exit status 2), as opposed to bad
// input files or meshes (status 1).
class UsageError : public ToolError {
 public:
  using ToolError::ToolError;
};

using Vec3 = std::array<double, 3>;

// Boundary condition of a selection of elements.  Velocity sources are the
// rigid motion (velocity, rotation about `about`) or velocity_expr;
// traction sources are traction or traction_expr.  Without codes, the one
// kind of source given sets all three components (code 1 for a velocity,
// 2 for a traction); with codes, component k takes its value from the
// velocity source when codes[k] is 1 and from the traction source when it
// is 2, a missing source giving 0.
struct Condition {
  enum class Target { kAll, kBody, kGroup } target = Target::kAll;
  int body = 0;
  std::string group;
  std::optional<Vec3> velocity, rotation, about, traction;
  std::optional<std::array<std::string, 3>> velocity_expr, traction_expr;
  std::optional<std::array<int, 3>> codes;
  bool interior = false;
  std::set<std::string> given;  // the options of this selection, to refuse repeats

  bool has_velocity() const { return velocity || rotation || velocity_expr; }
  bool has_traction() const { return traction || traction_expr; }
  // No boundary condition (an --interior alone is none).
  bool empty() const { return !has_velocity() && !has_traction() && !codes; }
  // "--body 2", "--group inlet" or "all bodies".
  std::string label() const;
};

// Whether this build evaluates expressions (it needs muparser).
bool expressions_available();

// "EXPR_1;EXPR_2;EXPR_3": three expressions in x, y, z (constants pi and
// e, muparser's functions).  Each is compiled and tried once; a bad one
// throws UsageError naming `option`, the component and muparser's message.
std::array<std::string, 3> parse_expressions(const std::string& text, const std::string& option);

// "C1,C2,C3" with every code 1 (velocity) or 2 (traction); else UsageError.
std::array<int, 3> parse_codes(const std::string& text, const std::string& option);

// The elements (flags, one per element) a condition selects.  Throws
// ToolError for a body number out of range or an unknown group.
std::vector<char> select_elements(const Condition& c, const Bodies& bodies,
                                  const std::vector<int>& group,
                                  const std::map<int, std::string>& group_names);

// Per-element bookkeeping while conditions are applied: the estimated
// error of the centroid rule for the flux of the prescribed velocity,
// A_e |(u_vertices - u_centroid) . n_e| / 4, which is the rule's exact error
// for a quadratic field (zero for rigid motions and for values read from a
// file).
struct ConditionState {
  std::vector<double> flux_quadrature;
};

// Sets the codes and values of the selected elements of `model` from `c`.
// `centroid` is the centroid per body (the default centre of a rotation).
// A non-finite expression value throws ToolError naming the element and its
// centroid.  Returns the number of elements set.
int apply_condition(const Condition& c, const std::vector<char>& selected, const Bodies& bodies,
                    const std::vector<std::array<double, 3>>& centroid, Model& model,
                    ConditionState& state);

// Net flux sum_e A_e u_e . n_e of the prescribed velocity through the wall
// of an interior body all of whose components are velocities, with the
// scale sum_e A_e |u_e| it is judged against and the estimated error of the
// centroid rule (sum of the per-element estimates).
struct FluxCheck {
  int body = 0;
  double flux = 0, scale = 0, quadrature = 0;
  // Above what rounding (1e-6 of the scale) and three times the
  // quadrature estimate can explain: no Stokes flow takes this velocity.
  bool incompatible() const;
};
std::vector<FluxCheck> interior_flux(const Model& model, const Bodies& bodies,
                                     const std::vector<int>& interior,
                                     const ConditionState& state);

}  // namespace velmora::tools
