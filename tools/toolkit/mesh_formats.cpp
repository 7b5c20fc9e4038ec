#include "toolkit/mesh_formats.hpp"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <unordered_map>

#include "toolkit/args.hpp"
#include "toolkit/tool_error.hpp"

namespace velmora::tools {
namespace fs = std::filesystem;

namespace {

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// Builds an ImportedSurface from polygons over a vertex list: nodes
// numbered in order of first use, polygons split into fans.
class SurfaceBuilder {
 public:
  explicit SurfaceBuilder(const std::vector<double>* xyz) : xyz_(xyz) {}
  // `v` holds 0-based vertex indices, already checked.
  void polygon(const std::vector<long>& v, int group) {
    for (std::size_t k = 1; k + 1 < v.size(); ++k) {
      tri_.insert(tri_.end(), {node(v[0]), node(v[k]), node(v[k + 1])});
      out_.group.push_back(group);
    }
  }
  ImportedSurface finish() {
    SurfaceMesh& m = out_.mesh;
    m.nnode = static_cast<int>(order_.size());
    m.nelem = static_cast<int>(tri_.size() / 3);
    m.xnode.resize(3 * static_cast<std::size_t>(m.nnode));
    m.ielem.resize(3 * static_cast<std::size_t>(m.nelem));
    for (int k = 0; k < m.nnode; ++k)
      for (int c = 0; c < 3; ++c)
        m.xnode[k + static_cast<std::size_t>(c) * m.nnode] = (*xyz_)[3 * order_[k] + c];
    for (int e = 0; e < m.nelem; ++e)
      for (int v = 0; v < 3; ++v) m.ielem[e + static_cast<std::size_t>(v) * m.nelem] = tri_[3 * e + v];
    return std::move(out_);
  }
  ImportedSurface& surface() { return out_; }

 private:
  int node(long v) {
    auto [it, fresh] = number_.emplace(v, static_cast<int>(order_.size()) + 1);
    if (fresh) order_.push_back(v);
    return it->second;
  }
  const std::vector<double>* xyz_;
  std::unordered_map<long, int> number_;
  std::vector<long> order_;
  std::vector<int> tri_;
  ImportedSurface out_;
};

std::ifstream open_text(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw ToolError("cannot open " + path);
  return in;
}

std::string where(const std::string& path, long line) {
  return path + ":" + std::to_string(line) + ": ";
}

}  // namespace

MeshFormat mesh_format_of(const std::string& path) {
  const std::string ext = lower(fs::path(path).extension().string());
  if (ext == ".obj") return MeshFormat::obj;
  if (ext == ".off") return MeshFormat::off;
  if (ext == ".vtk") {
    // Legacy VTK: line 1 "# vtk DataFile Version X.Y", line 2 a title,
    // line 3 ASCII or BINARY.  Gmsh reads ASCII files before version 5
    // (which changed the cell records to offsets and connectivity).
    std::ifstream in(path, std::ios::binary);
    std::string first, line;
    std::getline(in, first);
    for (int k = 1; k < 3 && std::getline(in, line); ++k) {
    }
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) line.pop_back();
    const std::size_t at = lower(first).find("version");
    const double version = at == std::string::npos ? 0.0 : std::atof(first.c_str() + at + 7);
    return lower(line) == "ascii" && version < 5.0 ? MeshFormat::gmsh : MeshFormat::meshio;
  }
  static const char* const gmsh_reads[] = {".geo",  ".geo_unrolled", ".msh",  ".stl", ".step",
                                           ".stp",  ".brep",         ".brp",  ".iges", ".igs",
                                           ".unv",  ".mesh",         ".bdf",  ".nas"};
  for (const char* e : gmsh_reads)
    if (ext == e) return MeshFormat::gmsh;
  return MeshFormat::meshio;
}

