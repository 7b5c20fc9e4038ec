// The machine-readable outputs of velmora-post: the loads per body, per
// physical group and in total as JSON and CSV, and the surface solution
// per element as CSV.  Numbers carry 17 significant digits (they read back
// as the same doubles); a value that is not a number is written as null in
// JSON and as nan in CSV.
//
// Loads follow toolkit/loads.hpp: the force the fluid exerts,
// F = -sum A_e t_e, and its torque about the point p given with --about,
// L = -sum A_e (x_e - p) x t_e.  A group's loads are the same sums over the
// elements of its ranges (the force on the body from that part of it).
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "common/model_notes.hpp"
#include "toolkit/loads.hpp"
#include "toolkit/surface.hpp"

namespace velmora::tools {

struct GroupLoad {
  int tag = 0;
  std::string name;
  int nelem = 0;
  double area = 0;
  Vec3 force{0, 0, 0};
  Vec3 torque{0, 0, 0};  // about the point
};

// One entry per group of the notes, in their order; element numbers
// outside 1..nelem are left out, an element listed twice counts once.
std::vector<GroupLoad> group_loads(const SurfaceMesh& m, const ModelNotes& notes, const double* t,
                                   const Vec3& point);

// Everything the load files report.
struct PostReport {
  std::string model, results;  // the paths read
  double mu = 1;
  Vec3 about{0, 0, 0};
  const Loads* loads = nullptr;
  std::vector<BodyGeometry> geometry;  // one per body
  std::vector<GroupLoad> groups;
};

// {"model": .., "results": .., "mu": .., "about": [x, y, z],
//  "bodies": [{"body": K, "elements": N, "closed": true, "area": A,
//              "centroid": [..], "force": [..], "torque": [..],
//              "torque_about_centroid": [..]}, ...],
//  "groups": [{"tag": T, "name": "..", "elements": N, "area": A,
//              "force": [..], "torque": [..]}, ...],
//  "total": {"elements": N, "area": A, "force": [..], "torque": [..]}}
// with every "torque" about "about".
void write_loads_json(std::ostream& os, const PostReport& r);

// Header kind,id,name,elements,area,fx,fy,fz,lx,ly,lz then one row per
// body (kind "body", id K), per group (kind "group", id its tag, its name)
// and the total (kind "total"); torques about the --about point.
void write_loads_csv(std::ostream& os, const PostReport& r);

// Header element,x,y,z,area,nx,ny,nz,u,v,w,tx,ty,tz,body,group and one row
// per element: its centroid, area, unit normal (into the body), velocity,
// traction t as in output.dat (the stress on the normal into the body: the
// traction on the fluid; the fluid's on the body is -t), body number and
// group tag (0: none).
void write_surface_csv(std::ostream& os, const SurfaceMesh& m, const Bodies& bodies,
                       const std::vector<int>& group, const double* u, const double* t);

}  // namespace velmora::tools
