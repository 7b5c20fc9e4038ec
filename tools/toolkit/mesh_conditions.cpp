#include "toolkit/mesh_conditions.hpp"

#include <cmath>
#include <memory>
#include <sstream>

#include "common/constants.hpp"
#include "toolkit/args.hpp"

#ifdef VELMORA_HAVE_MUPARSER
#include <muParser.h>
#endif

namespace velmora::tools {
namespace {

using P3 = std::array<double, 3>;

P3 node_point(const SurfaceMesh& m, int e, int v) {
  return {m.x(m.node(e, v), 1), m.x(m.node(e, v), 2), m.x(m.node(e, v), 3)};
}

// Area and unit normal (x2 - x1) x (x3 - x1) / |...| of element e.
void area_normal(const SurfaceMesh& m, int e, double& area, P3& n) {
  const P3 a = node_point(m, e, 1), b = node_point(m, e, 2), c = node_point(m, e, 3);
  const P3 d{b[0] - a[0], b[1] - a[1], b[2] - a[2]}, g{c[0] - a[0], c[1] - a[1], c[2] - a[2]};
  n = {d[1] * g[2] - d[2] * g[1], d[2] * g[0] - d[0] * g[2], d[0] * g[1] - d[1] * g[0]};
  const double len = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
  area = 0.5 * len;
  for (double& v : n) v = len > 0 ? v / len : 0.0;
}

P3 centroid_of(const SurfaceMesh& m, int e) {
  P3 c{0, 0, 0};
  for (int v = 1; v <= 3; ++v)
    for (int k = 0; k < 3; ++k) c[k] += m.x(m.node(e, v), k + 1) / 3.0;
  return c;
}

std::string point_text(const P3& p) {
  return "(" + show(p.data()) + ")";
}

// Three compiled expressions in x, y, z.
class Field {
 public:
#ifdef VELMORA_HAVE_MUPARSER
  Field(const std::array<std::string, 3>& text, const std::string& option) : option_(option) {
    for (int k = 0; k < 3; ++k) {
      auto& p = parser_[k];
      p = std::make_unique<mu::Parser>();
      try {
        p->DefineVar("x", &x_[0]);
        p->DefineVar("y", &x_[1]);
        p->DefineVar("z", &x_[2]);
        p->DefineConst("pi", kPi);
        p->DefineConst("e", std::exp(1.0));
        p->SetExpr(text[k]);
        p->Eval();  // parses now, so that errors show before any work
        if (p->GetNumResults() != 1)
          throw UsageError(option + ": component " + std::to_string(k + 1) + " (\"" + text[k] +
                           "\") holds several expressions; separate the components with ';'");
      } catch (const mu::Parser::exception_type& ex) {
        throw UsageError(option + ": component " + std::to_string(k + 1) + " (\"" + text[k] +
                         "\"): " + ex.GetMsg());
      }
    }
  }
  P3 at(const P3& x) {
    x_ = x;
    P3 v;
    for (int k = 0; k < 3; ++k) {
      try {
        v[k] = parser_[k]->Eval();
      } catch (const mu::Parser::exception_type& ex) {
        throw ToolError(option_ + ": at " + point_text(x) + ": " + ex.GetMsg());
      }
    }
    return v;
  }