ImportedSurface read_obj(const std::string& path) {
  std::ifstream in = open_text(path);
  std::vector<double> xyz;
  SurfaceBuilder b(&xyz);
  std::map<std::string, int> group_of;
  int group = 0;
  long faces = 0;
  std::string line;
  for (long ln = 1; std::getline(in, line); ++ln) {
    std::istringstream s(line);
    std::string key;
    if (!(s >> key) || key[0] == '#') continue;
    if (key == "v") {
      double x[3];
      if (!(s >> x[0] >> x[1] >> x[2]))
        throw ToolError(where(path, ln) + "expected a vertex \"v x y z\"");
      xyz.insert(xyz.end(), x, x + 3);
    } else if (key == "f") {
      std::vector<long> v;
      const long nv = static_cast<long>(xyz.size() / 3);
      for (std::string w; s >> w;) {
        // i, i/t, i//n, i/t/n: the vertex index is the part before the first '/'.
        const std::string head = w.substr(0, w.find('/'));
        char* end = nullptr;
        const long i = std::strtol(head.c_str(), &end, 10);
        if (head.empty() || *end != '\0' || i == 0)
          throw ToolError(where(path, ln) + "bad vertex reference '" + w + "' in a face");
        const long k = i > 0 ? i - 1 : nv + i;  // negative: counted back from the last vertex
        if (k < 0 || k >= nv)
          throw ToolError(where(path, ln) + "the face refers to vertex " + head + " of " +
                          std::to_string(nv) + " defined so far");
        v.push_back(k);
      }
      if (v.size() < 3) throw ToolError(where(path, ln) + "a face needs three vertices or more");
      b.polygon(v, group);
      ++faces;
    } else if (key == "g" || key == "o") {
      std::string name;
      std::getline(s >> std::ws, name);
      while (!name.empty() && std::isspace(static_cast<unsigned char>(name.back()))) name.pop_back();
      if (name.empty()) {
        group = 0;
        continue;
      }
      auto [it, fresh] = group_of.emplace(name, static_cast<int>(group_of.size()) + 1);
      group = it->second;
      if (fresh) b.surface().group_names[group] = name;
    }
  }
  if (faces == 0) throw ToolError(path + " holds no faces (\"f\" lines)");
  return b.finish();
}

ImportedSurface read_off(const std::string& path) {
  std::ifstream in = open_text(path);
  // The words of the file with their line numbers, comments dropped.
  long ln = 0;
  std::istringstream s;
  auto next_line = [&]() {
    std::string line;
    while (std::getline(in, line)) {
      ++ln;
      line = line.substr(0, line.find('#'));
      if (line.find_first_not_of(" \t\r") != std::string::npos) {
        s.clear();
        s.str(line);
        return true;
      }
    }
    return false;
  };
  if (!next_line()) throw ToolError(path + " is empty");
  std::string head;
  s >> head;
  // [ST][C][N][4][n]OFF; the four-dimensional variants are refused.
  if (head.size() < 3 || head.compare(head.size() - 3, 3, "OFF") != 0)
    throw ToolError(where(path, ln) + "expected the header OFF, read '" + head + "'");
  if (head.find('4') != std::string::npos || head.find('n') != std::string::npos)
    throw ToolError(where(path, ln) + "the " + head + " variant (other than 3-D) is not read");
  long nv = 0, nf = 0;
  if (!(s >> nv)) {
    if (!next_line() || !(s >> nv))
      throw ToolError(where(path, ln) + "expected the counts of vertices, faces and edges");
  }
  if (!(s >> nf) || nv < 0 || nf < 0)
    throw ToolError(where(path, ln) + "expected the counts of vertices, faces and edges");
  std::vector<double> xyz(3 * static_cast<std::size_t>(nv));
  for (long k = 0; k < nv; ++k) {
    if (!next_line() || !(s >> xyz[3 * k] >> xyz[3 * k + 1] >> xyz[3 * k + 2]))
      throw ToolError(where(path, ln) + "expected vertex " + std::to_string(k) + " of " +
                      std::to_string(nv) + ", \"x y z\"");
  }
  SurfaceBuilder b(&xyz);
  for (long f = 0; f < nf; ++f) {
    long n = 0;
    if (!next_line() || !(s >> n) || n < 3)
      throw ToolError(where(path, ln) + "expected face " + std::to_string(f) + " of " +
                      std::to_string(nf) + ", \"n i1 ... in\" with n at least 3");
    std::vector<long> v(n);
    for (long& i : v) {
      if (!(s >> i)) throw ToolError(where(path, ln) + "the face lists fewer than its " +
                                     std::to_string(n) + " vertices");
      if (i < 0 || i >= nv)
        throw ToolError(where(path, ln) + "the face refers to vertex " + std::to_string(i) +
                        " of 0.." + std::to_string(nv - 1));
    }
    b.polygon(v, 0);
  }
  if (nf == 0) throw ToolError(path + " holds no faces");
  return b.finish();
}

