// How each body of a mesh is oriented, in words for the tools' messages:
// whether its elements agree with their neighbours and, for a closed body,
// which side its normals face compared with the flow the model declares.
//
// Convention: the element normal (x2 - x1) x (x3 - x1) points into the
// body, away from the fluid.  A closed body in exterior flow (fluid
// outside) then has a negative signed volume sum x1 . (x2 x x3) / 6; a
// closed wall enclosing the fluid (interior flow, listed on the model
// notes' `interior` line) a positive one.
#pragma once

#include <string>
#include <vector>

#include "common/model_notes.hpp"
#include "toolkit/surface.hpp"

namespace velmora::tools {

struct BodyOrientation {
  bool closed_surface = false;  // every edge shared by exactly two elements
  bool orientable = true;
  // Elements that run against their neighbours: the smaller of the two
  // sets a consistent orientation splits the body into (0: consistent).
  int against = 0;
  double signed_volume = 0;  // as the nodes stand; meaningful when closed and consistent
  bool closed_and_consistent() const { return closed_surface && orientable && against == 0; }
};

std::vector<BodyOrientation> body_orientations(const SurfaceMesh& m, const Bodies& bodies);

// "closed but inconsistently oriented: N elements run against their
// neighbours; velmora-mesh input.dat repairs it" (empty when the body is
// consistent or not a closed surface).
std::string inconsistency_note(const BodyOrientation& o);

// The warning for a closed, consistent body whose normals disagree with the
// flow declared for it (exterior unless notes list it as interior); empty
// when they agree.  Starts with "body K: ".
std::string flow_side_warning(int body, const BodyOrientation& o, const ModelNotes& notes);

}  // namespace velmora::tools
