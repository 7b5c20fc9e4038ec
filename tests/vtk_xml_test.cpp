// The VTK XML writer: binary (appended, zlib-compressed) files carry the
// same values as the ascii ones bit for bit, their block headers follow
// VTK's layout, and VTK's own reader (when installed) reads them.
#include "toolkit/vtk_xml.hpp"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "bem/shapes.hpp"
#include "tool_support.hpp"
#include "toolkit/field_files.hpp"
#include "toolkit/loads.hpp"
#include "toolkit/surface.hpp"
#include "vtk_read.hpp"

namespace velmora {
namespace {

using testing::read_file;
using testing::ScratchDir;
using testing::vtk_array;
using testing::write_file;

// A sphere of 320 elements with velocities and tractions that need all 17
// digits (thirds, tiny and huge magnitudes, negative zero).
struct SphereCase {
  SurfaceMesh m = icosphere(2, 0.7);
  std::vector<double> u, t;
  std::vector<int> group;
  SphereCase() {
    for (int e = 0; e < m.nelem; ++e) {
      for (int c = 0; c < 3; ++c) {
        u.push_back((e + 1.0) / (3.0 * (c + 1)) * (c == 1 ? 1e-300 : 1.0));
        t.push_back(c == 2 ? -0.0 : std::sin(e + 0.1 * c) * 1e150);
      }
      group.push_back(e % 7 == 0 ? 4 : 0);
    }
  }
  std::string vtu(tools::VtkEncoding enc) const {
    std::ostringstream os;
    tools::VtuOptions opt;
    opt.encoding = enc;
    opt.group = &group;
    tools::write_vtu(os, m, tools::find_bodies(m), u.data(), t.data(), opt);
    return os.str();
  }
};

// Bitwise equality of two arrays of doubles (so -0.0 differs from 0.0).
void expect_same_bits(const std::vector<double>& a, const std::vector<double>& b,
                      const std::string& what) {
  ASSERT_EQ(a.size(), b.size()) << what;
  for (std::size_t i = 0; i < a.size(); ++i)
    ASSERT_EQ(std::memcmp(&a[i], &b[i], sizeof(double)), 0)
        << what << " value " << i << ": " << a[i] << " vs " << b[i];
}

// Every array of output.vtu decompresses to the values its ascii twin
// holds, and those are the mesh's and the inputs' own numbers.
TEST(VtkXml, BinaryVtuHoldsTheAsciiValuesBitForBit) {
  const SphereCase c;
  const std::string a = c.vtu(tools::VtkEncoding::ascii), b = c.vtu(tools::VtkEncoding::binary);
  EXPECT_NE(b.find("compressor=\"vtkZLibDataCompressor\""), std::string::npos);
  EXPECT_EQ(b.find("format=\"ascii\""), std::string::npos);
  const struct {
    const char* name;
    int nth;
  } arrays[] = {{"velocity", 0},       {"traction_on_fluid", 0}, {"traction_on_body", 0},
                {"velocity", 1},       {"traction_on_fluid", 1}, {"traction_on_body", 1},
                {"normal", 0},         {"area", 0},              {"body", 0},
                {"group", 0},          {"Points", 0},            {"connectivity", 0},
                {"offsets", 0},        {"types", 0}};
  for (const auto& x : arrays) {
    const testing::VtkArray va = vtk_array(a, x.name, x.nth), vb = vtk_array(b, x.name, x.nth);
    ASSERT_TRUE(va.found && vb.found) << x.name;
    EXPECT_EQ(va.format, "ascii");
    EXPECT_EQ(vb.format, "appended");
    EXPECT_EQ(va.type, vb.type) << x.name;
    EXPECT_EQ(va.ncomp, vb.ncomp) << x.name;
    expect_same_bits(va.values, vb.values, x.name);
  }
  // Against the inputs: cell velocities, tractions on the fluid, points,
  // connectivity from 0, the group tags, and the byte widths of the types.
  expect_same_bits(vtk_array(b, "velocity", 1).values, c.u, "cell velocity");
  expect_same_bits(vtk_array(b, "traction_on_fluid", 1).values, c.t, "cell traction");
  const std::vector<double> pts = vtk_array(b, "Points").values;
  for (int k = 1; k <= c.m.nnode; ++k)
    for (int d = 1; d <= 3; ++d) ASSERT_EQ(pts[3 * (k - 1) + d - 1], c.m.x(k, d));
  const std::vector<double> conn = vtk_array(b, "connectivity").values;
  for (int e = 1; e <= c.m.nelem; ++e)
    for (int v = 1; v <= 3; ++v) ASSERT_EQ(conn[3 * (e - 1) + v - 1], c.m.node(e, v) - 1);
  const std::vector<double> g = vtk_array(b, "group").values;
  for (int e = 0; e < c.m.nelem; ++e) ASSERT_EQ(g[e], c.group[e]);
  EXPECT_EQ(vtk_array(b, "group").bytes.size(), 4u * c.m.nelem);  // Int32
  EXPECT_EQ(vtk_array(b, "types").bytes.size(), 1u * c.m.nelem);  // UInt8
  EXPECT_EQ(vtk_array(b, "offsets").bytes.size(), 8u * c.m.nelem);  // Int64
  EXPECT_EQ(vtk_array(b, "offsets").values.back(), 3.0 * c.m.nelem);
}

// An array longer than a block is split into whole blocks and a remainder,
// each block an independent zlib stream of its stated sizes.
TEST(VtkXml, LongArraysSpanSeveralBlocks) {
  const std::size_t n = 2 * tools::kVtkBlockSize / 8 + 1000;  // two blocks and 8000 bytes
  std::vector<double> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = std::sqrt(static_cast<double>(i));
  const std::string s = tools::vtk_zlib_encode(v.data(), 8 * n);
  std::uint64_t h[6];
  std::memcpy(h, s.data(), sizeof h);
  EXPECT_EQ(h[0], 3u);
  EXPECT_EQ(h[1], tools::kVtkBlockSize);
  EXPECT_EQ(h[2], 8000u);
  EXPECT_EQ(s.size(), 48 + h[3] + h[4] + h[5]);
  std::string out;
  std::size_t pos = 48;
  for (int b = 0; b < 3; ++b) {
    uLongf len = b < 2 ? tools::kVtkBlockSize : 8000;
    std::string block(len, '\0');
    ASSERT_EQ(uncompress(reinterpret_cast<Bytef*>(block.data()), &len,
                         reinterpret_cast<const Bytef*>(s.data() + pos), h[3 + b]),
              Z_OK);
    out += block.substr(0, len);
    pos += h[3 + b];
  }
  ASSERT_EQ(out.size(), 8 * n);
  EXPECT_EQ(std::memcmp(out.data(), v.data(), out.size()), 0);
  EXPECT_EQ(tools::vtk_zlib_decode(s), out);
  // An empty array: no blocks.
  const std::string e = tools::vtk_zlib_encode(nullptr, 0);
  EXPECT_EQ(e.size(), 24u);
  EXPECT_EQ(tools::vtk_zlib_decode(e), "");
}

// velmora-field's ImageData and PolyData files: the same values in both
// encodings.
TEST(VtkXml, FieldFilesBinaryMatchAscii) {
  tools::FieldValues f;
  tools::FieldGrid g;
  g.axis = {{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}};
  g.n = {3, 2, 2};
  f.xyz = g.points();
  for (int k = 0; k < 12; ++k) {
    for (int c = 0; c < 3; ++c) f.vel.push_back(1.0 / (k + c + 3));
    f.pres.push_back(-k / 7.0);
    f.inside.push_back(k % 2);
  }
  for (int kind = 0; kind < 2; ++kind) {
    std::ostringstream a, b;
    if (kind == 0) {
      tools::write_field_vti(a, g, f, tools::VtkEncoding::ascii);
      tools::write_field_vti(b, g, f);
    } else {
      tools::write_field_vtp(a, f, tools::VtkEncoding::ascii);
      tools::write_field_vtp(b, f);
    }
    for (const char* name : {"velocity", "pressure", "inside"}) {
      const testing::VtkArray va = vtk_array(a.str(), name), vb = vtk_array(b.str(), name);
      ASSERT_TRUE(va.found && vb.found) << name;
      EXPECT_EQ(vb.format, "appended");
      expect_same_bits(va.values, vb.values, name);
    }
    expect_same_bits(vtk_array(b.str(), "pressure").values, f.pres, "pressure");
  }
}

// VTK's own reader (python3-vtk9) opens the binary output.vtu and finds in
// every array what the ascii file holds.
TEST(VtkXml, VtkReadsTheBinaryFile) {
  if (std::system("/usr/bin/python3 -c 'import vtk' > /dev/null 2>&1") != 0)
    GTEST_SKIP() << "/usr/bin/python3 with vtk (Debian python3-vtk9) is not installed";
  ScratchDir dir("vtkread");
  const SphereCase c;
  write_file(dir / "a.vtu", c.vtu(tools::VtkEncoding::ascii));
  write_file(dir / "b.vtu", c.vtu(tools::VtkEncoding::binary));
  write_file(dir / "read.py", R"(import sys, vtk
from vtk.util.numpy_support import vtk_to_numpy as np
def read(p):
    r = vtk.vtkXMLUnstructuredGridReader(); r.SetFileName(p); r.Update()
    assert r.GetErrorCode() == 0
    return r.GetOutput()
a, b = read(sys.argv[1]), read(sys.argv[2])
n = 0
for part in ("GetPointData", "GetCellData"):
    pa, pb = getattr(a, part)(), getattr(b, part)()
    assert pa.GetNumberOfArrays() == pb.GetNumberOfArrays()
    for i in range(pb.GetNumberOfArrays()):
        name = pb.GetArrayName(i)
        x, y = np(pa.GetArray(name)), np(pb.GetArray(name))
        assert x.dtype == y.dtype and x.shape == y.shape and (x.view('u1') == y.view('u1')).all(), name
        n += 1
assert (np(a.GetPoints().GetData()) == np(b.GetPoints().GetData())).all()
assert (np(a.GetCells().GetConnectivityArray()) == np(b.GetCells().GetConnectivityArray())).all()
print(b.GetNumberOfPoints(), b.GetNumberOfCells(), n, repr(float(np(b.GetCellData().GetArray("area")).sum())))
)");
  const std::string cmd = "/usr/bin/python3 " + (dir / "read.py") + " " + (dir / "a.vtu") + " " +
                          (dir / "b.vtu") + " > " + (dir / "out.txt") + " 2>&1";
  ASSERT_EQ(std::system(cmd.c_str()), 0) << read_file(dir / "out.txt");
  std::istringstream in(read_file(dir / "out.txt"));
  int np = 0, nc = 0, narrays = 0;
  double area = 0;
  in >> np >> nc >> narrays >> area;
  EXPECT_EQ(np, c.m.nnode);
  EXPECT_EQ(nc, c.m.nelem);
  EXPECT_EQ(narrays, 3 + 7);  // point: velocity, 2 tractions; cell: those, normal, area, body, group
  double want = 0;
  for (double x : tools::element_areas(c.m)) want += x;
  EXPECT_NEAR(area, want, 1e-13 * want);
}

}  // namespace
}  // namespace velmora
