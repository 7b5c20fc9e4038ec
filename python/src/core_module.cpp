// velmora._core: the library's entry points for the Python package.
//
// Arrays cross as numpy arrays in the package's conventions: nodes (N, 3)
// float64, triangles (M, 3) 0-based, per-element vectors (M, 3) row by
// element; the library's own column-major, 1-based layout is formed here and
// nowhere else.  Every entry that computes releases the GIL and holds the
// process-wide run lock instead (the library's unit table is one per
// process).  Errors of the library (StopRun, ToolError) reach Python as
// velmora.Error with the message the programs print, preceded by the lines
// the library wrote to its error stream during the call.
#include "binding_support.hpp"

namespace velmora::binding {
void bind_rigid(py::module_& mod);
}  // namespace velmora::binding

using namespace velmora::binding;

namespace {
py::array_t<long long> tris_of(const SurfaceMesh& s) {
  py::array_t<long long> a({s.nelem, 3});
  auto r = a.mutable_unchecked<2>();
  for (int e = 0; e < s.nelem; ++e)
    for (int v = 0; v < 3; ++v) r(e, v) = s.node(e + 1, v + 1) - 1;
  return a;
}

py::dict mesh_dict(const SurfaceMesh& s, const tools::Bodies& bodies,
                   const std::vector<tools::BodyCheck>& checks) {
  py::dict d;
  d["nodes"] = nodes_of(s);
  d["triangles"] = tris_of(s);
  py::array_t<long long> body(s.nelem);
  for (int e = 0; e < s.nelem; ++e) body.mutable_data()[e] = bodies.body[e] - 1;
  d["body"] = body;
  d["nbody"] = bodies.count;
  py::list closed, flipped;
  for (const auto& c : checks) {
    closed.append(c.closed());
    flipped.append(c.flipped);
  }
  d["closed"] = closed;
  d["flipped"] = flipped;
  return d;
}

}  // namespace