namespace {

// Reads the file named by argv[1] with meshio and writes its points and
// surface cells to argv[2] as text:
//   points N / N lines "x y z"
//   block K M / M lines "tag i1 ... iK" (0-based; K corners per cell)
//   skipped TYPE COUNT
//   end
// Exit status 3: no meshio; 4: meshio cannot read the file (one line on
// standard error).
const char* const kMeshioScript = R"PY(
import sys
try:
    import meshio
    import numpy as np
except Exception as e:
    sys.stderr.write("%s\n" % e)
    sys.exit(3)
src, dst = sys.argv[1], sys.argv[2]
try:
    m = meshio.read(src)
except Exception as e:
    lines = [l for l in str(e).strip().splitlines() if l.strip()]
    sys.stderr.write("%s\n" % (lines[-1] if lines else type(e).__name__))
    sys.exit(4)
corners = {"triangle": 3, "triangle6": 3, "triangle7": 3, "quad": 4, "quad8": 4, "quad9": 4}
phys = m.cell_data.get("gmsh:physical")
with open(dst, "w") as out:
    p = np.asarray(m.points, dtype=float)
    if p.ndim != 2:
        p = p.reshape(-1, 3)
    if p.shape[1] < 3:
        p = np.hstack([p, np.zeros((p.shape[0], 3 - p.shape[1]))])
    out.write("points %d\n" % p.shape[0])
    np.savetxt(out, p[:, :3], fmt="%.17g")
    skipped = {}
    for i, block in enumerate(m.cells):
        t = block.type
        d = block.data
        if t in corners or t == "polygon":
            rows = [np.asarray(r, dtype=np.int64) for r in d] if not hasattr(d, "ndim") or d.ndim != 2 else None
            if rows is None:
                k = corners.get(t, d.shape[1])
                cells = np.asarray(d[:, :k], dtype=np.int64)
                groups = [cells]
            else:
                groups = {}
                for r in rows:
                    groups.setdefault(len(r), []).append(r)
                groups = [np.array(g, dtype=np.int64) for g in groups.values()]
            tag = None
            if phys is not None and i < len(phys):
                tag = np.asarray(phys[i], dtype=np.int64).reshape(-1)
            for cells in groups:
                if cells.shape[0] == 0:
                    continue
                tags = tag if (tag is not None and len(groups) == 1 and tag.shape[0] == cells.shape[0]) else np.zeros(cells.shape[0], dtype=np.int64)
                out.write("block %d %d\n" % (cells.shape[1], cells.shape[0]))
                np.savetxt(out, np.hstack([tags.reshape(-1, 1), cells]), fmt="%d")
        else:
            skipped[t] = skipped.get(t, 0) + len(d)
    for t, n in skipped.items():
        out.write("skipped %s %d\n" % (t, n))
    out.write("end\n")
)PY";

// A temporary folder, removed at the end.
struct TempDir {
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "velmora-meshio-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw ToolError("cannot make a temporary folder");
    path = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
  fs::path path;
};

// Runs `argv` with standard input from /dev/null and standard output and
// error into `log`; returns the exit status (127 when it cannot start).
int run_program(const std::vector<std::string>& argv, const std::string& log) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid < 0) throw ToolError("cannot start " + argv[0]);
  if (pid == 0) {
    const int in = ::open("/dev/null", O_RDONLY);
    const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in >= 0) ::dup2(in, 0);
    if (out >= 0) {
      ::dup2(out, 1);
      ::dup2(out, 2);
    }
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) throw ToolError("lost the subprocess " + argv[0]);
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

std::string last_line(const std::string& path) {
  std::ifstream in(path);
  std::string line, last;
  while (std::getline(in, line))
    if (line.find_first_not_of(" \t\r") != std::string::npos) last = line;
  return last;
}

}  // namespace

