// Near-field blocks of bodies that are rigid copies of one another, and of
// one body from one time step to the next.
//
// Conventions: the blocks are those of the near-field cache
// (fmm/engine.hpp): for target element t (collocation point at its
// centroid) and source element s, the 3x3 integral over s folded with the
// source's boundary codes, T for a prescribed traction and -U otherwise,
// U and T as in bem/triint.hpp (r = x - y from the source point y to the
// target x, n the source's normal).  Only sources whose three components
// have the same code are taken, so that the block is symmetric and kept as
// its six entries 11, 12, 13, 22, 23, 33.
//
// Both kernels are built from r and n alone, U ~ delta/r + r r^T/r^3 and
// T ~ r r^T (r . n)/r^5, and a rigid motion x -> R x + d turns r and n by R,
// so the block of a placed copy is R B Rᵀ with B the template's.  A
// template is the dense self-interaction of one body (every target, every
// source of the body), integrated once and kept in single precision, as the
// single-precision near-field cache keeps its blocks; the near field of any
// copy with itself, at any step, is then turned from it instead of
// integrated (into a cache of single precision, so no accuracy is lost
// that the cache would keep).  The copies share it to the rounding of the
// fit that places them (bem/congruence.hpp), below kPlaceTolerance of the
// template's shortest edge.  A template's slots follow a Morton curve
// through its elements, so the targets of one cell read nearby blocks.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "bem/congruence.hpp"
#include "bem/mesh.hpp"

namespace velmora {

struct EngineParams;

// Dense self-interaction blocks of one body per class of alike bodies.
class CongruentTemplates {
 public:
  // A placed copy lies within this fraction of the template's shortest edge
  // of R X_T + d at every node.  The integrals move by about the nodes'
  // displacement over the element size, so the shared blocks differ from
  // integrated ones by below 1e-7 relative, far under any solver tolerance.
  static constexpr double kPlaceTolerance = 1e-7;

  // Templates for the classes of alike bodies of `mesh` (body[e-1] in
  // 1..nbody), each the first member's blocks as it lies now.  A template of
  // n elements costs n^2 integrations; integrating costs the near pairs per
  // element q times n per member and solve.  A class of m members is taken
  // when n <= m `uses`, uses = q times the solves each member will see;
  // within `budget_bytes` in all (classes taken by decreasing members, then
  // first body; one that does not fit is left to the integration).  Bodies
  // with mixed codes on an element are left out.
  static std::shared_ptr<const CongruentTemplates> build(const MeshView& mesh, const int* body,
                                                         int nbody, const EngineParams& par,
                                                         double uses, std::size_t budget_bytes);

  // Classes with a template; the bodies (1-based) it serves.
  int classes() const { return static_cast<int>(tpl_.size()); }
  const std::vector<int>& members(int k) const { return tpl_[k].members; }
  std::size_t bytes() const;

  // The template's block of target t and source s (by their slots,
  // Template::slot): six entries.
  const float* block(int k, int t, int s) const {
    const std::size_t n = tpl_[k].layout.elements.size();
    return tpl_[k].blocks.data() + 6 * (static_cast<std::size_t>(s) * n + t);
  }

  struct Template {
    BodyLayout layout;          // of the first member when built
    std::vector<double> nodes;  // its centred nodes (bem/congruence.hpp)
    double shortest_edge = 0.0;
    double code = 0.0;          // the one code of every component
    double mu = 0.0, snaptol = 0.0;
    std::vector<int> members;   // bodies, 1-based, increasing
    std::vector<int> slot;      // storage slot of each local element
    std::vector<float> blocks; // 6 per pair, source by source
  };
  const Template& templ(int k) const { return tpl_[k]; }

 private:
  std::vector<Template> tpl_;
};

// The templates placed on a mesh: for each element its body's class and
// local number, and each body's rotation from its template.
class PlacedBlocks {
 public:
  // Places every member body of `t` that is still a copy of its template in
  // `mesh` (body[e-1] the body of element e; the same bodies as when the
  // templates were built, moved or not); the others are left out.
  PlacedBlocks(std::shared_ptr<const CongruentTemplates> t, const MeshView& mesh,
               const int* body, int nbody, double mu, double snaptol);

  // Body (0-based) of element e whose near field with its own body comes from
  // a template, or -1.
  int placed_body(int e) const { return placed_[e - 1]; }
  // Bodies placed.
  int placed_count() const { return count_; }
  // The folded block of target t and source s, both elements of placed body
  // b: R B Rᵀ, six entries.
  void block(int b, int t, int s, double out[6]) const;
  // The same in pieces: the template's blocks of source s (six per target,
  // at the target's slot `local`), and the 6x6 matrix T_b (row by row) with
  // R B Rᵀ = T_b B on the six entries.
  int local(int e) const { return local_[e - 1]; }
  const float* source_blocks(int b, int s) const {
    return t_->block(class_[b], 0, local_[s - 1]);
  }
  const double* turn(int b) const { return &turn_[36 * static_cast<std::size_t>(b)]; }

 private:
  std::shared_ptr<const CongruentTemplates> t_;
  std::vector<int> placed_;  // per element: body or -1
  std::vector<int> local_;   // per element: its slot in its body's template
  std::vector<int> class_;   // per body: class or -1
  std::vector<double> rot_;  // per body: 9
  std::vector<double> turn_; // per body: 36
  int count_ = 0;
};

}  // namespace velmora
