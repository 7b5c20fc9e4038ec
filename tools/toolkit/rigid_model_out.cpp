#include "toolkit/rigid_model_out.hpp"

#include <filesystem>
#include <ostream>
#include <system_error>
#include <vector>

#include "bem/mesh.hpp"
#include "common/records.hpp"
#include "run/program.hpp"
#include "run/results.hpp"
#include "toolkit/tool_error.hpp"

namespace velmora::tools {

std::string model_dir_clash(const std::string& model_dir, const std::string& run_dir) {
  namespace fs = std::filesystem;
  std::error_code ec;  // a path that does not exist is no clash
  if (fs::equivalent(model_dir, run_dir, ec))
    return "--model " + model_dir + " is the folder of the run (--dir " + run_dir +
           "): its input.dat and input.cnd would be overwritten; give another folder";
  for (const char* target : {"input.cnd", "input.dat", "output.dat"})
    for (const char* source : {"input.cnd", "input.dat"}) {
      const fs::path t = fs::path(model_dir) / target, s = fs::path(run_dir) / source;
      if (fs::equivalent(t, s, ec))
        return "--model: " + t.string() + " is the run's " + s.string() +
               ", which it would overwrite; give another folder";
    }
  return std::string();
}

void write_rigid_model(const std::string& model_dir, const Model& run, const RunScalars& c,
                       const double* velocity, const double* traction, double cpu_seconds,
                       double wall_seconds, std::ostream& out) {
  namespace fs = std::filesystem;
  const fs::path d(model_dir);
  std::error_code ec;
  fs::create_directories(d, ec);
  if (ec) throw ToolError("--model: cannot create the folder " + model_dir + ": " + ec.message());
  const std::string cnd_path = (d / "input.cnd").string(), dat_path = (d / "input.dat").string(),
                    out_path = (d / "output.dat").string();
  fs::remove(out_path, ec);
  if (ec) throw ToolError("cannot remove the former " + out_path + ": " + ec.message());

  const Controls ctl = controls_of(c);
  write_file_replacing(cnd_path, [&](std::ostream& os) { write_input_cnd(os, ctl); });

  // The run's model with every component a prescribed velocity, u'.
  Model m = run;
  const int ne = m.mesh.nelem;
  m.subtitle = "velmora-rigid --model: the disturbance flow (rigid motion + slip - ambient)";
  for (int e = 1; e <= ne; ++e)
    for (int k = 1; k <= 3; ++k) {
      m.code(e, k) = 1.0;
      m.value(e, k) = velocity[3 * static_cast<std::size_t>(e - 1) + k - 1];
    }
  write_file_replacing(dat_path, [&](std::ostream& os) { write_input_dat(os, m); });

  // output.dat as velmora writes it: the title (78 columns), an empty
  // record, the element records, the total force and the timing record.
  std::vector<double> xcol(3 * static_cast<std::size_t>(ne));
  collocation_points(ne, m.mesh.nnode, m.mesh.ielem.data(), m.mesh.xnode.data(), xcol.data());
  const MeshView view = view_of(m.mesh, xcol.data(), m.bc.data());
  std::string title = m.title;
  title.resize(78, ' ');
  write_file_replacing(out_path, [&](std::ostream& os) {
    os << title << '\n' << fmt::list() << '\n';
    for (const std::string& r : solution_head_records()) os << r << '\n';
    for (int e = 1; e <= ne; ++e) os << element_record(e, velocity, traction, view) << '\n';
    for (const std::string& r : total_force_records(total_force(view, traction))) os << r << '\n';
    os << fmt::list() << '\n'
       << time_used_record(static_cast<float>(cpu_seconds), static_cast<float>(wall_seconds))
       << '\n';
  });
  out << "wrote " << cnd_path << ", " << dat_path << " and " << out_path
      << " (the disturbance flow, for velmora-field and velmora-post)\n";
}

}  // namespace velmora::tools
