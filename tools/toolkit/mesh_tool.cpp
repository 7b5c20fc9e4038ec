#include "toolkit/mesh_tool.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <ostream>
#include <set>

#include "bem/shapes.hpp"
#include "common/constants.hpp"
#include "common/listread.hpp"
#include "common/stop.hpp"
#include "common/units.hpp"
#include "run/program.hpp"
#include "run/registry.hpp"
#include "toolkit/args.hpp"
#include "toolkit/gmsh_import.hpp"
#include "toolkit/mesh_conditions.hpp"
#include "toolkit/mesh_gaps.hpp"
#include "toolkit/mesh_options.hpp"
#include "toolkit/mesh_formats.hpp"
#include "toolkit/model_io.hpp"
#include "toolkit/surface.hpp"
#include "toolkit/tool_error.hpp"

namespace velmora::tools {
namespace {

using namespace mesh_detail;

// Refinement level of an icosphere-based body: as given, the smallest with
// at least the requested element count, or the smallest whose longest
// edge is at most the requested size (measured on the body itself).
template <class Make>
int refinement(const Options& o, Make make) {
  if (o.refine) return *o.refine;
  if (o.elements) {
    int r = 0;
    while (20L << (2 * r) < *o.elements) {
      if (++r > kMaxRefine)
        throw ToolError("at most " + std::to_string(20L << (2 * kMaxRefine)) +
                        " elements per body");
    }
    return r;
  }
  if (o.size) {
    for (int r = 0; r <= kMaxRefine; ++r)
      if (longest_edge(make(r)) <= *o.size) return r;
    throw ToolError("--size is too small: even " + std::to_string(20L << (2 * kMaxRefine)) +
                    " elements per body do not reach it");
  }
  return 3;
}

void need_positive(const std::vector<double>& v, const std::string& what) {
  for (double x : v)
    if (!(x > 0)) throw ToolError(what + " must be positive");
}

struct Built {
  SurfaceMesh mesh;
  std::vector<int> group;
  std::map<int, std::string> group_names;
  std::vector<std::string> notes;
  std::optional<Model> source;  // the model file read, for a .dat FILE
};

Built build_shape(const Options& o);

// The mesh of the options.  Errors in the built-in shapes' options are
// usage errors; those of files are errors of the input.
Built build_mesh(const Options& o) {
  const bool file = o.shape != "sphere" && o.shape != "spheroid" && o.shape != "ellipsoid" &&
                    o.shape != "torus" && o.shape != "spheres";
  if (file) {
    if (o.elements || o.refine || o.grid)
      throw UsageError("for a file, give the element size with --size");
    if (o.radius || o.axes || o.radii || o.centre || !o.spheres.empty())
      throw UsageError(
          "shape options (--radius, --axes, --radii, --centre, --sphere) apply to "
          "built-in shapes only");
    if (o.from_model_file() && o.size)
      throw UsageError("a model file (.dat) keeps its mesh: --size does not apply");
    return build_shape(o);
  }
  try {
    return build_shape(o);
  } catch (const UsageError&) {
    throw;
  } catch (const ToolError& e) {
    throw UsageError(e.what());
  }
}

Built build_shape(const Options& o) {
  Built b;
  const V3 c = o.centre.value_or(V3{0, 0, 0});
  if (o.from_model_file()) {
    if (!std::filesystem::exists(o.shape)) throw ToolError("cannot open " + o.shape);
    Model model = read_input_dat(o.shape);
    b.mesh = model.mesh;
    b.group = model.notes.group_of_elements(model.mesh.nelem);
    for (const ModelNotes::Group& g : model.notes.groups) b.group_names[g.tag] = g.name;
    b.source = std::move(model);
  } else if (o.shape == "sphere") {
    const double r = o.radius.value_or(1.0);
    need_positive({r}, "--radius");
    if (o.frequency) {
      b.mesh = geodesic_sphere(*o.frequency, r, c.data());
    } else {
      const int level = refinement(o, [&](int l) { return icosphere(l, r, c.data()); });
      b.mesh = icosphere(level, r, c.data());
    }
  } else if (o.shape == "spheroid" || o.shape == "ellipsoid") {
    const bool spheroid = o.shape == "spheroid";
    if (!o.axes || o.axes->size() != (spheroid ? 2u : 3u))
      throw ToolError(spheroid ? "spheroid needs --axes A,C (equatorial and polar semi-axis)"
                               : "ellipsoid needs --axes A,B,C (the three semi-axes)");
    const std::vector<double>& ax = *o.axes;
    need_positive(ax, "--axes");
    const double A = ax[0], B = spheroid ? ax[0] : ax[1], C = spheroid ? ax[1] : ax[2];
    const int level = refinement(o, [&](int l) { return ellipsoid(l, A, B, C, c.data()); });
    b.mesh = ellipsoid(level, A, B, C, c.data());
  } else if (o.shape == "torus") {
    if (!o.radii) throw ToolError("torus needs --radii R,r (major and minor radius)");
    const double R = (*o.radii)[0], r = (*o.radii)[1];
    need_positive({R, r}, "--radii");
    if (!(r < R)) throw ToolError("a torus needs its minor radius below its major radius");
    int nu = 0, nv = 0;
    if (o.grid) {
      nu = static_cast<int>((*o.grid)[0]);
      nv = static_cast<int>((*o.grid)[1]);
      if (nu < 3 || nv < 3 || nu != (*o.grid)[0] || nv != (*o.grid)[1])
        throw ToolError("--grid takes two integers of at least 3");
    } else if (o.size) {
      // Quadrilateral sides of at most size/sqrt(2), so that the diagonals
      // (the longest edges) stay within the size; the outer equator is the
      // longest ring.
      const double side = *o.size / std::sqrt(2.0);
      nu = std::max(3, static_cast<int>(std::ceil(2 * kPi * (R + r) / side)));
      nv = std::max(3, static_cast<int>(std::ceil(2 * kPi * r / side)));
    } else {
      // Near-square cells: nu / nv = R / r, 2 nu nv >= the element count.
      const double n = o.elements.value_or(1280) / 2.0;
      nv = std::max(3, static_cast<int>(std::ceil(std::sqrt(n * r / R))));
      nu = std::max(3, static_cast<int>(std::ceil(n / nv)));
    }
    if (static_cast<long>(nu) * nv > 5000000L) throw ToolError("torus grid too fine");
    b.mesh = torus(nu, nv, R, r, c.data());
  } else if (o.shape == "spheres") {
    if (o.spheres.empty()) throw ToolError("spheres needs --sphere X,Y,Z,R at least once");
    for (const auto& s : o.spheres) need_positive({s[3]}, "the radius of --sphere");
    for (std::size_t i = 0; i < o.spheres.size(); ++i)
      for (std::size_t j = i + 1; j < o.spheres.size(); ++j) {
        const auto &p = o.spheres[i], &q = o.spheres[j];
        const double d = std::hypot(p[0] - q[0], p[1] - q[1], p[2] - q[2]);
        if (d <= p[3] + q[3])
          throw ToolError("spheres " + std::to_string(i + 1) + " and " + std::to_string(j + 1) +
                          " overlap or touch");
      }
    // One refinement for all, chosen for the largest sphere.
    std::size_t big = 0;
    for (std::size_t i = 1; i < o.spheres.size(); ++i)
      if (o.spheres[i][3] > o.spheres[big][3]) big = i;
    const int level = refinement(o, [&](int l) { return icosphere(l, o.spheres[big][3]); });
    std::vector<SphereSpec> list;
    for (const auto& s : o.spheres) list.push_back({{s[0], s[1], s[2]}, s[3]});
    b.mesh = spheres(level, list);
  } else {
    // .obj, .off and meshio's formats have readers of their own.
    if (!gmsh_available() && mesh_format_of(o.shape) == MeshFormat::gmsh)
      throw ToolError("reading " + o.shape +
                      " needs Gmsh, which this build lacks (install libgmsh-dev and rebuild); "
                      "the built-in shapes work without it");
    ImportedSurface s = import_with_gmsh(o.shape, o.size.value_or(0.0), o.verbose_gmsh);
    b.mesh = std::move(s.mesh);
    b.group = std::move(s.group);
    b.group_names = std::move(s.group_names);
    b.notes = std::move(s.notes);
  }
  if (b.group.empty()) b.group.assign(b.mesh.nelem, 0);
  return b;
}

// The mesh of the options, cleaned up and oriented, with velmora-mesh's
// notes and warnings on `err`.
PreparedMesh prepare(const Options& o, std::ostream& err) {
  const ImportProgress progress(o.quiet ? nullptr : &err);  // Gmsh's long steps on err
  Built built = build_mesh(o);
  PreparedMesh b;
  b.mesh = std::move(built.mesh);
  b.group = std::move(built.group);
  b.group_names = std::move(built.group_names);
  b.source = std::move(built.source);
  SurfaceMesh& m = b.mesh;
  for (const std::string& n : built.notes) err << "velmora-mesh: note: " << n << '\n';

  // Clean-up: coincident nodes (as left by STL files), degenerate elements.
  const int merged = merge_coincident_nodes(m, 1e-10 * extent(m));
  if (merged > 0 && !o.quiet)
    err << "velmora-mesh: note: merged " << merged << " coincident nodes\n";
  // Element numbers before the clean-up, which carry the groups and a model
  // file's conditions along.
  b.origin.resize(m.nelem);
  for (int e = 1; e <= m.nelem; ++e) b.origin[e - 1] = e;
  const int dropped = remove_degenerate_elements(m, &b.origin);
  if (dropped > 0) {
    std::vector<int> g(b.origin.size());
    for (std::size_t i = 0; i < g.size(); ++i) g[i] = b.group[b.origin[i] - 1];
    b.group.swap(g);
  }
  if (dropped > 0)
    err << "velmora-mesh: warning: removed " << dropped
        << " degenerate elements (repeated or collinear nodes)\n";
  if (m.nelem == 0) throw ToolError("no elements left");

  b.bodies = find_bodies(m);
  const Bodies& bodies = b.bodies;

  // Containers: the bodies the --interior selections hold, and those a
  // model file read names in its notes.
  std::vector<char> interior(bodies.count, 0);
  if (b.source)
    for (int k : b.source->notes.interior)
      if (k >= 1 && k <= bodies.count) interior[k - 1] = 1;
  for (const Condition& c : o.conditions) {
    if (!c.interior) continue;
    const std::vector<char> sel = select_elements(c, bodies, b.group, b.group_names);
    bool any = false;
    for (int e = 1; e <= m.nelem; ++e)
      if (sel[e - 1]) interior[bodies.body[e - 1] - 1] = 1, any = true;
    if (!any)
      err << "velmora-mesh: warning: --interior for " << c.label() << " holds no elements\n";
  }
  for (int k = 1; k <= bodies.count; ++k)
    if (interior[k - 1]) b.interior.push_back(k);
  b.checks = orient_bodies(m, bodies, interior);
  const std::vector<BodyCheck>& checks = b.checks;
  for (int k = 1; k <= bodies.count; ++k) {
    const BodyCheck& c = checks[k - 1];
    const std::string who = "body " + std::to_string(k);
    if (!c.orientable)
      err << "velmora-mesh: warning: " << who
          << " cannot be oriented consistently (not an orientable surface)\n";
    if (c.nonmanifold_edges > 0)
      err << "velmora-mesh: warning: " << who << " is non-manifold: " << c.nonmanifold_edges
          << " edges are shared by more than two elements\n";
    if (c.open_edges > 0)
      err << "velmora-mesh: warning: " << who << " is open (" << c.open_edges
          << " boundary edges): its orientation cannot be checked by its volume and was kept "
             "as the first element has it; the solver expects closed bodies\n";
    if (c.interior && !c.closed())
      err << "velmora-mesh: warning: " << who
          << " is marked --interior but is not closed: it cannot enclose the fluid\n";
    if (c.flipped > 0 && !o.quiet)
      err << "velmora-mesh: note: reversed " << c.flipped << " of the " << c.nelem
          << " elements of " << who
          << (c.interior ? " so that the normals point out of the enclosed fluid\n"
                         : " so that the normals point into the body\n");
  }

  // Gaps narrower than the elements beside them.
  const Gap gap = narrowest_gap(m, bodies);
  if (gap.found)
    err << "velmora-mesh: warning: bodies " << gap.body_a << " and " << gap.body_b
        << " come within " << show(&gap.distance, 1) << " of each other (elements "
        << gap.elem_a << " and " << gap.elem_b << "), where the elements are up to "
        << show(&gap.size, 1)
        << " long: the flow in a gap is not resolved by elements larger than the gap (their "
           "velocities come out far too large); elements of about a third of the gap ("
        << show(std::array<double, 1>{gap.distance / 3}.data(), 1)
        << " here) are needed near it, see docs/tools.md\n";
  return b;
}

}  // namespace

PreparedMesh prepare_mesh(const std::vector<std::string>& words, std::ostream& err) {
  return prepare(parse(words), err);
}

namespace {

std::string fmt3(const V3& v) {
  std::string s(1, '(');
  s += show(v.data());
  s += ')';
  return s;
}

// An input.cnd kept from an earlier mesh may not fit this one: its maxcel
// and maxdep are compared with the tree the solver will build for this mesh
// (with the file's own minlev, maxl and cubfac), and a warning gives the
// values needed; an nexp too small for its tol gets a warning as well.  The
// file itself is left as it is.
void check_kept_controls(const std::string& path, const SurfaceMesh& m, std::ostream& err) {
  RunScalars s;
  try {
    ListReader r;
    if (!r.open(path)) throw ToolError("cannot open it");
    read_control(r, s);
  } catch (const std::exception& e) {
    // The reader's own message (which line, what it found) goes first.
    if (dynamic_cast<const StopRun*>(&e) != nullptr) units().write_error(e.what());
    err << "velmora-mesh: warning: cannot read the kept " << path
        << "; its maxcel and maxdep are not checked against the new mesh\n";
    return;
  }
  if (s.nexp >= 0 && s.nexp < nexp_for_tolerance(s.tol))
    err << "velmora-mesh: warning: the kept " << path << " pairs tol " << real_text(s.tol)
        << " with nexp " << s.nexp << ", whose far-field error lies above that "
        << "tolerance; nexp " << nexp_for_tolerance(s.tol) << " suits it\n";
  if (s.maxl < 1 || s.minlev < 0 || !(s.cubfac > 0.0)) return;  // the solver refuses these itself
  const TreeSize t = tree_size(m, s.minlev, s.maxl, s.cubfac);
  if (t.ncell <= s.maxcel && t.nlev <= s.maxdep) return;
  err << "velmora-mesh: warning: the kept " << path << " does not fit this mesh: its tree needs "
      << t.ncell << " cells on " << t.nlev << " levels, the file gives maxcel " << s.maxcel
      << " and maxdep " << s.maxdep << "; set maxcel to at least " << t.ncell << " ("
      << t.ncell + t.ncell / 4 + 50 << " with the usual margin) and maxdep to at least " << t.nlev
      << ", or rewrite the file with --new-cnd\n";
}

}  // namespace

int run_mesh_tool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  if (!args.empty() && (args[0] == "--help" || args[0] == "-h")) {
    out << mesh_usage();
    return 0;
  }
  if (!args.empty() && args[0] == "--version") {
    out << "velmora-mesh " << VELMORA_VERSION
        << (gmsh_available() ? " (with Gmsh)" : " (without Gmsh)") << '\n';
    return 0;
  }
  try {
    const Options o = parse(args);
    PreparedMesh b = prepare(o, err);
    SurfaceMesh& m = b.mesh;
    const Bodies& bodies = b.bodies;
    const std::vector<BodyGeometry> geo = body_geometry(m, bodies);

    // Boundary conditions: a model file's own, or every element at rest,
    // then the selections in order.
    Model model;
    model.mesh = m;
    model.bc.assign(6 * static_cast<std::size_t>(m.nelem), 0.0);
    for (int e = 1; e <= m.nelem; ++e)
      for (int k = 1; k <= 3; ++k) {
        model.code(e, k) = b.source ? b.source->code(b.origin[e - 1], k) : 1.0;
        model.value(e, k) = b.source ? b.source->value(b.origin[e - 1], k) : 0.0;
      }
    bool any = false;
    for (const Condition& c : o.conditions) any = any || !c.empty();
    std::vector<Condition> conds = o.conditions;
    if (!any && !b.source) {
      conds[0].velocity = V3{1, 0, 0};
      if (!o.quiet)
        err << "velmora-mesh: note: no boundary condition given; every body translates with "
               "U = (1, 0, 0)\n";
    }
    std::vector<V3> centroids;
    for (const BodyGeometry& g : geo) centroids.push_back(g.centroid);
    ConditionState state;
    for (const Condition& c : conds) {
      if (c.empty()) continue;
      const std::vector<char> sel = select_elements(c, bodies, b.group, b.group_names);
      const int count = apply_condition(c, sel, bodies, centroids, model, state);
      if (count == 0 && c.target != Condition::Target::kAll)
        err << "velmora-mesh: warning: a selection (" << c.label() << ") holds no elements\n";
    }

    // Interior flow with the velocity prescribed all round a container: an
    // incompressible fluid needs zero net flux through its wall.
    const std::vector<FluxCheck> fluxes = interior_flux(model, bodies, b.interior, state);
    for (const FluxCheck& f : fluxes) {
      if (!f.incompatible()) continue;
      const double rel = f.scale > 0 ? f.flux / f.scale : 0.0;
      err << "velmora-mesh: warning: the velocity prescribed on the wall of container body "
          << f.body << " carries a net flux " << show(&f.flux, 1) << " out of the fluid ("
          << show(&rel, 1)
          << " of sum A|u|): an incompressible fluid enclosed by the wall admits no such flow, "
             "so velmora's results (it converges all the same) describe none; balance the inflow with an "
             "outflow, or prescribe the traction instead of the velocity somewhere (an outlet "
             "with --traction 0,0,0)\n";
    }

    // Titles: the command line, and what the model holds.
    // (less the options that do not shape the model).
    std::string cmd = "velmora-mesh";
    for (std::size_t i = 0; i < args.size(); ++i) {
      const std::string& w = args[i];
      if (w == "--dir" || w == "--title") {
        ++i;
        continue;
      }
      if (w == "--quiet" || w == "--verbose" || w == "--new-cnd" || w.rfind("--dir=", 0) == 0 ||
          w.rfind("--title=", 0) == 0)
        continue;
      cmd += " " + w;
    }
    model.title = o.title.value_or(b.source ? b.source->title : cmd);
    model.mu = o.mu.value_or(b.source ? b.source->mu : 1.0);
    model.subtitle = std::to_string(m.nelem) + " elements, " + std::to_string(m.nnode) +
                     " nodes, " + std::to_string(bodies.count) +
                     (bodies.count == 1 ? " body" : " bodies");
    {
      std::vector<std::pair<int, std::string>> names(b.group_names.begin(), b.group_names.end());
      model.notes = make_model_notes(b.group, names, b.interior);
    }

    namespace fs = std::filesystem;
    std::error_code ec;
    fs::create_directories(o.dir, ec);
    const fs::path dat = fs::path(o.dir) / "input.dat", cnd = fs::path(o.dir) / "input.cnd";
    // A model file rewritten in place keeps its former text as input.dat.orig.
    std::string backup;
    if (b.source && fs::exists(dat) && fs::equivalent(dat, o.shape, ec)) {
      backup = dat.string() + ".orig";
      fs::copy_file(dat, backup, fs::copy_options::overwrite_existing, ec);
      if (ec) throw ToolError("cannot keep a copy of " + dat.string() + " as " + backup);
    }
    write_file_replacing(dat.string(), [&](std::ostream& f) { write_input_dat(f, model); });
    const bool write_cnd = o.new_cnd || !fs::exists(cnd);
    Controls ctl;
    if (!write_cnd) check_kept_controls(cnd.string(), m, err);
    if (write_cnd) {
      ctl = suggest_controls(m);
      write_file_replacing(cnd.string(), [&](std::ostream& f) { write_input_cnd(f, ctl); });
    }

    if (!o.quiet) {
      out << "Wrote " << dat.string() << ": " << model.subtitle << ", mu = " << show(&model.mu, 1)
          << '\n';
      if (!backup.empty()) out << "  (the model file read is kept as " << backup << ")\n";
      for (int k = 1; k <= bodies.count; ++k) {
        const BodyGeometry& g = geo[k - 1];
        const BodyCheck& c = b.checks[k - 1];
        out << "  body " << k << ": " << g.nelem << " elements, " << (g.closed ? "closed" : "open")
            << (c.interior ? ", interior" : "") << ", area " << show(&g.area, 1);
        if (g.closed) out << ", volume " << show(&g.volume, 1);
        out << ", centroid " << fmt3(g.centroid);
        if (b.source) out << ", " << c.flipped << " elements reversed";
        out << '\n';
      }
      // The net flux of the prescribed velocity through each container's
      // wall, relative to sum A|u|, with the centroid rule's error bound.
      for (const FluxCheck& f : fluxes) {
        const double rel = f.scale > 0 ? f.flux / f.scale : 0.0;
        const double qrel = f.scale > 0 ? f.quadrature / f.scale : 0.0;
        out << "  body " << f.body << ": net flux of the prescribed velocity " << show(&f.flux, 1)
            << " (" << show(&rel, 1) << " of sum A|u|; the centroid rule's error bound "
            << show(&qrel, 1) << ")" << (f.incompatible() ? ": NOT BALANCED" : "") << '\n';
      }
      if (write_cnd)
        out << "Wrote " << cnd.string() << ": maxcel " << ctl.maxcel << ", maxdep " << ctl.maxdep
            << ", snaptol " << real_text(ctl.snaptol) << '\n';
      else
        out << "Kept the existing " << cnd.string() << " (--new-cnd rewrites it)\n";
    }
    return 0;
  } catch (const UsageError& e) {
    err << "velmora-mesh: " << e.what() << '\n';
    return 2;
  } catch (const ToolError& e) {
    err << "velmora-mesh: " << e.what() << '\n';
    return 1;
  } catch (const StopRun& stop) {
    return report_stop(stop);
  }
}

}  // namespace velmora::tools
