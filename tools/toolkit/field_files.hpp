// Files of velmora-field: the point list it reads and the table and VTK
// files it writes.
#pragma once

#include <array>
#include <iosfwd>
#include <string>
#include <vector>

#include "toolkit/vtk_xml.hpp"

namespace velmora::tools {

// Points of a list file: one point per line, "x y z" or comma-separated
// "x,y,z" (blank lines and lines starting with '#' skipped, and a first line
// that starts with a letter: a CSV header).  A comma-separated line may hold
// more fields after the point (velmora-field's own field.csv reads back).
// Throws ToolError "FILE:LINE: ..." for a line whose point is not three
// finite reals, or when the file cannot be opened.
std::vector<double> read_points(const std::string& path);

// The field at the points: velocity (3 per point), pressure, inside flag.
struct FieldValues {
  std::vector<double> xyz, vel, pres;
  std::vector<int> inside;
};

// field.csv: header x,y,z,u,v,w,p,inside and one row per point.
void write_field_csv(std::ostream& os, const FieldValues& f);

// A grid of points origin + i s_a a + j s_b b + k s_c c (i fastest), with
// a, b, c orthonormal and n = (na, nb, nc) points per axis.
struct FieldGrid {
  std::array<double, 3> origin{0, 0, 0};
  std::array<std::array<double, 3>, 3> axis{};  // unit axes a, b, c
  std::array<double, 3> spacing{1, 1, 1};
  std::array<int, 3> n{1, 1, 1};
  std::vector<double> points() const;
};

// ImageData (field.vti) with point data velocity, pressure and inside; the
// axes go to the Direction attribute.  Arrays in `encoding` (vtk_xml.hpp).
void write_field_vti(std::ostream& os, const FieldGrid& g, const FieldValues& f,
                     VtkEncoding encoding = VtkEncoding::binary);
// PolyData (field.vtp): the points joined by one polyline, same point data.
void write_field_vtp(std::ostream& os, const FieldValues& f,
                     VtkEncoding encoding = VtkEncoding::binary);

}  // namespace velmora::tools