 private:
  std::string option_;
  P3 x_{0, 0, 0};
  std::array<std::unique_ptr<mu::Parser>, 3> parser_;
#else
  Field(const std::array<std::string, 3>&, const std::string& option) {
    throw UsageError(option +
                     " needs muparser, which this build lacks (install libmuparser-dev and "
                     "rebuild); --velocity, --rotation and --traction work without it");
  }
  P3 at(const P3&) { return {0, 0, 0}; }
#endif
};

}  // namespace

std::string Condition::label() const {
  switch (target) {
    case Target::kBody:
      return "--body " + std::to_string(body);
    case Target::kGroup:
      return "--group " + group;
    default:
      return "all bodies";
  }
}

bool expressions_available() {
#ifdef VELMORA_HAVE_MUPARSER
  return true;
#else
  return false;
#endif
}

std::array<std::string, 3> parse_expressions(const std::string& text, const std::string& option) {
  std::array<std::string, 3> parts;
  std::size_t start = 0;
  for (int k = 0; k < 3; ++k) {
    const std::size_t end = text.find(';', start);
    if ((end == std::string::npos) != (k == 2))
      throw UsageError(option + " takes three expressions separated by ';', \"U;V;W\" (got \"" +
                       text + "\")");
    parts[k] = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (parts[k].find_first_not_of(" \t") == std::string::npos)
      throw UsageError(option + ": component " + std::to_string(k + 1) + " is empty");
    start = end + 1;
  }
  Field check(parts, option);  // throws on a bad expression
  return parts;
}

std::array<int, 3> parse_codes(const std::string& text, const std::string& option) {
  std::vector<double> v;
  try {
    v = parse_reals(text, 3, option);
  } catch (const ToolError& e) {
    throw UsageError(e.what());
  }
  std::array<int, 3> c{};
  for (int k = 0; k < 3; ++k) {
    if (v[k] != 1 && v[k] != 2)
      throw UsageError(option + " takes three codes, each 1 (velocity) or 2 (traction); got \"" +
                       text + "\"");
    c[k] = static_cast<int>(v[k]);
  }
  return c;
}

std::vector<char> select_elements(const Condition& c, const Bodies& bodies,
                                  const std::vector<int>& group,
                                  const std::map<int, std::string>& group_names) {
  const int nelem = static_cast<int>(bodies.body.size());
  std::vector<char> sel(nelem, 0);
  if (c.target == Condition::Target::kAll) {
    sel.assign(nelem, 1);
    return sel;
  }
  if (c.target == Condition::Target::kBody) {
    if (c.body < 1 || c.body > bodies.count)
      throw ToolError("--body " + std::to_string(c.body) + ": the mesh has " +
                      std::to_string(bodies.count) + " bodies");
    for (int e = 0; e < nelem; ++e) sel[e] = bodies.body[e] == c.body;
    return sel;
  }
  int tag = 0;
  bool found = false;
  std::string names;
  for (const auto& [t, name] : group_names) {
    names += (names.empty() ? "" : ", ") + std::to_string(t) +
             (name.empty() ? "" : " \"" + name + "\"");
    if (name == c.group || std::to_string(t) == c.group) {
      tag = t;
      found = true;
    }
  }
  if (!found)
    throw ToolError("--group " + c.group + ": no such physical surface group" +
                    (names.empty() ? std::string(" (the mesh has none)")
                                   : " (the mesh has " + names + ")"));
  for (int e = 0; e < nelem; ++e) sel[e] = group[e] == tag;
  return sel;
}

int apply_condition(const Condition& c, const std::vector<char>& selected, const Bodies& bodies,
                    const std::vector<std::array<double, 3>>& centroid, Model& model,
                    ConditionState& state) {
  const SurfaceMesh& m = model.mesh;
  if (state.flux_quadrature.size() != static_cast<std::size_t>(m.nelem))
    state.flux_quadrature.assign(m.nelem, 0.0);
  std::array<int, 3> codes{1, 1, 1};
  if (c.codes)
    codes = *c.codes;
  else if (c.has_traction())
    codes = {2, 2, 2};
  std::optional<Field> vfield, tfield;
  if (c.velocity_expr) vfield.emplace(*c.velocity_expr, "--velocity-expr");
  if (c.traction_expr) tfield.emplace(*c.traction_expr, "--traction-expr");
  const P3 U = c.velocity.value_or(P3{0, 0, 0}), W = c.rotation.value_or(P3{0, 0, 0});

  // The velocity of the velocity source at x (0 without one).
  auto velocity_at = [&](const P3& x, int body) -> P3 {
    if (vfield) return vfield->at(x);
    // u = U + Omega x (x - c).
    const P3 ctr = c.about.value_or(centroid[body - 1]);
    const P3 r{x[0] - ctr[0], x[1] - ctr[1], x[2] - ctr[2]};
    return {U[0] + W[1] * r[2] - W[2] * r[1], U[1] + W[2] * r[0] - W[0] * r[2],
            U[2] + W[0] * r[1] - W[1] * r[0]};
  };
  auto check_finite = [&](const P3& v, int e, const P3& x, const char* option) {
    for (int k = 0; k < 3; ++k)
      if (!std::isfinite(v[k]))
        throw ToolError(std::string(option) + ": component " + std::to_string(k + 1) +
                        " is not finite (" + real_text(v[k]) + ") at element " +
                        std::to_string(e) + ", centroid " + point_text(x));
  };

  int count = 0;
  for (int e = 1; e <= m.nelem; ++e) {
    if (!selected[e - 1]) continue;
    ++count;
    const P3 x = centroid_of(m, e);
    const int body = bodies.body[e - 1];
    P3 u = velocity_at(x, body);
    if (vfield) check_finite(u, e, x, "--velocity-expr");
    P3 t = c.traction.value_or(P3{0, 0, 0});
    if (tfield) {
      t = tfield->at(x);
      check_finite(t, e, x, "--traction-expr");
    }
    for (int k = 1; k <= 3; ++k) {
      model.code(e, k) = codes[k - 1];
      model.value(e, k) = codes[k - 1] == 1 ? u[k - 1] : t[k - 1];
    }
    // Centroid-rule error of the flux of a field given by expressions: for
    // a quadratic field the exact integral over a flat triangle is
    // A (3 u(centroid) + mean of u at the vertices) / 4, so the rule misses
    // A (mean at vertices - u(centroid)) / 4.  Rigid motions are linear:
    // the rule is exact.
    double q = 0;
    if (vfield) {
      P3 mean{0, 0, 0};
      for (int v = 1; v <= 3; ++v) {
        const P3 uv = vfield->at(node_point(m, e, v));
        for (int k = 0; k < 3; ++k) mean[k] += uv[k] / 3.0;
      }
      double area = 0;
      P3 n;
      area_normal(m, e, area, n);
      double d = 0;
      for (int k = 0; k < 3; ++k)
        if (codes[k] == 1) d += (mean[k] - u[k]) * n[k];
      if (std::isfinite(d)) q = area * std::fabs(d) / 4.0;
    }
    state.flux_quadrature[e - 1] = q;
  }
  return count;
}

bool FluxCheck::incompatible() const {
  return std::fabs(flux) > 1e-6 * scale + 3.0 * quadrature;
}

std::vector<FluxCheck> interior_flux(const Model& model, const Bodies& bodies,
                                     const std::vector<int>& interior,
                                     const ConditionState& state) {
  const SurfaceMesh& m = model.mesh;
  std::vector<FluxCheck> checks;
  for (int b : interior) {
    if (b < 1 || b > bodies.count) continue;
    FluxCheck f;
    f.body = b;
    bool all_velocity = true;
    for (int e = 1; e <= m.nelem && all_velocity; ++e) {
      if (bodies.body[e - 1] != b) continue;
      for (int k = 1; k <= 3; ++k) all_velocity = all_velocity && model.code(e, k) != 2;
      if (!all_velocity) break;
      double area = 0;
      P3 n;
      area_normal(m, e, area, n);
      double un = 0, uu = 0;
      for (int k = 1; k <= 3; ++k) {
        un += model.value(e, k) * n[k - 1];
        uu += model.value(e, k) * model.value(e, k);
      }
      f.flux += area * un;
      f.scale += area * std::sqrt(uu);
      if (e - 1 < static_cast<int>(state.flux_quadrature.size()))
        f.quadrature += state.flux_quadrature[e - 1];
    }
    if (all_velocity) checks.push_back(f);
  }
  return checks;
}

}  // namespace velmora::tools
