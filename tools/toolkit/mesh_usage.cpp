// The usage text of velmora-mesh.
#include <string>

#include "toolkit/mesh_tool.hpp"

namespace velmora::tools {

std::string mesh_usage() {
  return R"(Usage: velmora-mesh SHAPE|FILE [resolution] [conditions] [options]

Writes the model file input.dat for velmora and, unless one exists, a control
file input.cnd fitted to the mesh.  Every closed body is oriented for exterior
flow (element normals into the body, checked by its signed volume), or, with
--interior, as a container of the fluid (normals out of the enclosed fluid).
Bodies closer to each other than their elements are long are warned of.

Shapes (lengths in the user's units; centre defaults to the origin):
  sphere    [--radius R] [--centre X,Y,Z]       icosahedral sphere (R = 1)
  spheroid  --axes A,C [--centre X,Y,Z]          semi-axes A, A, C (C along z)
  ellipsoid --axes A,B,C [--centre X,Y,Z]        triaxial ellipsoid
  torus     --radii R,r [--centre X,Y,Z]         ring about the z axis
  spheres   --sphere X,Y,Z,R [--sphere ...]      several spheres, one body each
  FILE      any mesh or geometry file Gmsh reads (.msh .stl .vtk .geo .step
            .brep ...); geometry is meshed with triangles
  FILE.dat  a model file (input.dat): rewritten with its bodies oriented
            consistently (exterior, or interior as its notes or --interior
            say), keeping its conditions, title, mu and notes where no option
            replaces them; rewriting the file in place keeps the old one as
            input.dat.orig

Resolution (at most one):
  --elements N   at least N elements per body (built-in shapes; default 1280)
  --refine L     icosahedral refinement L: 20*4^L elements per body
  --frequency K  sphere: geodesic mesh, 20*K^2 elements (K = 71: 100,820)
  --size H       no element edge longer than H (a maximum size for Gmsh)
  --grid NU,NV   torus: NU steps around the axis, NV around the tube

Boundary conditions, per element: velocity prescribed (code 1) or traction
prescribed (code 2).  Conditions before any selector apply to every body;
--body or --group starts a selection and the conditions after it apply to
that selection (later selections override earlier ones):
  --body K               body K: the K-th connected piece of the mesh
  --group NAME           Gmsh physical surface group, by name or number
  --velocity UX,UY,UZ    rigid translation U
  --rotation WX,WY,WZ    rigid rotation Omega: velocity U + Omega x (x - c)
  --about X,Y,Z          centre c of the rotation (default: body centroid)
  --traction TX,TY,TZ    uniform traction instead of a rigid motion
  --velocity-expr "U;V;W"  velocity field: three expressions in x, y, z
                         (constants pi and e; sqrt, sin, exp, ^, ...),
                         evaluated at each element's centroid
  --traction-expr "X;Y;Z"  traction field, likewise
  --codes C1,C2,C3       per component: 1 takes the velocity (rigid motion or
                         --velocity-expr; 0 without one), 2 the traction
                         (--traction or --traction-expr; 0 without one)
  --interior             the selected bodies enclose the fluid (a pipe, a
                         box): oriented with normals out of the fluid and
                         recorded as interior in input.dat's notes
With no condition at all every body translates with U = (1, 0, 0); elements
left out by the selections given are at rest.  For a container whose wall has
every velocity prescribed, the net flux of that velocity through the wall is
reported; one that no incompressible flow can carry is warned of.

Options:
  --mu MU        viscosity (default 1)
  --title TEXT   first title line (default: the command line)
  --dir DIR      folder of input.dat and input.cnd (default: current)
  --new-cnd      rewrite input.cnd even if it exists
  --quiet        no summary
  --verbose      show Gmsh's messages
  --help         this text
  --version      the version

Exit status: 0 done, 1 bad input (unreadable or empty mesh, a body or group
the mesh lacks), 2 a bad command line (options given twice included).
)";
}

}  // namespace velmora::tools
