#include "toolkit/gmsh_import.hpp"

#include <filesystem>
#include <optional>
#include <unordered_map>

#include "toolkit/args.hpp"
#include "toolkit/mesh_formats.hpp"
#include "toolkit/progress.hpp"
#include "toolkit/tool_error.hpp"

#ifdef VELMORA_HAVE_GMSH
#include <gmsh.h>
#endif

namespace velmora::tools {

namespace {
std::ostream* progress_sink = nullptr;

// The file's own reader for formats other than Gmsh's, after the check that
// the file exists (Gmsh, handed a missing file, prints junk or crashes).
std::optional<ImportedSurface> import_other_format(const std::string& path, double size) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec))
    throw ToolError("cannot open " + path + ": no such file");
  const MeshFormat format = mesh_format_of(path);
  if (format == MeshFormat::gmsh) return std::nullopt;
  return read_mesh_file(path, format, size);
}
}  // namespace

ImportProgress::ImportProgress(std::ostream* sink) : previous_(progress_sink) {
  progress_sink = sink;
}
ImportProgress::~ImportProgress() {
  progress_sink = previous_;
}
std::ostream* ImportProgress::sink() {
  return progress_sink;
}

#ifndef VELMORA_HAVE_GMSH

bool gmsh_available() {
  return false;
}

ImportedSurface import_with_gmsh(const std::string& path, double size, bool) {
  if (auto s = import_other_format(path, size)) return std::move(*s);
  throw ToolError(
      "this build has no Gmsh support (install libgmsh-dev and reconfigure) and cannot read "
      "mesh or geometry files");
}

#else

namespace {

// Gmsh keeps one global model; this opens the library for one import and
// closes it on every way out.
struct GmshSession {
  explicit GmshSession(bool verbose) {
    gmsh::initialize();
    gmsh::option::setNumber("General.Terminal", verbose ? 1 : 0);
    gmsh::option::setNumber("General.Verbosity", verbose ? 4 : 1);
  }
  ~GmshSession() { gmsh::finalize(); }
  GmshSession(const GmshSession&) = delete;
  GmshSession& operator=(const GmshSession&) = delete;
};

std::size_t count_surface_elements() {
  std::vector<int> types;
  std::vector<std::vector<std::size_t> > tags, nodes;
  gmsh::model::mesh::getElements(types, tags, nodes, 2, -1);
  std::size_t n = 0;
  for (const auto& t : tags) n += t.size();
  return n;
}

ImportedSurface read_model() {
  ImportedSurface out;
  std::vector<std::size_t> node_tags;
  std::vector<double> coord, param;
  gmsh::model::mesh::getNodes(node_tags, coord, param, -1, -1, false, false);
  std::unordered_map<std::size_t, std::size_t> where;  // Gmsh tag -> position in coord
  for (std::size_t i = 0; i < node_tags.size(); ++i) where[node_tags[i]] = i;

  std::unordered_map<std::size_t, int> number;  // Gmsh tag -> our node number
  std::vector<double> xyz;                      // our nodes, point by point
  std::vector<int> tri;                         // our elements, three nodes each
  auto node = [&](std::size_t tag) {
    auto it = number.find(tag);
    if (it != number.end()) return it->second;
    const auto w = where.find(tag);
    if (w == where.end())
      throw ToolError("element refers to an undefined node " + std::to_string(tag));
    for (int c = 0; c < 3; ++c) xyz.push_back(coord[3 * w->second + c]);
    const int k = static_cast<int>(number.size()) + 1;
    number.emplace(tag, k);
    return k;
  };

  gmsh::vectorpair surfaces;
  gmsh::model::getEntities(surfaces, 2);
  std::map<std::string, std::size_t> skipped;
  for (const auto& [dim, tag] : surfaces) {
    std::vector<int> phys;
    gmsh::model::getPhysicalGroupsForEntity(dim, tag, phys);
    const int group = phys.empty() ? 0 : phys.front();
    if (phys.size() > 1)
      out.notes.push_back("surface " + std::to_string(tag) +
                          " belongs to several physical groups; " + "its elements take group " +
                          std::to_string(group));
    std::vector<int> types;
    gmsh::model::mesh::getElementTypes(types, dim, tag);
    for (const int type : types) {
      std::string name;
      int edim = 0, order = 0, nn = 0, nprim = 0;
      std::vector<double> local;
      gmsh::model::mesh::getElementProperties(type, name, edim, order, nn, local, nprim);
      std::vector<std::size_t> etags, enodes;
      gmsh::model::mesh::getElementsByType(type, etags, enodes, tag);
      const bool triangle = name.rfind("Triangle", 0) == 0 && nprim == 3;
      const bool quad = name.rfind("Quadrilateral", 0) == 0 && nprim == 4;
      if (!triangle && !quad) {
        skipped[name] += etags.size();
        continue;
      }
      for (std::size_t e = 0; e < etags.size(); ++e) {
        const std::size_t* v = &enodes[e * nn];
        const int a = node(v[0]), b = node(v[1]), c = node(v[2]);
        tri.insert(tri.end(), {a, b, c});
        out.group.push_back(group);
        if (quad) {
          const int d = node(v[3]);
          tri.insert(tri.end(), {a, c, d});
          out.group.push_back(group);
        }
      }
    }
  }
  for (const auto& [name, n] : skipped)
    out.notes.push_back("skipped " + std::to_string(n) + " surface elements of type " + name);

  gmsh::vectorpair groups;
  gmsh::model::getPhysicalGroups(groups, 2);
  for (const auto& [dim, tag] : groups) {
    std::string name;
    gmsh::model::getPhysicalName(dim, tag, name);
    out.group_names[tag] = name;
  }

  SurfaceMesh& m = out.mesh;
  m.nnode = static_cast<int>(number.size());
  m.nelem = static_cast<int>(tri.size() / 3);
  m.xnode.resize(3 * static_cast<std::size_t>(m.nnode));
  m.ielem.resize(3 * static_cast<std::size_t>(m.nelem));
  for (int k = 0; k < m.nnode; ++k)
    for (int c = 0; c < 3; ++c) m.xnode[k + static_cast<std::size_t>(c) * m.nnode] = xyz[3 * k + c];
  for (int e = 0; e < m.nelem; ++e)
    for (int v = 0; v < 3; ++v) m.ielem[e + static_cast<std::size_t>(v) * m.nelem] = tri[3 * e + v];
  return out;
}

}  // namespace

