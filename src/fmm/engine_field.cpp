#include "fmm/engine_impl.hpp"

#include <stdexcept>

namespace velmora {

// The field's targets: cells of the tree's grid that hold points of the
// fluid (fmm/field_tree.hpp), translated by the product's phases 3 and 4
// (groups of siblings ordered by order and polar angle, paired, moments
// referred to the root's centre; then local to local from the parent).

std::size_t FmmEngine::half_cell_doubles() const {
  return impl_->hcell;
}

void FmmEngine::set_field_targets(FieldTargets targets) {
  Impl& d = *impl_;
  if (!d.moments_only || d.kernels != Translations::Rotation)
    throw std::logic_error("FmmEngine::set_field_targets: not an engine of moments by rotation");
  const int n = static_cast<int>(targets.level.size());
  d.ft = std::move(targets);
  const FieldTargets& t = d.ft;
  d.ft_groups = Impl::M2LGroups();
  d.group_interactions(
      n, [&](int pos) { return t.parent[pos] < 0 ? -1 - pos : t.parent[pos]; },
      [&](int pos) { return d.tree.size(0) / std::ldexp(1.0, t.level[pos]); },
      [&](int pos, int f, double xh[3]) {
        for (int k = 0; k < 3; ++k) xh[k] = t.cen[3 * static_cast<std::size_t>(pos) + k] - d.tree.cen(f, k + 1);
      },
      t.inter_ptr, t.inter_list, d.ft_groups);
  d.ft_refer = t.inter_list;
  std::sort(d.ft_refer.begin(), d.ft_refer.end());
  d.ft_refer.erase(std::unique(d.ft_refer.begin(), d.ft_refer.end()), d.ft_refer.end());
  int top = 0;
  for (int l : t.level) top = std::max(top, l);
  d.ft_l2l.assign(static_cast<std::size_t>(top) + 1, {});
  for (int i = 0; i < n; ++i)
    if (t.parent[i] >= 0) d.ft_l2l[t.level[i]].push_back(i);
}

void FmmEngine::field_locals(const std::vector<char>& active, double* loc) {
  Impl& d = *impl_;
  const FieldTargets& t = d.ft;
  const Impl::M2LGroups& g = d.ft_groups;
  const FpMode fp;
  EngineTimers& tm = d.timers;
  double t0 = omp_get_wtime(), crit = 0.0;
  auto local = [&](int pos) { return loc + static_cast<std::size_t>(pos) * d.hcell; };
  // 3. The moments the lists read, referred to the root's centre; then the
  // groups with an active member.
  crit += d.parallel_for(static_cast<int>(d.ft_refer.size()), fp, [&](int i, ThreadScratch&) {
    const int c = d.ft_refer[i];
    const double dc[3] = {d.tree.cen(c, 1) - d.tree.cen(1, 1), d.tree.cen(c, 2) - d.tree.cen(1, 2),
                          d.tree.cen(c, 3) - d.tree.cen(1, 3)};
    refer_to_origin(d.p, dc, 1.0, d.mom_cell(c));
  });
  std::vector<int> groups;
  for (int k = 0; k + 1 < static_cast<int>(g.first.size()); ++k) {
    bool any = false;
    for (int pos = g.first[k]; pos < g.first[k + 1] && !any; ++pos) any = active[pos] != 0;
    if (any) groups.push_back(k);
  }
  crit += d.parallel_for(static_cast<int>(groups.size()), fp, [&](int i, ThreadScratch& s) {
    d.m2l_group(
        g.first.data(), g.ptr.data(), g.entries.data(), g.pair.data(), g.order.data(), groups[i],
        [&](int pos, int k) { return t.cen[3 * static_cast<std::size_t>(pos) + k]; }, local, s);
  });
  double t1 = omp_get_wtime();
  tm.wall.m2l += t1 - t0;
  tm.critical.m2l += crit;
  crit = 0.0;
  // 4. Local to local, level by level, for the active targets.
  for (const std::vector<int>& level : d.ft_l2l) {
    crit += d.parallel_for(static_cast<int>(level.size()), fp, [&](int i, ThreadScratch& s) {
      const int b = level[i];
      if (!active[b]) return;
      const int pc = t.parent[b];
      double dv[3];
      for (int k = 0; k < 3; ++k)
        dv[k] = t.cen[3 * static_cast<std::size_t>(b) + k] - t.cen[3 * static_cast<std::size_t>(pc) + k];
      l2l_add_half(d.op, local(pc), dv, local(b), s.twork.data());
    });
  }
  tm.wall.l2l += omp_get_wtime() - t1;
  tm.critical.l2l += crit;
}

}  // namespace velmora
