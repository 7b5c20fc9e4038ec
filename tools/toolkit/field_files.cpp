#include "toolkit/field_files.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <ostream>
#include <sstream>

#include "toolkit/tool_error.hpp"

namespace velmora::tools {
namespace {

// Shortest decimal text that reads back as exactly v.
void put(std::ostream& os, double v) {
  char buf[32];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  os.write(buf, r.ptr - buf);
}

void data_arrays(VtkXmlWriter& w, const FieldValues& f) {
  w.text("      <PointData Vectors=\"velocity\" Scalars=\"pressure\">\n");
  w.floats("velocity", 3, f.vel);
  w.floats("pressure", 1, f.pres);
  w.ints("Int32", "inside", 1, std::vector<std::int64_t>(f.inside.begin(), f.inside.end()));
  w.text("      </PointData>\n");
}

}  // namespace

std::vector<double> read_points(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw ToolError("cannot open " + path);
  std::vector<double> xyz;
  std::string line;
  int no = 0;
  bool seen_data = false;
  while (std::getline(in, line)) {
    ++no;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos || line[first] == '#') continue;
    // A header line of a CSV file (velmora-field's own "x,y,z,u,..."): a
    // first line that starts with a letter.
    if (!seen_data && std::isalpha(static_cast<unsigned char>(line[first]))) {
      seen_data = true;
      continue;
    }
    seen_data = true;
    double v[3];
    int got = 0;
    bool bad = false;
    if (line.find(',') != std::string::npos) {
      // Comma-separated: the first three fields are the point; further
      // fields (velmora-field's u, v, w, p, inside) are not read.
      std::size_t pos = 0;
      for (; got < 3 && !bad; ++got) {
        const std::size_t end = std::min(line.find(',', pos), line.size());
        std::size_t a = line.find_first_not_of(" \t", pos), b = end;
        while (b > a && (line[b - 1] == ' ' || line[b - 1] == '\t')) --b;
        double x = 0;
        const auto r = a < b ? std::from_chars(line.data() + a, line.data() + b, x)
                             : std::from_chars_result{line.data() + a, std::errc::invalid_argument};
        if (a >= b || r.ec != std::errc() || r.ptr != line.data() + b || !std::isfinite(x)) {
          bad = true;
          break;
        }
        v[got] = x;
        if (end == line.size() && got < 2) {
          bad = true;
          break;
        }
        pos = end + 1;
      }
    } else {
      const char* s = line.c_str() + first;
      const char* end = line.c_str() + line.size();
      while (s < end && !bad) {
        while (s < end && (*s == ' ' || *s == '\t')) ++s;
        if (s == end) break;
        if (got == 3) {
          bad = true;
          break;
        }
        double x = 0;
        const auto r = std::from_chars(s, end, x);
        if (r.ec != std::errc() || (r.ptr < end && *r.ptr != ' ' && *r.ptr != '\t') ||
            !std::isfinite(x)) {
          bad = true;
          break;
        }
        v[got++] = x;
        s = r.ptr;
      }
    }
    if (bad || got != 3)
      throw ToolError(path + ":" + std::to_string(no) +
                      ": expected a point \"x y z\" or \"x,y,z\" (three numbers), read \"" + line +
                      "\"");
    xyz.insert(xyz.end(), v, v + 3);
  }
  if (in.bad()) throw ToolError("cannot read " + path);
  return xyz;
}

void write_field_csv(std::ostream& os, const FieldValues& f) {
  os << "x,y,z,u,v,w,p,inside\n";
  const std::size_t n = f.pres.size();
  for (std::size_t k = 0; k < n; ++k) {
    for (int i = 0; i < 3; ++i) {
      put(os, f.xyz[3 * k + i]);
      os << ',';
    }
    for (int i = 0; i < 3; ++i) {
      put(os, f.vel[3 * k + i]);
      os << ',';
    }
    put(os, f.pres[k]);
    os << ',' << f.inside[k] << '\n';
  }
}

std::vector<double> FieldGrid::points() const {
  std::vector<double> xyz;
  xyz.reserve(3 * static_cast<std::size_t>(n[0]) * n[1] * n[2]);
  for (int k = 0; k < n[2]; ++k)
    for (int j = 0; j < n[1]; ++j)
      for (int i = 0; i < n[0]; ++i)
        for (int c = 0; c < 3; ++c)
          xyz.push_back(origin[c] + i * spacing[0] * axis[0][c] + j * spacing[1] * axis[1][c] +
                        k * spacing[2] * axis[2][c]);
  return xyz;
}

void write_field_vti(std::ostream& os, const FieldGrid& g, const FieldValues& f,
                     VtkEncoding encoding) {
  std::string extent;
  for (int i = 0; i < 3; ++i) extent += "0 " + std::to_string(g.n[i] - 1) + (i < 2 ? " " : "");
  std::ostringstream h;
  h << "  <ImageData WholeExtent=\"" << extent << "\" Origin=\"";
  for (int c = 0; c < 3; ++c) {
    if (c > 0) h << ' ';
    put(h, g.origin[c]);
  }
  h << "\" Spacing=\"";
  for (int c = 0; c < 3; ++c) {
    if (c > 0) h << ' ';
    put(h, g.spacing[c]);
  }
  // Direction: the 3x3 matrix whose columns are the axes, row by row.
  h << "\" Direction=\"";
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) {
      if (r + c > 0) h << ' ';
      put(h, g.axis[c][r]);
    }
  h << "\">\n";
  h << "    <Piece Extent=\"" << extent << "\">\n";
  VtkXmlWriter w(os, encoding);
  w.begin("ImageData");
  w.text(h.str());
  data_arrays(w, f);
  w.text("      <CellData>\n      </CellData>\n    </Piece>\n  </ImageData>\n");
  w.finish();
}

void write_field_vtp(std::ostream& os, const FieldValues& f, VtkEncoding encoding) {
  const std::size_t n = f.pres.size();
  VtkXmlWriter w(os, encoding);
  w.begin("PolyData");
  w.text("  <PolyData>\n    <Piece NumberOfPoints=\"" + std::to_string(n) +
         "\" NumberOfVerts=\"0\" NumberOfLines=\"1\" NumberOfStrips=\"0\" NumberOfPolys=\"0\">\n");
  data_arrays(w, f);
  w.text("      <Points>\n");
  w.floats("", 3, f.xyz);
  w.text("      </Points>\n      <Lines>\n");
  std::vector<std::int64_t> conn(n);
  for (std::size_t k = 0; k < n; ++k) conn[k] = static_cast<std::int64_t>(k);
  w.ints("Int64", "connectivity", 1, conn, n);
  w.ints("Int64", "offsets", 1, {static_cast<std::int64_t>(n)});
  w.text("      </Lines>\n    </Piece>\n  </PolyData>\n");
  w.finish();
}

}  // namespace velmora::tools