ImportedSurface read_with_meshio(const std::string& path, const std::string& python) {
  const std::string ext = fs::path(path).extension().string();
  const std::string formats =
      "velmora-mesh reads Gmsh's formats (.geo, .msh, .stl, .step, .brep, .iges, ASCII .vtk, "
      "...), .obj, .off and, through meshio, .vtu, binary .vtk, .ply, .xdmf, .inp, .med and "
      "the others meshio reads";
  const std::string need = "reading " + path + " needs meshio for " + python +
                           " (Debian python3-meshio; tools/deps.sh installs it)";
  if (::access(python.c_str(), X_OK) != 0) throw ToolError(need + ": " + python + " is missing");
  TempDir tmp;
  const std::string result = (tmp.path / "surface.txt").string();
  const std::string log = (tmp.path / "log.txt").string();
  const std::string absolute = fs::absolute(path).string();
  const int status = run_program({python, "-c", kMeshioScript, absolute, result}, log);
  if (status == 127) throw ToolError(need + ": " + python + " does not start");
  if (status == 3) throw ToolError(need + ": " + last_line(log));
  if (status == 4) {
    const std::string why = last_line(log);
    if (why.find("Could not deduce") != std::string::npos ||
        why.find("Unknown file format") != std::string::npos)
      throw ToolError("unknown mesh format " + (ext.empty() ? std::string("(no extension)") : ext) +
                      " of " + path + ": " + formats);
    throw ToolError("meshio cannot read " + path + ": " + why);
  }
  if (status != 0)
    throw ToolError("meshio stopped reading " + path + " (status " + std::to_string(status) +
                    "): " + last_line(log));

  std::ifstream in(result);
  std::string key;
  long n = 0;
  if (!(in >> key >> n) || key != "points" || n < 0)
    throw ToolError("meshio gave no points for " + path);
  std::vector<double> xyz(3 * static_cast<std::size_t>(n));
  for (double& x : xyz)
    if (!(in >> x)) throw ToolError("meshio's points of " + path + " are cut short");
  SurfaceBuilder b(&xyz);
  std::map<std::string, long> skipped;
  long cells = 0;
  bool ended = false;
  while (in >> key) {
    if (key == "block") {
      long k = 0, m = 0;
      if (!(in >> k >> m) || k < 3) throw ToolError("meshio's cells of " + path + " are malformed");
      std::vector<long> v(k);
      for (long c = 0; c < m; ++c) {
        long tag = 0;
        in >> tag;
        for (long& i : v) {
          in >> i;
          if (in && (i < 0 || i >= n))
            throw ToolError(path + ": a cell refers to point " + std::to_string(i) + " of " +
                            std::to_string(n));
        }
        if (!in) throw ToolError("meshio's cells of " + path + " are cut short");
        // Quadrilaterals split as (1 2 3), (1 3 4), like every polygon's fan.
        b.polygon(v, static_cast<int>(tag));
        if (tag != 0) b.surface().group_names.emplace(static_cast<int>(tag), "");
      }
      cells += m;
    } else if (key == "skipped") {
      std::string type;
      long count = 0;
      in >> type >> count;
      skipped[type] += count;
    } else if (key == "end") {
      ended = true;
      break;
    } else {
      throw ToolError("meshio's output for " + path + " is malformed");
    }
  }
  if (!ended) throw ToolError("meshio's output for " + path + " is cut short");
  std::string skipped_text;
  for (const auto& [type, count] : skipped)
    skipped_text += (skipped_text.empty() ? "" : ", ") + std::to_string(count) + " " + type;
  if (cells == 0)
    throw ToolError(path + " holds no surface cells (triangles, quadrilaterals or polygons)" +
                    (skipped_text.empty() ? std::string() : "; it has " + skipped_text));
  ImportedSurface s = b.finish();
  s.notes.push_back("read " + path + " through meshio: " + std::to_string(cells) + " surface cells");
  if (!skipped_text.empty()) s.notes.push_back("skipped the cells of " + path + " that are not surface cells: " + skipped_text);
  return s;
}

ImportedSurface read_mesh_file(const std::string& path, MeshFormat format, double size) {
  ImportedSurface s = format == MeshFormat::obj   ? read_obj(path)
                      : format == MeshFormat::off ? read_off(path)
                                                  : read_with_meshio(path);
  if (s.mesh.nelem == 0) throw ToolError(path + " holds no surface elements");
  if (size > 0)
    s.notes.insert(s.notes.begin(), path + " already holds a surface mesh; the requested size is not used");
  return s;
}

}  // namespace velmora::tools
