// The two input files of a run, as the companion tools write and read them:
// the model file input.dat (title, nodes, elements with their boundary
// conditions) and the control file input.cnd.
#pragma once

#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

#include "bem/shapes.hpp"
#include "common/model_notes.hpp"
#include "run/registry.hpp"

namespace velmora::tools {

// A model: the mesh with a boundary condition per element and component.
// bc is nelem x 6, column-major: the three codes, then the three values.  A
// code of 2 prescribes the traction component, any other code (the tools
// write 1) the velocity component.
struct Model {
  std::string title;
  std::string subtitle;
  double mu = 1.0;
  SurfaceMesh mesh;
  std::vector<double> bc;
  ModelNotes notes;  // interior bodies and physical groups, after the elements

  double& code(int e, int k) {
    return bc[(e - 1) + (k - 1) * static_cast<std::size_t>(mesh.nelem)];
  }
  double& value(int e, int k) {
    return bc[(e - 1) + (k + 2) * static_cast<std::size_t>(mesh.nelem)];
  }
  double code(int e, int k) const {
    return bc[(e - 1) + (k - 1) * static_cast<std::size_t>(mesh.nelem)];
  }
  double value(int e, int k) const {
    return bc[(e - 1) + (k + 2) * static_cast<std::size_t>(mesh.nelem)];
  }
};

// Writes input.dat: the two title lines (cut to 78 characters), nelem
// nnode mu, a heading, one record per node, a heading, one record per
// element, then the notes (if any).  Reals are written in their shortest
// exact decimal form.
void write_input_dat(std::ostream& os, const Model& model);

// Reads input.dat as the solver does, and in addition refuses node or
// element numbers out of range, rows that no record fills, and node numbers
// of elements out of range (ToolError naming the record).  Unreadable items
// stop with the reader's message (StopRun).
Model read_input_dat(const std::string& path);

// The parameters of input.cnd in file order.
struct Controls {
  double snaptol = 1e-8;
  int M = 30;
  int unused1 = 0;
  int unused2 = 0;
  int iprec = 1;
  int ncycle = 10;
  double tol = 1e-6;
  int maxdep = 12;
  int minlev = 2;
  int maxl = 40;
  int maxcel = 20000;
  int nexp = 8;
  int ngauss = 7;
  double cubfac = 1.01;
};

// The controls of a run as input.cnd writes them.
Controls controls_of(const RunScalars& s);

// Cells and levels of the octree the solver builds for this mesh with the
// given minlev, maxl and cubfac (same root cube, split rule and octant
// tests).  Throws ToolError when more than maxl collocation points cannot
// be separated within `depth_limit` levels.
struct TreeSize {
  int ncell = 0;
  int nlev = 0;
};
TreeSize tree_size(const SurfaceMesh& m, int minlev, int maxl, double cubfac, int depth_limit = 40);

// The number of expansion terms whose far-field error leaves the backward
// error GMRES can reach well below `tol` (8 down to 5e-5, 10 down to 1e-5,
// 14 down to 1e-6, 16 below).
int nexp_for_tolerance(double tol);

// Controls for this mesh: the defaults above with snaptol = 1e-8 times the
// extent of the mesh, maxdep at least two levels deeper than the tree needs
// (12 at least), maxcel the tree's cell count with a quarter and 50 cells
// to spare, and nexp_for_tolerance(tol).
Controls suggest_controls(const SurfaceMesh& m);

// Writes input.cnd: the two records, each followed by the names of its items.
void write_input_cnd(std::ostream& os, const Controls& c);

// Writes `path` through `write` into a temporary file beside it, renamed
// over `path` once complete, so that an error leaves a former file as it
// was (as does an exception from `write`, which passes on).  Throws
// ToolError when the file cannot be written.
void write_file_replacing(const std::string& path, const std::function<void(std::ostream&)>& write);

// Shortest decimal text that reads back as exactly v.
std::string real_text(double v);

}  // namespace velmora::tools
