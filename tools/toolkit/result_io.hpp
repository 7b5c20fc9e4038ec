// The result file output.dat of a run, read back: the element records
// (element number, velocity, traction, collocation point) and the total force.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "bem/shapes.hpp"
#include "toolkit/model_io.hpp"

namespace velmora::tools {

struct RunResults {
  std::string title;
  // Interleaved by element: entry 3(e-1)+k is component k of element e.
  std::vector<double> u, t, xg;
  // Line (1-based) of the record of element 1; element e's is e - 1 further.
  int first_record_line = 0;
  bool has_force = false;
  std::array<double, 3> force{0, 0, 0};
};

// Reads `path`, which must hold exactly `nelem` element records numbered
// 1..nelem in order after its " Boundary solutions:" heading.  Throws
// ToolError naming the file and line when a record is missing, malformed,
// out of order, or when the count differs from nelem.  The force line is
// optional (has_force tells whether it was found).
RunResults read_output_dat(const std::string& path, int nelem);

// Throws ToolError when the collocation points of `res` (read from
// out_path) are not the element centroids of `m` (read from in_path) to
// 1e-9 of the mesh's extent: the files do not belong together.
void check_results_match(const SurfaceMesh& m, const RunResults& res, const std::string& in_path,
                         const std::string& out_path);

// The collocation points as above, then the boundary conditions: every
// prescribed component of input.dat (code 2: traction, else velocity) must
// be what output.dat records for it.  The solver writes prescribed values
// back unchanged (its pressure constant c n goes to the unknown traction
// components only), in records of 12 significant digits, which round by at
// most 5e-12 of the value; a difference above 1e-11 of the larger of the two
// means the results belong to other boundary conditions (input.dat changed
// after the run).  Throws ToolError naming the first such element and
// component, its line in output.dat, and the remedy (rerun velmora).
void check_results_match(const Model& model, const RunResults& res, const std::string& in_path,
                         const std::string& out_path);

// A real as Fortran writes it: 0.123E+01, -0.5D-03, 0.123456789012+100
// (three-digit exponent without its letter), 1.5, NaN, Infinity.
bool parse_fortran_real(std::string_view s, double& v);

}  // namespace velmora::tools
