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
#include "toolkit/orientation_report.hpp"
#include "toolkit/post_outputs.hpp"
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

The torques in the JSON and CSV files are about the --about point.  With
physical groups in input.dat's notes (velmora-mesh writes them) the force
and torque on each group's elements are printed too.

Options:
  --dir DIR            folder of the run (default: current)
  --input FILE         model file (default: DIR/input.dat)
  --output FILE        result file (default: DIR/output.dat)
  --about X,Y,Z        point for the torques (default: the origin)
  --vtu FILE           VTK file to write (default: DIR/output.vtu)
  --no-vtu             write no VTK file
  --ascii              write the VTK file as text (default: binary, compressed)
  --json FILE          loads per body, per group and in total as JSON
  --csv FILE           the same loads as a CSV table
  --surface-csv FILE   per element: centroid, area, normal, velocity,
                       traction, body and group, as CSV
  --help               this text
  --version            the version

Exit status: 0 done, 1 bad or mismatched files, 2 wrong command line.
)";
}

namespace {

// A wrong command line: exit status 2.
struct UsageError : ToolError {
  using ToolError::ToolError;
};

template <class F>
void write_file(const std::string& path, std::ostream& out, F write) {
  std::ofstream f(path, std::ios::binary);
  if (!f) throw ToolError("cannot write " + path);
  write(f);
  if (!f.flush()) throw ToolError("cannot write " + path);
  out << "wrote " << path << '\n';
}

}  // namespace

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
    std::optional<std::string> dir, input, output, vtu, json, csv, surface_csv, about_text;
    bool no_vtu = false, ascii = false;
    for (std::size_t i = 0; i < a.size(); ++i) {
      const std::string& w = a[i];
      // An option given twice would silently replace its first value.
      auto once = [&](std::optional<std::string>& slot) {
        if (i + 1 >= a.size()) throw UsageError(w + " needs a value");
        if (slot)
          throw UsageError(w + " is given twice (\"" + *slot + "\" and \"" + a[i + 1] + "\")");
        slot = a[++i];
      };
      auto flag = [&](bool& f) {
        if (f) throw UsageError(w + " is given twice");
        f = true;
      };
      if (w == "--dir") {
        once(dir);
      } else if (w == "--input") {
        once(input);
      } else if (w == "--output") {
        once(output);
      } else if (w == "--vtu") {
        once(vtu);
      } else if (w == "--json") {
        once(json);
      } else if (w == "--csv") {
        once(csv);
      } else if (w == "--surface-csv") {
        once(surface_csv);
      } else if (w == "--about") {
        once(about_text);
      } else if (w == "--no-vtu") {
        flag(no_vtu);
      } else if (w == "--ascii") {
        flag(ascii);
      } else if (w == "--help" || w == "-h" || w == "--version") {
        throw UsageError(w + " goes alone, as the only argument");
      } else {
        throw UsageError("unknown argument " + w + " (see velmora-post --help)");
      }
    }
    if (no_vtu && vtu) throw UsageError("--vtu and --no-vtu contradict each other");
    Vec3 point{0, 0, 0};
    if (about_text) {
      std::vector<double> p;
      try {
        p = parse_reals(*about_text, 3, "--about");
      } catch (const ToolError& e) {
        throw UsageError(e.what());
      }
      point = {p[0], p[1], p[2]};
    }
    const fs::path d = dir.value_or(".");
    const std::string in_path = input.value_or((d / "input.dat").string());
    const std::string out_path = output.value_or((d / "output.dat").string());

    const Model model = read_input_dat(in_path);
    const SurfaceMesh& m = model.mesh;
    const RunResults res = read_output_dat(out_path, m.nelem);

    check_results_match(model, res, in_path, out_path);
    for (double v : res.t)
      if (!std::isfinite(v)) {
        err << "velmora-post: warning: " << out_path
            << " holds tractions that are not numbers; the run did not converge\n";
        break;
      }

    const Bodies bodies = find_bodies(m);
    const Loads L = compute_loads(m, bodies, res.t.data(), point);
    const std::vector<BodyOrientation> orient = body_orientations(m, bodies);
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
      const std::string note = inconsistency_note(orient[b - 1]);
      out << k << ": " << B.nelem << " elements, "
          << (geo[b - 1].closed ? "closed"
                                : (note.empty() ? "open" : "closed but inconsistently oriented"))
          << ", area " << show(&B.area, 1) << ", centroid " << show(B.centroid.data()) << '\n';
      out << k << " force: " << show(B.force.data()) << '\n';
      out << k << " torque about centroid: " << show(B.torque_centroid.data()) << '\n';
      out << k << " torque about " << about << ": " << show(B.torque_point.data()) << '\n';
      if (!note.empty()) err << "velmora-post: warning: " << k << " is " << note << '\n';
      const std::string side = flow_side_warning(b, orient[b - 1], model.notes);
      if (!side.empty()) err << "velmora-post: warning: " << side << '\n';
    }
    const std::vector<GroupLoad> groups = group_loads(m, model.notes, res.t.data(), point);
    for (const GroupLoad& G : groups) {
      const std::string k =
          "group " + std::to_string(G.tag) + (G.name.empty() ? "" : " \"" + G.name + "\"");
      out << k << ": " << G.nelem << " elements, area " << show(&G.area, 1) << '\n';
      out << k << " force: " << show(G.force.data()) << '\n';
      out << k << " torque about " << about << ": " << show(G.torque.data()) << '\n';
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
    const std::vector<int> group_of = model.notes.group_of_elements(m.nelem);
    if (!no_vtu) {
      const std::string vpath = vtu.value_or((d / "output.vtu").string());
      VtuOptions opt;
      opt.encoding = ascii ? VtkEncoding::ascii : VtkEncoding::binary;
      if (!model.notes.groups.empty()) opt.group = &group_of;
      write_file(vpath, out, [&](std::ostream& f) {
        write_vtu(f, m, bodies, res.u.data(), res.t.data(), opt);
      });
    }
    PostReport report;
    report.model = in_path;
    report.results = out_path;
    report.mu = model.mu;
    report.about = point;
    report.loads = &L;
    report.geometry = geo;
    report.groups = groups;
    if (json) write_file(*json, out, [&](std::ostream& f) { write_loads_json(f, report); });
    if (csv) write_file(*csv, out, [&](std::ostream& f) { write_loads_csv(f, report); });
    if (surface_csv)
      write_file(*surface_csv, out, [&](std::ostream& f) {
        write_surface_csv(f, m, bodies, group_of, res.u.data(), res.t.data());
      });
    return 0;
  } catch (const UsageError& e) {
    err << "velmora-post: " << e.what() << '\n';
    return 2;
  } catch (const ToolError& e) {
    err << "velmora-post: " << e.what() << '\n';
    return 1;
  } catch (const StopRun& stop) {
    return report_stop(stop);
  }
}

}  // namespace velmora::tools
