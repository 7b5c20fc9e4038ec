#include "fmm/engine_impl.hpp"

namespace velmora {

namespace {

// Integer position of a cell centre on the grid of its level:
// floor((c - corner) / size) per coordinate, corner the root's low corner.
struct GridKey {
  static std::int64_t key(const long i[3]) {
    return (static_cast<std::int64_t>(i[0]) << 42) | (static_cast<std::int64_t>(i[1]) << 21) |
           static_cast<std::int64_t>(i[2]);
  }
};

}  // namespace

void FmmEngine::Impl::build_lists() {
  const Tree& t = tree;
  const int nlev = *t.nlev;
  const int ncell = t.ncell();

  // Children of every cell, in increasing cell order.
  child_ptr.assign(ncell + 2, 0);
  for (int c = 1; c <= ncell; ++c) {
    int n = 0;
    for (int o = 1; o <= 8; ++o) n += t.child(c, o) != 0 ? 1 : 0;
    child_ptr[c + 1] = child_ptr[c] + n;
  }
  child_list.resize(child_ptr[ncell + 1]);
  for (int c = 1; c <= ncell; ++c) {
    int* out = child_list.data() + child_ptr[c];
    int n = 0;
    for (int o = 1; o <= 8; ++o)
      if (t.child(c, o) != 0) out[n++] = t.child(c, o);
    std::sort(out, out + n);
  }

  for (int lev = 2; lev <= nlev; ++lev)
    for (int b = t.levf(lev); b <= t.levl(lev); ++b)
      if (leaf(b, lev) && t.lst(b) >= t.fst(b)) leaves.push_back(b);

  // (An engine of moments forms them on levels 0 and 1 too: the field's
  // targets outside the root's neighbourhood read them.)
  m2m_cells.assign(std::max(nlev, 0) + 1, {});
  for (int lev = moments_only ? 0 : 2; lev <= nlev - 1; ++lev)
    for (int b = t.levf(lev); b <= t.levl(lev); ++b)
      if (child_ptr[b + 1] > child_ptr[b]) m2m_cells[lev].push_back(b);

  near_groups.assign(std::max(nlev, 1) + 1, {});
  if (moments_only) return;

  l2l_cells.assign(std::max(nlev, 0) + 1, {});
  for (int lev = 3; lev <= nlev; ++lev)
    for (int b = t.levf(lev); b <= t.levl(lev); ++b) l2l_cells[lev].push_back(b);

  // Leaves of levels 0 and 1 (a tree built with minlev below 2): every
  // element of the mesh is a source, in ielord order (the root's run).
  for (int lev = 0; lev <= 1 && lev <= nlev; ++lev)
    for (int b = t.levf(lev); b <= t.levl(lev); ++b) {
      if (!(leaf(b, lev) && t.lst(b) >= t.fst(b))) continue;
      NearCell nc;
      nc.cell = b;
      nc.tfst = t.fst(b);
      nc.tlst = t.lst(b);
      nc.src_begin = static_cast<int>(near_src.size());
      near_src.push_back(1);
      nc.src_end = static_cast<int>(near_src.size());
      nc.nsrc = t.lst(1) - t.fst(1) + 1;
      near_groups[0].push_back(nc);
    }
  if (nlev < 2) return;

  // Cells of each level by grid position, for the adjacency scan.  Two
  // cells of a level are adjacent (centre distance below 1.8 edges) exactly
  // when their grid positions differ by at most one in every coordinate
  // (distance at most sqrt(3) edges; otherwise at least 2); the candidates
  // found on the grid are then put through the same test as the passes.
  const double size0 = t.size(0);
  double corner[3];
  for (int k = 0; k < 3; ++k) corner[k] = t.cen(1, k + 1) - size0 / 2.0;
  std::vector<std::vector<std::pair<std::int64_t, int>>> grid(nlev + 1);
  const bool grid_ok = nlev <= 20;
  auto position = [&](int c, int lev, long i[3]) {
    for (int k = 0; k < 3; ++k)
      i[k] = static_cast<long>(std::floor((t.cen(c, k + 1) - corner[k]) / t.size(lev)));
  };
  if (grid_ok) {
    for (int lev = 1; lev <= nlev; ++lev) {
      auto& g = grid[lev];
      for (int c = t.levf(lev); c <= t.levl(lev); ++c) {
        long i[3];
        position(c, lev, i);
        g.emplace_back(GridKey::key(i), c);
      }
      std::sort(g.begin(), g.end());
    }
  }
  // Cells Q of level lev adjacent to cell c of the same level, ascending.
  std::vector<int> adj;
  auto adjacent_cells = [&](int c, int lev) {
    adj.clear();
    if (grid_ok) {
      long i[3];
      position(c, lev, i);
      const long lim = 1L << 21;
      for (long dx = -1; dx <= 1; ++dx)
        for (long dy = -1; dy <= 1; ++dy)
          for (long dz = -1; dz <= 1; ++dz) {
            const long j[3] = {i[0] + dx, i[1] + dy, i[2] + dz};
            if (j[0] < 0 || j[1] < 0 || j[2] < 0 || j[0] >= lim || j[1] >= lim || j[2] >= lim)
              continue;
            const std::int64_t key = GridKey::key(j);
            const auto& g = grid[lev];
            auto it = std::lower_bound(g.begin(), g.end(), std::make_pair(key, 0));
            for (; it != g.end() && it->first == key; ++it) adj.push_back(it->second);
          }
      std::sort(adj.begin(), adj.end());
      adj.erase(std::unique(adj.begin(), adj.end()), adj.end());
      // The exact test of the passes on the candidates.
      adj.erase(std::remove_if(adj.begin(), adj.end(),
                               [&](int q) { return !cells_adjacent(t, c, q, t.size(lev)); }),
                adj.end());
    } else {
      for (int q = t.levf(lev); q <= t.levl(lev); ++q)
        if (cells_adjacent(t, c, q, t.size(lev))) adj.push_back(q);
    }
  };

  inter_ptr.push_back(0);
  std::vector<int> coarse, neigh, inter;
  for (int lev = 2; lev <= nlev; ++lev) {
    int last_parent = -1;
    std::vector<int> padj;
    for (int b = t.levf(lev); b <= t.levl(lev); ++b) {
      const int par_cell = t.parent(b);
      if (par_cell != last_parent) {
        adjacent_cells(par_cell, lev - 1);
        padj = adj;
        last_parent = par_cell;
      }
      coarse.clear();
      neigh.clear();
      inter.clear();
      for (int q : padj) {
        if (leaf(q, lev - 1)) {
          coarse.push_back(q);
          continue;
        }
        for (int o = 1; o <= 8; ++o) {
          const int c = t.child(q, o);
          if (c == 0) continue;
          if (cells_adjacent(t, b, c, t.size(lev)))
            neigh.push_back(c);
          else
            inter.push_back(c);
        }
      }
      m2l_cells.push_back(b);
      inter_list.insert(inter_list.end(), inter.begin(), inter.end());
      inter_ptr.push_back(static_cast<int>(inter_list.size()));

      NearCell nc;
      nc.cell = b;
      nc.tfst = t.fst(b);
      nc.tlst = t.lst(b);
      nc.src_begin = static_cast<int>(near_src.size());
      near_src.insert(near_src.end(), coarse.begin(), coarse.end());
      if (leaf(b, lev)) near_src.insert(near_src.end(), neigh.begin(), neigh.end());
      nc.src_end = static_cast<int>(near_src.size());
      for (int i = nc.src_begin; i < nc.src_end; ++i)
        nc.nsrc += t.lst(near_src[i]) - t.fst(near_src[i]) + 1;
      if (nc.nsrc > 0 && nc.tlst >= nc.tfst) near_groups[lev - 1].push_back(nc);
    }
  }
  // near_groups[0]: levels 0 and 1; near_groups[lev - 1]: level lev >= 2.
}

void FmmEngine::Impl::make_batches() {
  const Tree& t = tree;
  near_batches.assign(near_groups.size(), {});
  batch_src.clear();
  batch_mem.clear();
  batch_mem_ptr.assign(1, 0);
  // One batch of the cells [a, b) of a group; with `merge` the union of
  // their (ascending) lists, otherwise a single cell's list as it stands.
  auto add_batch = [&](std::size_t g, const std::vector<NearCell>& cells, int a, int b,
                       bool merge) {
    NearBatch nb;
    nb.src_begin = static_cast<int>(batch_src.size());
    if (!merge) {
      const NearCell& nc = cells[a];
      std::int64_t first = 0;
      for (int i = nc.src_begin; i < nc.src_end; ++i) {
        const int sc = near_src[i];
        batch_src.push_back(sc);
        batch_mem.push_back({a, first});
        batch_mem_ptr.push_back(static_cast<int>(batch_mem.size()));
        first += cell_width(sc);
      }
    } else {
      std::vector<int> u;
      for (int c = a; c < b; ++c)
        u.insert(u.end(), near_src.begin() + cells[c].src_begin,
                 near_src.begin() + cells[c].src_end);
      std::sort(u.begin(), u.end());
      u.erase(std::unique(u.begin(), u.end()), u.end());
      std::vector<int> cursor(b - a);
      std::vector<std::int64_t> first(b - a, 0);
      for (int c = a; c < b; ++c) cursor[c - a] = cells[c].src_begin;
      for (int sc : u) {
        batch_src.push_back(sc);
        for (int c = a; c < b; ++c) {
          int& k = cursor[c - a];
          if (k < cells[c].src_end && near_src[k] == sc) {
            batch_mem.push_back({c, first[c - a]});
            first[c - a] += cell_width(sc);
            ++k;
          }
        }
        batch_mem_ptr.push_back(static_cast<int>(batch_mem.size()));
      }
    }
    nb.src_end = static_cast<int>(batch_src.size());
    near_batches[g].push_back(nb);
  };
  for (std::size_t g = 0; g < near_groups.size(); ++g) {
    const std::vector<NearCell>& cells = near_groups[g];
    const int n = static_cast<int>(cells.size());
    for (int a = 0; a < n;) {
      int b = a + 1;
      auto ancestor = [&t](int c) {
        for (int up = 0; up < kBatchLevels && c > 0; ++up) c = t.parent(c);
        return c;
      };
      if (g > 0)
        while (b < n && ancestor(cells[b].cell) == ancestor(cells[a].cell)) ++b;
      // Siblings merge when every list is strictly ascending (as the list
      // rules make them); otherwise each keeps its own order.
      bool ascending = true;
      for (int c = a; c < b; ++c)
        for (int i = cells[c].src_begin + 1; i < cells[c].src_end; ++i)
          ascending = ascending && near_src[i - 1] < near_src[i];
      if (b - a > 1 && ascending) {
        add_batch(g, cells, a, b, true);
      } else {
        for (int c = a; c < b; ++c) add_batch(g, cells, c, c + 1, false);
      }
      a = b;
    }
  }
}

// Groups the targets of the multipole-to-local pass by parent, orders the
// entries of a group by polar angle (stable: the targets in list order, each
// target's sources in the order of its list; offsets off the table first)
// and pairs neighbours of one tabulated angle.
void FmmEngine::Impl::pair_interactions() {
  M2LGroups g;
  group_interactions(
      static_cast<int>(m2l_cells.size()), [&](int pos) { return tree.parent(m2l_cells[pos]); },
      [&](int pos) {
        int lev = 0;
        while (lev < *tree.nlev && m2l_cells[pos] > tree.levl(lev)) ++lev;
        return tree.size(lev);
      },
      [&](int pos, int f, double xh[3]) {
        const int c = m2l_cells[pos];
        for (int k = 0; k < 3; ++k) xh[k] = tree.cen(c, k + 1) - tree.cen(f, k + 1);
      },
      inter_ptr, inter_list, g);
  grp_first = std::move(g.first);
  grp_ptr = std::move(g.ptr);
  grp_entries = std::move(g.entries);
  grp_pair = std::move(g.pair);
  grp_order = std::move(g.order);
}

// Nodes and edges of every near-field source cell, in order of first
// appearance; a cell with more than kMaxSharedRows of them keeps slot 0.
void FmmEngine::Impl::make_source_geometry() {
  geo_slot.assign(static_cast<std::size_t>(tree.ncell()) + 1, 0);
  src_geo.clear();
  geo_nodes.clear();
  geo_edges.clear();
  geo_elems.clear();
  max_rows = 0;
  std::vector<int> local(static_cast<std::size_t>(mesh.nnode) + 1, -1);
  std::vector<int> head, next;  // edges of each local lower node, as linked lists
  for (int sc : batch_src) {
    if (geo_slot[sc] != 0) continue;
    SourceGeometry g;
    g.node_begin = static_cast<int>(geo_nodes.size());
    g.edge_begin = static_cast<int>(geo_edges.size() / 2);
    g.elem_begin = static_cast<int>(geo_elems.size() / 6);
    head.clear();
    next.clear();
    for (int pos = tree.fst(sc); pos <= tree.lst(sc); ++pos) {
      const int e = tree.elord(pos);
      int lv[3];
      for (int v = 0; v < 3; ++v) {
        const int node = mesh.node(e, v + 1);
        if (local[node] < 0) {
          local[node] = static_cast<int>(geo_nodes.size()) - g.node_begin;
          geo_nodes.push_back(node);
          head.push_back(-1);
        }
        lv[v] = local[node];
      }
      int le[3];
      for (int j = 0; j < 3; ++j) {
        int lo = lv[j], hi = lv[(j + 1) % 3];
        if (geo_nodes[g.node_begin + lo] > geo_nodes[g.node_begin + hi]) std::swap(lo, hi);
        int k = head[lo];
        while (k >= 0 && geo_edges[2 * (g.edge_begin + k) + 1] != hi) k = next[k];
        if (k < 0) {
          k = static_cast<int>(geo_edges.size() / 2) - g.edge_begin;
          geo_edges.push_back(lo);
          geo_edges.push_back(hi);
          next.push_back(head[lo]);
          head[lo] = k;
        }
        le[j] = k;
      }
      geo_elems.insert(geo_elems.end(), {lv[0], lv[1], lv[2], le[0], le[1], le[2]});
    }
    g.node_end = static_cast<int>(geo_nodes.size());
    g.edge_end = static_cast<int>(geo_edges.size() / 2);
    for (int i = g.node_begin; i < g.node_end; ++i) local[geo_nodes[i]] = -1;
    const int nrows = (g.node_end - g.node_begin) + (g.edge_end - g.edge_begin);
    if (nrows > kMaxSharedRows) {
      geo_nodes.resize(g.node_begin);
      geo_edges.resize(2 * static_cast<std::size_t>(g.edge_begin));
      geo_elems.resize(6 * static_cast<std::size_t>(g.elem_begin));
      continue;
    }
    src_geo.push_back(g);
    geo_slot[sc] = static_cast<int>(src_geo.size());
    max_rows = std::max(max_rows, nrows);
  }
  for (ThreadScratch& s : scratch) s.rows.resize(static_cast<std::size_t>(max_rows) * kChunk);
}

}  // namespace velmora
