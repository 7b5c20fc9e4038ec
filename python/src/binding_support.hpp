// Shared by the binding files of velmora._core: the array conversions, the
// error that Python sees as velmora.Error, and the guard every computing
// entry runs under (GIL released, run lock held, the library's streams
// captured, its errors translated).
#pragma once

#include <pybind11/functional.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cmath>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "bem/mesh.hpp"
#include "bem/shapes.hpp"
#include "common/blas.hpp"
#include "common/stop.hpp"
#include "common/units.hpp"
#include "fmm/field_fmm.hpp"
#include "rigid/mobility_matrix.hpp"
#include "rigid/rigid_solver.hpp"
#include "run/bemsol.hpp"
#include "run/memory_run.hpp"
#include "run/program.hpp"
#include "toolkit/loads.hpp"
#include "toolkit/mesh_tool.hpp"
#include "toolkit/model_io.hpp"
#include "toolkit/rigid_problem.hpp"
#include "toolkit/rigid_steps.hpp"
#include "toolkit/surface.hpp"
#include "toolkit/tool_error.hpp"


namespace py = pybind11;

namespace velmora::binding {

using namespace velmora;


using Reals = py::array_t<double, py::array::c_style | py::array::forcecast>;
using Ints = py::array_t<long long, py::array::c_style | py::array::forcecast>;

// The error Python sees as velmora.Error.
struct BindingError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

inline std::mutex& run_lock() {
  static std::mutex m;
  return m;
}

inline std::string trimmed(std::string s) {
  const auto b = s.find_first_not_of(" \n");
  if (b == std::string::npos) return "";
  const auto e = s.find_last_not_of(" \n");
  return s.substr(b, e - b + 1);
}

// Runs f with the GIL released, the run lock held and the library's console
// and error streams captured; library errors become BindingError.  The
// console's text is returned through `console` when given.
template <class F>
auto guarded(F&& f, std::string* console = nullptr) {
  py::gil_scoped_release nogil;
  std::lock_guard<std::mutex> lock(run_lock());
  UnitsGuard guard;
  std::ostringstream con, err;
  units().set_console(&con);
  units().set_error(&err);
  try {
    auto r = f();
    if (console) *console = con.str();
    return r;
  } catch (const StopRun& e) {
    throw BindingError(trimmed(err.str() + e.what()));
  } catch (const tools::ToolError& e) {
    throw BindingError(trimmed(err.str() + e.what()));
  } catch (const std::bad_alloc&) {
    throw BindingError("out of memory");
  }
}

// (N, 3) / (M, 3) arrays to the library's mesh.
inline SurfaceMesh to_mesh(const Reals& nodes, const Ints& tris) {
  if (nodes.ndim() != 2 || nodes.shape(1) != 3)
    throw BindingError("nodes must be an (N, 3) array");
  if (tris.ndim() != 2 || tris.shape(1) != 3)
    throw BindingError("triangles must be an (M, 3) array");
  const long n = static_cast<long>(nodes.shape(0)), m = static_cast<long>(tris.shape(0));
  if (n < 3 || m < 1) throw BindingError("a mesh needs at least 3 nodes and 1 triangle");
  if (n > 2000000000L || m > 500000000L) throw BindingError("mesh too large");
  SurfaceMesh s;
  s.nnode = static_cast<int>(n);
  s.nelem = static_cast<int>(m);
  s.xnode.resize(3 * n);
  s.ielem.resize(3 * m);
  auto x = nodes.unchecked<2>();
  auto t = tris.unchecked<2>();
  for (long k = 0; k < n; ++k)
    for (int c = 0; c < 3; ++c) {
      if (!std::isfinite(x(k, c)))
        throw BindingError("node " + std::to_string(k) + " has a coordinate that is not finite");
      s.xnode[k + c * n] = x(k, c);
    }
  for (long e = 0; e < m; ++e)
    for (int v = 0; v < 3; ++v) {
      const long long j = t(e, v);
      if (j < 0 || j >= n)
        throw BindingError("triangle " + std::to_string(e) + " uses node " + std::to_string(j) +
                           ", outside 0.." + std::to_string(n - 1));
      s.ielem[e + v * m] = static_cast<int>(j) + 1;
    }
  return s;
}

inline py::array_t<double> nodes_of(const SurfaceMesh& s) {
  py::array_t<double> a({s.nnode, 3});
  auto r = a.mutable_unchecked<2>();
  for (int k = 0; k < s.nnode; ++k)
    for (int c = 0; c < 3; ++c) r(k, c) = s.x(k + 1, c + 1);
  return a;
}

// Interleaved (3 per element) to (M, 3) and back.
inline py::array_t<double> rows_of(const std::vector<double>& v, long rows, long cols = 3) {
  py::array_t<double> a({rows, cols});
  std::copy(v.begin(), v.begin() + rows * cols, a.mutable_data());
  return a;
}

inline std::vector<double> flat(const Reals& a, long rows, long cols, const char* what) {
  if (a.ndim() != 2 || a.shape(0) != rows || a.shape(1) != cols)
    throw BindingError(std::string(what) + " must be an (" + std::to_string(rows) + ", " +
                       std::to_string(cols) + ") array");
  return std::vector<double>(a.data(), a.data() + rows * cols);
}

// Boundary conditions (M, 6) by element to the model's nelem x 6 columns.
inline std::vector<double> bc_columns(const Reals& rows_in, int nelem) {
  const std::vector<double> rows = flat(rows_in, nelem, 6, "the boundary conditions");
  std::vector<double> bc(rows.size());
  for (int e = 0; e < nelem; ++e)
    for (int j = 0; j < 6; ++j) bc[e + static_cast<std::size_t>(j) * nelem] = rows[6 * e + j];
  return bc;
}

inline RunScalars scalars_of(const py::dict& c) {
  RunScalars s;
  s.mu = c["mu"].cast<double>();
  s.snaptol = c["snaptol"].cast<double>();
  s.m = c["M"].cast<int>();
  s.iprec = c["iprec"].cast<int>();
  s.ncycle = c["ncycle"].cast<int>();
  s.tol = c["tol"].cast<double>();
  s.maxdep = c["maxdep"].cast<int>();
  s.minlev = c["minlev"].cast<int>();
  s.maxl = c["maxl"].cast<int>();
  s.maxcel = c["maxcel"].cast<int>();
  s.nexp = c["nexp"].cast<int>();
  s.ngauss = c["ngauss"].cast<int>();
  s.cubfac = c["cubfac"].cast<double>();
  return s;
}

}  // namespace velmora::binding