PYBIND11_MODULE(_core, mod) {
  mod.doc() = "Velmora's library: boundary elements and the fast multipole method for Stokes flow";
  static py::exception<BindingError> error(mod, "Error", PyExc_ValueError);
  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const BindingError& e) {
      error(e.what());
    }
  });

  mod.def("version", [] { return std::string(VELMORA_VERSION); });

  // Shapes and files through velmora-mesh's own path.
  mod.def("prepare_mesh", [](const std::vector<std::string>& words) {
    std::ostringstream notes;
    tools::PreparedMesh p =
        guarded([&] { return tools::prepare_mesh(words, notes); });
    py::dict d = mesh_dict(p.mesh, p.bodies, p.checks);
    py::array_t<long long> group(p.mesh.nelem);
    for (int e = 0; e < p.mesh.nelem; ++e) group.mutable_data()[e] = p.group[e];
    d["group"] = group;
    py::dict names;
    for (const auto& [tag, name] : p.group_names) names[py::int_(tag)] = name;
    d["group_names"] = names;
    d["notes"] = notes.str();
    return d;
  });

  // A mesh from arrays: checked, bodies found, oriented when asked.
  mod.def("mesh_from_arrays", [](const Reals& nodes, const Ints& tris, bool orient) {
    SurfaceMesh s = to_mesh(nodes, tris);
    auto r = guarded([&] {
      const tools::Bodies bodies = tools::find_bodies(s);
      std::vector<tools::BodyCheck> checks;
      if (orient) {
        checks = tools::orient_for_exterior_flow(s, bodies);
      } else {
        const auto geo = tools::body_geometry(s, bodies);
        for (const auto& g : geo) {
          tools::BodyCheck c;
          c.nelem = g.nelem;
          if (!g.closed) c.open_edges = 1;
          checks.push_back(c);
        }
      }
      // Zero-area elements are refused as the model file's reader refuses them.
      std::vector<double> bc(6 * static_cast<std::size_t>(s.nelem), 1.0);
      for (int e = 1; e <= s.nelem; ++e) {
        const ElementGeometry g = element_geometry(view_of(s, nullptr, bc.data()), e);
        if (!(g.area > 0.0))
          throw BindingError("triangle " + std::to_string(e - 1) +
                             " has zero area (its nodes coincide or are collinear)");
      }
      return std::make_pair(bodies, checks);
    });
    return mesh_dict(s, r.first, r.second);
  });

  // Centroids, unit normals (into the body) and areas, as the solver forms them.
  mod.def("geometry", [](const Reals& nodes, const Ints& tris) {
    const SurfaceMesh s = to_mesh(nodes, tris);
    py::array_t<double> cen({s.nelem, 3}), nor({s.nelem, 3}), area(s.nelem);
    std::vector<double> xcol(3 * static_cast<std::size_t>(s.nelem));
    collocation_points(s.nelem, s.nnode, s.ielem.data(), s.xnode.data(), xcol.data());
    const MeshView v = view_of(s, xcol.data(), nullptr);
    auto c = cen.mutable_unchecked<2>();
    auto n = nor.mutable_unchecked<2>();
    for (int e = 1; e <= s.nelem; ++e) {
      const ElementGeometry g = element_geometry(v, e);
      for (int k = 0; k < 3; ++k) {
        c(e - 1, k) = v.col(e, k + 1);
        n(e - 1, k) = g.normal[k];
      }
      area.mutable_data()[e - 1] = g.area;
    }
    return py::make_tuple(cen, nor, area);
  });

  // velmora-mesh's control values for this mesh; `given` overrides, and the
  // tree limits follow the given minlev, maxl and cubfac.
  mod.def("default_controls", [](const Reals& nodes, const Ints& tris, const py::dict& given) {
    const SurfaceMesh s = to_mesh(nodes, tris);
    auto has = [&](const char* k) { return given.contains(k) && !given[k].is_none(); };
    RunScalars in;
    in.minlev = has("minlev") ? given["minlev"].cast<int>() : 2;
    in.maxl = has("maxl") ? given["maxl"].cast<int>() : 40;
    in.cubfac = has("cubfac") ? given["cubfac"].cast<double>() : 1.01;
    const double tol = has("tol") ? given["tol"].cast<double>() : 1e-6;
    tools::Controls c = guarded([&] {
      tools::Controls c = tools::suggest_controls(s);
      if (in.minlev != c.minlev || in.maxl != c.maxl || in.cubfac != c.cubfac) {
        if (in.maxl < 1) throw BindingError("maxl must be at least 1");
        if (in.minlev < 2) throw BindingError("minlev must be at least 2");
        if (!(in.cubfac > 0)) throw BindingError("cubfac must be positive");
        const tools::TreeSize t = tools::tree_size(s, in.minlev, in.maxl, in.cubfac);
        c.maxdep = std::max(12, t.nlev + 2);
        c.maxcel = t.ncell + t.ncell / 4 + 50;
      }
      c.minlev = in.minlev;
      c.maxl = in.maxl;
      c.cubfac = in.cubfac;
      c.tol = tol;
      c.nexp = tools::nexp_for_tolerance(tol);
      return c;
    });
    py::dict d;
    d["snaptol"] = c.snaptol;
    d["M"] = c.M;
    d["iprec"] = c.iprec;
    d["ncycle"] = c.ncycle;
    d["tol"] = c.tol;
    d["maxdep"] = c.maxdep;
    d["minlev"] = c.minlev;
    d["maxl"] = c.maxl;
    d["maxcel"] = c.maxcel;
    d["nexp"] = c.nexp;
    d["ngauss"] = c.ngauss;
    d["cubfac"] = c.cubfac;
    for (auto item : given)
      if (!item.second.is_none()) d[item.first] = item.second;
    return d;
  });

  // The program's solve on a model in memory.  bc is (M, 6): codes, values.
  mod.def(
      "solve",
      [](const Reals& nodes, const Ints& tris, const Reals& bc_rows, const py::dict& controls,
         const std::string& title, const py::object& progress) {
        const SurfaceMesh s = to_mesh(nodes, tris);
        const std::vector<double> bc = bc_columns(bc_rows, s.nelem);
        MemoryModel model;
        model.title = title;
        model.controls = scalars_of(controls);
        model.mesh = &s;
        model.bc = bc.data();
        // Before every product: Ctrl-C (a pending signal) abandons the solve
        // with KeyboardInterrupt, and the caller's progress function runs.
        const std::function<void(int, double)> report = [&progress](int products, double be) {
          py::gil_scoped_acquire gil;
          if (PyErr_CheckSignals() != 0) throw py::error_already_set();
          if (!progress.is_none()) progress(products, be);
        };
        MemoryRunResult r = guarded([&] { return run_in_memory(model, SolveOptions(), report); });
        py::dict d;
        d["velocity"] = rows_of(r.velocity, s.nelem);
        d["traction"] = rows_of(r.traction, s.nelem);
        d["info"] = r.outcome.info;
        d["iterations"] = r.outcome.iterations;
        d["backward_error"] = r.outcome.backward_error;
        d["status"] = r.status;
        d["log"] = r.log;
        d["dat"] = r.dat;
        d["plt"] = r.plt;
        d["console"] = r.console;
        return d;
      },
      py::arg("nodes"), py::arg("triangles"), py::arg("bc"), py::arg("controls"),
      py::arg("title"), py::arg("progress") = py::none());

  // Velocity, pressure and inside flags at points, from a solved model
  // (velmora-field's evaluation on the solution in memory).
  mod.def(
      "field",
      [](const Reals& nodes, const Ints& tris, const Reals& bc_rows, const Reals& u,
         const Reals& t, const py::dict& controls, const Reals& points,
         const py::object& progress) {
        const SurfaceMesh s = to_mesh(nodes, tris);
        const std::vector<double> bc = bc_columns(bc_rows, s.nelem);
        const std::vector<double> uu = flat(u, s.nelem, 3, "velocity");
        const std::vector<double> tt = flat(t, s.nelem, 3, "traction");
        if (points.ndim() != 2 || points.shape(1) != 3)
          throw BindingError("points must be a (K, 3) array");
        const long k = static_cast<long>(points.shape(0));
        const std::vector<double> xyz(points.data(), points.data() + 3 * k);
        for (double v : xyz)
          if (!std::isfinite(v)) throw BindingError("a point has a coordinate that is not finite");
        if (k > 2000000000L) throw BindingError("too many points");
        const RunScalars sc = scalars_of(controls);
        if (sc.nexp < 0 || sc.nexp > 30) throw BindingError("nexp must lie in 0..30");
        if (sc.ngauss != 3 && sc.ngauss != 7 && sc.ngauss != 16)
          throw BindingError("ngauss must be 3, 7 or 16");
        if (sc.maxl < 1) throw BindingError("maxl must be at least 1");
        if (sc.minlev < 2) throw BindingError("minlev must be at least 2");
        if (sc.maxdep < 2 || sc.maxdep > 60) throw BindingError("maxdep must lie in 2..60");
        if (!(sc.cubfac > 0.0) || !std::isfinite(sc.cubfac)) throw BindingError("cubfac must be positive");
        std::vector<double> vel(3 * k), pres(k);
        std::vector<int> inside(k);
        const std::function<void(std::int64_t, std::int64_t)> report =
            [&progress](std::int64_t done, std::int64_t total) {
              py::gil_scoped_acquire gil;
              if (PyErr_CheckSignals() != 0) throw py::error_already_set();
              if (!progress.is_none()) progress(done, total);
            };
        guarded([&] {
          std::vector<double> xcol(3 * static_cast<std::size_t>(s.nelem));
          collocation_points(s.nelem, s.nnode, s.ielem.data(), s.xnode.data(), xcol.data());
          const MeshView mv = view_of(s, xcol.data(), bc.data());
          FieldParams par;
          par.mu = sc.mu;
          par.snaptol = sc.snaptol;
          par.p = std::max(sc.nexp, 1);
          par.ngauss = sc.ngauss;
          par.maxl = sc.maxl;
          par.minlev = sc.minlev;
          par.cubfac = sc.cubfac;
          par.maxdep = sc.maxdep;
          use_solver_trades(par);
          const FieldDensities d{uu.data(), tt.data()};
          field_fast(mv, par, d, static_cast<int>(k), xyz.data(), vel.data(), pres.data(),
                     inside.data(), report);
          return 0;
        });
        py::array_t<double> p(k);
        std::copy(pres.begin(), pres.end(), p.mutable_data());
        py::array_t<bool> in(k);
        for (long i = 0; i < k; ++i) in.mutable_data()[i] = inside[i] != 0;
        return py::make_tuple(rows_of(vel, k), p, in);
      },
      py::arg("nodes"), py::arg("triangles"), py::arg("bc"), py::arg("velocity"),
      py::arg("traction"), py::arg("controls"), py::arg("points"),
      py::arg("progress") = py::none());

  bind_rigid(mod);

  // Texts of the files the tools write: input.dat, input.cnd and the
  // surface .vtu of velmora-post.
  mod.def("input_dat_text", [](const Reals& nodes, const Ints& tris, const Reals& bc_rows,
                               double mu, const std::string& title, const std::string& subtitle) {
    tools::Model model;
    model.mesh = to_mesh(nodes, tris);
    const int m = model.mesh.nelem;
    model.bc = bc_columns(bc_rows, m);
    model.mu = mu;
    model.title = title;
    model.subtitle = subtitle;
    std::ostringstream os;
    tools::write_input_dat(os, model);
    return os.str();
  });
  mod.def("input_cnd_text", [](const py::dict& controls) {
    std::ostringstream os;
    tools::write_input_cnd(os, tools::controls_of(scalars_of(controls)));
    return os.str();
  });
  mod.def("vtu_text", [](const Reals& nodes, const Ints& tris, const Reals& u, const Reals& t) {
    const SurfaceMesh s = to_mesh(nodes, tris);
    const std::vector<double> uu = flat(u, s.nelem, 3, "velocity");
    const std::vector<double> tt = flat(t, s.nelem, 3, "traction");
    return guarded([&] {
      const tools::Bodies bodies = tools::find_bodies(s);
      std::ostringstream os;
      tools::write_vtu(os, s, bodies, uu.data(), tt.data(), {tools::VtkEncoding::ascii});
      return os.str();
    });
  });
}