bool gmsh_available() {
  return true;
}

ImportedSurface import_with_gmsh(const std::string& path, double size, bool verbose) {
  if (auto s = import_other_format(path, size)) return std::move(*s);
  std::ostream* sink = progress_sink;
  try {
    GmshSession session(verbose);
    {
      SlowStep step(sink, "velmora-mesh: reading " + path + " with Gmsh...", "reading");
      gmsh::open(path);
      step.finish("velmora-mesh: read " + path);
    }
    std::string err;
    gmsh::logger::getLastError(err);
    if (!err.empty()) throw ToolError("Gmsh cannot read " + path + ": " + err);
    std::vector<std::string> notes;
    if (count_surface_elements() == 0) {
      gmsh::vectorpair surfaces;
      gmsh::model::getEntities(surfaces, 2);
      if (surfaces.empty()) throw ToolError(path + " has no surface to mesh");
      if (size > 0) {
        gmsh::option::setNumber("Mesh.MeshSizeMax", size);
        gmsh::option::setNumber("Mesh.MeshSizeMin", 0.0);
      }
      SlowStep step(sink, "velmora-mesh: meshing " + path + " with Gmsh...", "meshing");
      gmsh::model::mesh::generate(2);
      step.finish("velmora-mesh: meshed " + path);
      notes.push_back("meshed the geometry of " + path +
                      (size > 0 ? " with element size at most " + show(&size, 1)
                                : std::string(" with Gmsh's default element size")));
    } else if (size > 0) {
      notes.push_back(path + " already holds a surface mesh; the requested size is not used");
    }
    SlowStep step(sink, "velmora-mesh: taking over Gmsh's mesh of " + path + "...", "taking over");
    ImportedSurface s = read_model();
    step.finish("velmora-mesh: took over Gmsh's mesh of " + path);
    s.notes.insert(s.notes.begin(), notes.begin(), notes.end());
    if (s.mesh.nelem == 0) throw ToolError(path + " holds no triangles or quadrilaterals");
    return s;
  } catch (const std::string& gmsh_error) {
    throw ToolError("Gmsh cannot read " + path + ": " + gmsh_error);
  } catch (const ToolError&) {
    throw;
  } catch (const std::exception& e) {
    throw ToolError("Gmsh cannot read " + path + ": " + e.what());
  }
}

#endif

}  // namespace velmora::tools
