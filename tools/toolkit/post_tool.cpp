#include "toolkit/post_tool.hpp"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <optional>
#include <ostream>

#include "common/stop.hpp"
#include "common/units.hpp"
#include "toolkit/args.hpp"
#include "toolkit/loads.hpp"
#include "toolkit/model_io.hpp"
#include "toolkit/result_io.hpp"
#include "toolkit/surface.hpp"
#include "toolkit/tool_error.hpp"

namespace velmora::tools {

std::string post_usage() {
  return R"(Usage: velmora-post [options]

Reads the model input.dat and the results output.dat of a velmora run and
prints, for every body (connected piece of the mesh) and for all bodies
together, the force and the torque exerted by the fluid:
  F = -sum A_e t_e,   L(c) = -sum A_e (x_e - c) x t_e
(A_e area, x_e centroid, t_e traction of element e), the torque about each
body's centroid and about a given point.  Writes the surface solution as a
VTK unstructured grid for ParaView: per element velocity, traction, normal
(into the body), area and body number; per node the averages of velocity and
traction over the elements that share it.

Options:
  --dir DIR       folder of the run (default: current)
  --input FILE    model file (default: DIR/input.dat)
  --output FILE   result file (default: DIR/output.dat)
  --about X,Y,Z   point for the torques (default: the origin)
  --vtu FILE      VTK file to write (default: DIR/output.vtu)
  --no-vtu        write no VTK file
  --help          this text
  --version       the version
)";
}

int run_post_tool(const std::vector<std::string>& raw, std::ostream& out, std::ostream& err) {
  namespace fs = std::filesystem;
  if (!raw.empty() && (raw[0] == "--help" || raw[0] == "-h")) {
    out << post_usage();
    return 0;
  }
  if (!raw.empty() && raw[0] == "--version") {
    out << "velmora-post " << VELMORA_VERSION << '\n';
    return 0;
  }
  // The model reader reports unreadable items on the error unit.
  UnitsGuard guard;
  units().set_error(&err);
  try {
    const std::vector<std::string> a = split_assignments(raw);
    std::string dir = ".";
    std::optional<std::string> input, output, vtu;
    bool no_vtu = false;
    Vec3 point{0, 0, 0};
    for (std::size_t i = 0; i < a.size(); ++i) {
      const std::string& w = a[i];
      auto value = [&]() -> const std::string& {
        if (i + 1 >= a.size()) throw ToolError(w + " needs a value");
        return a[++i];
      };
      if (w == "--dir") {
        dir = value();
      } else if (w == "--input") {
        input = value();
      } else if (w == "--output") {
        output = value();
      } else if (w == "--vtu") {
        vtu = value();
      } else if (w == "--no-vtu") {
        no_vtu = true;
      } else if (w == "--about") {
        const std::vector<double> p = parse_reals(value(), 3, w);
        point = {p[0], p[1], p[2]};
      } else {
        throw ToolError("unknown argument " + w + " (see velmora-post --help)");
      }
    }
    const std::string in_path = input.value_or((fs::path(dir) / "input.dat").string());
    const std::string out_path = output.value_or((fs::path(dir) / "output.dat").string());

    const Model model = read_input_dat(in_path);
    const SurfaceMesh& m = model.mesh;
    const RunResults res = read_output_dat(out_path, m.nelem);

    check_results_match(m, res, in_path, out_path);
    for (double v : res.t)
      if (!std::isfinite(v)) {
        err << "velmora-post: warning: " << out_path
            << " holds tractions that are not numbers; the run did not converge\n";
        break;
      }

    const Bodies bodies = find_bodies(m);
    const Loads L = compute_loads(m, bodies, res.t.data(), point);
    out << "model " << in_path << ": " << m.nelem << " elements, " << m.nnode << " nodes, "
        << bodies.count << (bodies.count == 1 ? " body" : " bodies") << ", mu "
        << show(&model.mu, 1) << '\n';
    out << "results " << out_path << '\n';
    std::string about(1, '(');
    about += show(point.data());
    about += ')';
    const std::vector<BodyGeometry> geo = body_geometry(m, bodies);
    for (int b = 1; b <= bodies.count; ++b) {
      const BodyLoad& B = L.bodies[b - 1];
      const std::string k = "body " + std::to_string(b);
      out << k << ": " << B.nelem << " elements, " << (geo[b - 1].closed ? "closed" : "open")
          << ", area " << show(&B.area, 1) << ", centroid " << show(B.centroid.data()) << '\n';
      out << k << " force: " << show(B.force.data()) << '\n';
      out << k << " torque about centroid: " << show(B.torque_centroid.data()) << '\n';
      out << k << " torque about " << about << ": " << show(B.torque_point.data()) << '\n';
    }
    out << "total force: " << show(L.force.data()) << '\n';
    out << "total torque about " << about << ": " << show(L.torque_point.data()) << '\n';
    if (res.has_force) {
      // The solver's own sum, from tractions of full precision where the
      // records carry twelve digits: the two agree to about 1e-12 of
      // sum A_e |t_e|.
      const std::vector<double> area = element_areas(m);
      double scale = 0, diff = 0;
      for (int e = 1; e <= m.nelem; ++e)
        for (int c = 0; c < 3; ++c)
          scale += area[e - 1] * std::fabs(res.t[3 * static_cast<std::size_t>(e - 1) + c]);
      for (int c = 0; c < 3; ++c) diff = std::max(diff, std::fabs(res.force[c] - L.force[c]));
      if (!(diff <= 1e-9 * scale) && std::isfinite(scale))
        err << "velmora-post: warning: the total force in " << out_path << " ("
            << show(res.force.data()) << ") differs from the sum of its element records\n";
    } else {
      err << "velmora-post: warning: " << out_path
          << " has no total force record; the run may not have finished\n";
    }
    if (!no_vtu) {
      const std::string vpath = vtu.value_or((fs::path(dir) / "output.vtu").string());
      std::ofstream f(vpath);
      if (!f) throw ToolError("cannot write " + vpath);
      write_vtu(f, m, bodies, res.u.data(), res.t.data());
      if (!f.flush()) throw ToolError("cannot write " + vpath);
      out << "wrote " << vpath << '\n';
    }
    return 0;
  } catch (const ToolError& e) {
    err << "velmora-post: " << e.what() << '\n';
    return 1;
  } catch (const StopRun& stop) {
    return report_stop(stop);
  }
}

}  // namespace velmora::tools
