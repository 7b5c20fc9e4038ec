// velmora._core's rigid-body entries: velmora-rigid's mobility,
// resistance and time steps on arrays.
#include "binding_support.hpp"

#include "rigid/dynamics.hpp"
#include "toolkit/rigid_steps.hpp"

namespace velmora::binding {
namespace {

py::list reports_of(const std::vector<SolveReport>& reports) {
  py::list reps;
  for (const SolveReport& r : reports) {
    py::dict x;
    x["iterations"] = r.iterations;
    x["backward_error"] = r.backward_error;
    x["converged"] = r.converged;
    reps.append(x);
  }
  return reps;
}

// The options of velmora-rigid from Python's arguments: about (B, 3),
// fixed (B,) of bool, gradient (3, 3), squirmers (B, 6) of (given, B1, B2,
// axis) rows; None for each where not given.
struct RigidOptionsIn {
  std::vector<char> fixed;
  tools::AmbientFlow flow;
  std::vector<tools::Squirmer> squirmers;
};

RigidOptionsIn rigid_options(int nb, const py::object& about, const py::object& fixed,
                             const py::object& gradient, const py::object& squirmers,
                             tools::RigidSetup& setup) {
  RigidOptionsIn in;
  in.fixed.assign(nb, 0);
  if (!about.is_none()) {
    const std::vector<double> a = flat(about.cast<Reals>(), nb, 3, "about");
    for (int b = 0; b < nb; ++b) setup.reference[b] = {a[3 * b], a[3 * b + 1], a[3 * b + 2]};
  }
  if (!fixed.is_none()) {
    const std::vector<double> f = flat(fixed.cast<Reals>(), nb, 1, "fixed");
    for (int b = 0; b < nb; ++b) in.fixed[b] = f[b] != 0.0;
  }
  if (!gradient.is_none()) {
    const std::vector<double> g = flat(gradient.cast<Reals>(), 3, 3, "gradient");
    double big = 0.0;
    for (int k = 0; k < 9; ++k) {
      in.flow.G[k] = g[k];
      big = std::max(big, std::abs(g[k]));
      if (!std::isfinite(g[k])) throw BindingError("gradient holds values that are not finite");
    }
    if (std::abs(g[0] + g[4] + g[8]) > 1e-12 * big)
      throw BindingError("gradient: the trace is not zero: an incompressible flow has none");
    in.flow.given = true;
  }
  if (!squirmers.is_none()) {
    const std::vector<double> q = flat(squirmers.cast<Reals>(), nb, 6, "squirmers");
    in.squirmers.resize(nb);
    for (int b = 0; b < nb; ++b) {
      const double* r = &q[6 * b];
      if (r[0] == 0.0) continue;
      const double len = std::sqrt(r[3] * r[3] + r[4] * r[4] + r[5] * r[5]);
      if (!(len > 0.0) || !std::isfinite(len)) throw BindingError("a squirmer's axis is zero");
      in.squirmers[b].given = true;
      in.squirmers[b].B1 = r[1];
      in.squirmers[b].B2 = r[2];
      in.squirmers[b].axis = {r[3] / len, r[4] / len, r[5] / len};
    }
  }
  return in;
}


}  // namespace

void bind_rigid(py::module_& mod) {
  // velmora-rigid's solves: the mobility problem for `loads` (B, 6) about
  // `about` (B, 3; None: the centroids) with the options of velmora-rigid
  // (fixed bodies, an ambient gradient, squirmers), the resistance matrix
  // of the free bodies when asked, and the surface tractions (with the
  // stresslets) when asked.
  mod.def(
      "rigid",
      [](const Reals& nodes, const Ints& tris, const py::dict& controls, const Reals& loads,
         const py::object& about, const py::object& fixed, const py::object& gradient,
         const py::object& squirmers, bool resistance, bool traction) {
        const SurfaceMesh s = to_mesh(nodes, tris);
        RunScalars sc = scalars_of(controls);
        sc.nelem = s.nelem;
        sc.nnode = s.nnode;
        tools::RigidSetup setup = guarded([&] {
          check_parameters(sc);
          return tools::rigid_setup(s, "mesh");
        });
        const int nb = setup.bodies.count;
        RigidOptionsIn in = rigid_options(nb, about, fixed, gradient, squirmers, setup);
        std::vector<double> L = flat(loads, nb, 6, "the loads");
        for (int b = 0; b < nb; ++b)
          if (in.fixed[b])
            for (int k = 0; k < 6; ++k) L[6 * b + k] = 0.0;
        struct Out {
          std::vector<double> motion, loads, mob, res, t, u, stress;
          std::vector<SolveReport> reports;
        };
        Out o = guarded([&] {
          Out o;
          const blas::SingleThreadScope blas_threads;
          start_threads();
          const std::unique_ptr<RigidSolver> solver_ptr = tools::make_solver(s, setup, sc);
          RigidSolver& solver = *solver_ptr;
          solver.set_fixed(in.fixed);
          const std::size_t n6 = 6 * static_cast<std::size_t>(nb);
          const bool active = in.flow.given || !in.squirmers.empty();
          const std::vector<double> g =
              active ? tools::surface_velocity(s, setup, in.flow, in.squirmers) : std::vector<double>();
          std::vector<double> lc(n6);
          tools::loads_to_centres(setup, L.data(), lc.data());
          const RigidSolver::Outcome first = solver.solve(lc.data(), active ? g.data() : nullptr);
          o.reports.push_back(first.report);
          o.motion.assign(n6, 0.0);
          tools::motions_to_references(setup, first.motion.data(), o.motion.data());
          o.loads = L;
          tools::fixed_loads_to_references(setup, in.fixed, first.loads.data(), o.loads.data());
          if (resistance) {
            o.mob = tools::mobility_matrix(solver, setup, o.reports, in.fixed);
            if (!o.mob.empty() &&
                !invert_matrix(static_cast<int>(std::sqrt(static_cast<double>(o.mob.size())) + 0.5),
                               o.mob, o.res))
              throw BindingError("the mobility matrix is singular");
          }
          if (traction) {
            std::vector<double> mcent(n6);
            tools::motions_to_centres(setup, o.motion.data(), mcent.data());
            o.t.assign(3 * static_cast<std::size_t>(s.nelem), 0.0);
            o.reports.push_back(solver.tractions(mcent.data(), active ? g.data() : nullptr, o.t.data()));
            tools::add_ambient_traction(s, in.flow, sc.mu, o.t.data());
            o.u = tools::slip_velocity(s, setup, in.squirmers);
            o.stress = tools::stresslets(s, setup, o.t.data(),
                                         in.squirmers.empty() ? nullptr : o.u.data(), sc.mu);
            add_rigid_motion(solver.bodies(), mcent.data(), o.u.data());
          }
          return o;
        });
        py::dict d;
        d["motion"] = rows_of(o.motion, nb, 6);
        d["loads"] = rows_of(o.loads, nb, 6);
        py::array_t<double> ref({nb, 3});
        for (int b = 0; b < nb; ++b)
          for (int c = 0; c < 3; ++c) ref.mutable_at(b, c) = setup.reference[b][c];
        d["reference"] = ref;
        if (resistance) {
          const long nf = static_cast<long>(std::sqrt(static_cast<double>(o.mob.size())) + 0.5);
          d["resistance"] = rows_of(o.res, nf, nf);
          d["mobility"] = rows_of(o.mob, nf, nf);
        }
        if (traction) {
          d["traction"] = rows_of(o.t, s.nelem);
          d["velocity"] = rows_of(o.u, s.nelem);
          py::array_t<double> st({nb, 3, 3});
          std::copy(o.stress.begin(), o.stress.end(), st.mutable_data());
          d["stresslet"] = st;
        }
        d["solves"] = reports_of(o.reports);
        return d;
      },
      py::arg("nodes"), py::arg("triangles"), py::arg("controls"), py::arg("loads"),
      py::arg("about") = py::none(), py::arg("fixed") = py::none(),
      py::arg("gradient") = py::none(), py::arg("squirmers") = py::none(),
      py::arg("resistance") = false, py::arg("traction") = false);

  // velmora-rigid's time steps: the trajectory as arrays, (steps + 1, B, ...).
  mod.def(
      "simulate",
      [](const Reals& nodes, const Ints& tris, const py::dict& controls, const Reals& loads,
         const py::object& about, const py::object& fixed, const py::object& gradient,
         const py::object& squirmers, int steps, double dt, const py::object& progress) {
        const SurfaceMesh s = to_mesh(nodes, tris);
        RunScalars sc = scalars_of(controls);
        sc.nelem = s.nelem;
        sc.nnode = s.nnode;
        if (steps < 1) throw BindingError("steps must be at least 1");
        if (!(dt > 0.0) || !std::isfinite(dt)) throw BindingError("dt must be positive");
        tools::RigidSetup setup = guarded([&] {
          check_parameters(sc);
          return tools::rigid_setup(s, "mesh");
        });
        const int nb = setup.bodies.count;
        RigidOptionsIn in = rigid_options(nb, about, fixed, gradient, squirmers, setup);
        tools::StepRequest req;
        req.mesh = &s;
        req.setup = &setup;
        req.controls = sc;
        req.loads = flat(loads, nb, 6, "the loads");
        for (int b = 0; b < nb; ++b)
          if (in.fixed[b])
            for (int k = 0; k < 6; ++k) req.loads[6 * b + k] = 0.0;
        req.squirmers = in.squirmers;
        req.flow = in.flow;
        req.fixed = in.fixed;
        req.steps = steps;
        req.dt = dt;
        std::vector<double> times, pos, quat, mot;
        const int status = guarded([&] {
          const blas::SingleThreadScope blas_threads;
          start_threads();
          return tools::integrate_steps(req, [&](const tools::StepView& v) {
            times.push_back(v.time);
            for (const BodyState& b : *v.state) {
              pos.insert(pos.end(), b.x.begin(), b.x.end());
              quat.insert(quat.end(), b.q.begin(), b.q.end());
            }
            mot.insert(mot.end(), v.motion->begin(), v.motion->end());
            py::gil_scoped_acquire gil;
            if (PyErr_CheckSignals() != 0) throw py::error_already_set();
            if (!progress.is_none()) progress(v.step, steps);
          });
        });
        const long n = static_cast<long>(times.size());
        py::dict d;
        py::array_t<double> t(n), x({n, static_cast<long>(nb), 3L}), q({n, static_cast<long>(nb), 4L}),
            m({n, static_cast<long>(nb), 6L});
        std::copy(times.begin(), times.end(), t.mutable_data());
        std::copy(pos.begin(), pos.end(), x.mutable_data());
        std::copy(quat.begin(), quat.end(), q.mutable_data());
        std::copy(mot.begin(), mot.end(), m.mutable_data());
        d["time"] = t;
        d["position"] = x;
        d["orientation"] = q;
        d["motion"] = m;
        d["converged"] = status == 0;
        return d;
      },
      py::arg("nodes"), py::arg("triangles"), py::arg("controls"), py::arg("loads"),
      py::arg("about"), py::arg("fixed"), py::arg("gradient"), py::arg("squirmers"),
      py::arg("steps"), py::arg("dt"), py::arg("progress") = py::none());

}

}  // namespace velmora::binding
