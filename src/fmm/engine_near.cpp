#include "fmm/engine_impl.hpp"

namespace velmora {

namespace {

// The terms a cached source e adds: row r of a target takes entry at[r][q]
// of the block times a[r][q] = x(ord[r][q]), q = 0, 1, 2, in that order
// (the order of the integration path); the block has `width` entries.
struct CachedTerms {
  int width;
  int at[3][3];
  double a[3][3];
};
CachedTerms cached_terms(const MeshView& mesh, int e, const double* x) {
  CachedTerms c;
  c.width = block_width(mesh, e);
  int ord[3][3];
  term_order(mesh, e, ord);
  const double* xe = x + 3 * static_cast<std::int64_t>(e - 1);
  for (int r = 0; r < 3; ++r)
    for (int q = 0; q < 3; ++q) {
      c.at[r][q] = c.width == 9 ? 3 * r + q : kSym6[r][ord[r][q]];
      c.a[r][q] = xe[ord[r][q]];
    }
  return c;
}

// The entries of y of targets[0..nb) into the local rows y0, y1, y2, and back.
void gather_y(const int* targets, int nb, const double* y, double* y0, double* y1, double* y2) {
  for (int k = 0; k < nb; ++k) {
    const double* yg = y + 3 * static_cast<std::int64_t>(targets[k] - 1);
    y0[k] = yg[0];
    y1[k] = yg[1];
    y2[k] = yg[2];
  }
}
void scatter_y(const int* targets, int nb, const double* y0, const double* y1, const double* y2,
               double* y) {
  for (int k = 0; k < nb; ++k) {
    double* yg = y + 3 * static_cast<std::int64_t>(targets[k] - 1);
    yg[0] = y0[k];
    yg[1] = y1[k];
    yg[2] = y2[k];
  }
}

}  // namespace

// The near field of a batch of cells by TRIINT, DNWRD step 5; with `fill`
// the folded blocks are also stored in the cache.  For each source cell of
// the batch, the targets of its members are cut into TRIINT lists of at
// most kChunk; each source element of the cell is integrated over a list
// and its six terms per target component added in the order of DNWRD.
void FmmEngine::Impl::near_batch(const NearBatch& nb, const std::vector<NearCell>& cells, int mode,
                                 const double* x, double* y, ThreadScratch& s, bool fill) const {
  const NearCoef& c = s.coef;
  std::int64_t* base = s.base.data();
  std::int64_t* step = s.step.data();
  std::int64_t* kpos = s.kpos.data();
  for (int is = nb.src_begin; is < nb.src_end; ++is) {
    const int sc = batch_src[is];
    const int m0 = batch_mem_ptr[is], m1 = batch_mem_ptr[is + 1];
    // Walk the members' targets in chunks.
    int mem = m0, k = 0;  // next target: member mem, position k in its cell
    // With placed bodies a chunk ends where the targets' body changes, so
    // that whether a target's pairs with sc come from a template depends
    // only on the target and sc, not on the targets a chunk gathers (a
    // restricted engine gathers others: fmm/product_share.hpp).
    const bool by_body = mode == 1 && placed;
    while (mem < m1) {
      int nbt = 0;
      int chunk_body = -1;
      while (nbt < kChunk && mem < m1) {
        const NearCell& nc = cells[batch_mem[mem].cell_index];
        const int nt = nc.tlst - nc.tfst + 1;
        const int target = tree.elord(nc.tfst + k);
        if (by_body) {
          const int b = placed->placed_body(target);
          if (nbt == 0) chunk_body = b;
          else if (b != chunk_body) break;
        }
        s.ltarg[1 + nbt] = target;
        if (fill) {
          // Block (source at width prefix w, target k) at
          // cache_offset + nt (first_source + w) + k width.
          base[nbt] = nc.cache_offset + nt * batch_mem[mem].first_source;
          step[nbt] = nt;
          kpos[nbt] = k;
        }
        ++nbt;
        if (++k == nt) {
          ++mem;
          k = 0;
        }
      }
      s.ltarg[0] = nbt;
      // The targets' entries of y, held in a local array while the source
      // cell's elements are added (the same additions in the same order;
      // y itself is read and written once per source cell, so threads
      // working on neighbouring elements do not share its cache lines
      // element by element).
      double* yl = s.yloc.data();
      for (int i = 0; i < nbt; ++i) {
        const double* yg = y + 3 * static_cast<std::int64_t>(s.ltarg[1 + i] - 1);
        yl[3 * i] = yg[0];
        yl[3 * i + 1] = yg[1];
        yl[3 * i + 2] = yg[2];
      }
      // A chunk of one placed body's targets and a source cell of the same
      // body take their blocks from the body's template, turned with it
      // (fmm/congruent_blocks.hpp), instead of integrating them.
      if (mode == 1 && placed && shared_chunk(sc, nbt, s.ltarg.data())) {
        shared_sources(sc, nbt, x, yl, s, fill);
        for (int i = 0; i < nbt; ++i) {
          double* yg = y + 3 * static_cast<std::int64_t>(s.ltarg[1 + i] - 1);
          yg[0] = yl[3 * i];
          yg[1] = yl[3 * i + 1];
          yg[2] = yl[3 * i + 2];
        }
        continue;
      }
      // Shared targets and the rows of the cell's nodes and edges.
      const SourceGeometry* geo = geo_slot[sc] > 0 ? &src_geo[geo_slot[sc] - 1] : nullptr;
      TriintTargets tg;
      const double* node_rows = s.rows.data();
      const double* edge_rows = nullptr;
      if (geo != nullptr) {
        const int np = triint_padded(nbt);
        for (int i = 0; i < np; ++i) {
          const int e = s.ltarg[1 + std::min(i, nbt - 1)];
          s.telem[i] = e;
          s.tx[i] = mesh.col(e, 1);
          s.ty[i] = mesh.col(e, 2);
          s.tz[i] = mesh.col(e, 3);
        }
        tg.n = nbt;
        tg.elem = s.telem.data();
        tg.x = s.tx.data();
        tg.y = s.ty.data();
        tg.z = s.tz.data();
        double* row = s.rows.data();
        for (int i = geo->node_begin; i < geo->node_end; ++i, row += kChunk) {
          const int node = geo_nodes[i];
          const double pnt[3] = {mesh.x(node, 1), mesh.x(node, 2), mesh.x(node, 3)};
          triint_node_row(tg, pnt, row);
        }
        edge_rows = row;
        for (int i = geo->edge_begin; i < geo->edge_end; ++i, row += kChunk) {
          const int lo = geo_edges[2 * i], hi = geo_edges[2 * i + 1];
          const int a = geo_nodes[geo->node_begin + lo], b = geo_nodes[geo->node_begin + hi];
          const double pa[3] = {mesh.x(a, 1), mesh.x(a, 2), mesh.x(a, 3)};
          const double pb[3] = {mesh.x(b, 1), mesh.x(b, 2), mesh.x(b, 3)};
          triint_edge_row(tg, triint_edge_length(pa, pb), node_rows + lo * kChunk,
                          node_rows + hi * kChunk, row);
        }
      }
      std::int64_t wpre = 0;  // widths of the source cell's elements before pos
      for (int pos = tree.fst(sc); pos <= tree.lst(sc); ++pos) {
        const int e = tree.elord(pos);
        double u[3], t[3];
        element_densities(mesh, e, mode, x, u, t);
        // A source without a velocity density (mode 1, all three velocities
        // prescribed) needs the Stokeslet alone; its folded block, if it is
        // cached, holds -U only.  The traction-kernel terms, zeros, are then
        // left out of the sums, and the Stokeslet is the same bits.
        const bool folds_t = fill && (mesh.traction_prescribed(e, 1) ||
                                      mesh.traction_prescribed(e, 2) ||
                                      mesh.traction_prescribed(e, 3));
        const bool need_t = folds_t || u[0] != 0.0 || u[1] != 0.0 || u[2] != 0.0;
        double normal[3];
        const TriintParts parts = need_t ? TriintParts::All : TriintParts::StokesletOnly;
        if (geo != nullptr) {
          const int* loc = &geo_elems[6 * static_cast<std::size_t>(geo->elem_begin + pos - tree.fst(sc))];
          TriintSourceRows rows;
          for (int j = 0; j < 3; ++j) {
            rows.r[j] = node_rows + loc[j] * kChunk;
            rows.f[j] = edge_rows + loc[3 + j] * kChunk;
          }
          triint_shared(mesh, par.mu, par.snaptol, tg, rows, c, normal, e, parts);
        } else {
          triint_with(TriintMath::Vector, mesh, par.mu, par.snaptol, s.ltarg.data(), c, s.work,
                      normal, e, parts);
        }
        if (need_t)
          for (int i = 0; i < nbt; ++i) add_near_terms(c, i, u, t, yl + 3 * i);
        else
          for (int i = 0; i < nbt; ++i) add_near_terms_stokeslet(c, i, t, yl + 3 * i);
        if (fill) {
          // Folded block of mode 1: entry (r, j) is T(r, j) for a component
          // j with a prescribed traction, else -U(r, j); nine entries with
          // the row r in the order of the additions above (j = ord[r][q]),
          // or the six of a symmetric block.
          const int w = block_width(mesh, e);
          const double* src[9];
          double sgn[9];
          if (w == 9) {
            int ord[3][3];
            term_order(mesh, e, ord);
            for (int r = 0; r < 3; ++r)
              for (int q = 0; q < 3; ++q) {
                const int j = ord[r][q];
                const bool tr = mesh.traction_prescribed(e, j + 1);
                src[3 * r + q] = tr ? c.t[3 * r + j] : c.u[kSym6[r][j]];
                sgn[3 * r + q] = tr ? 1.0 : -1.0;
              }
          } else {
            const bool tr = mesh.traction_prescribed(e, 1);
            static constexpr int kRow[6] = {0, 0, 0, 1, 1, 2}, kCol[6] = {0, 1, 2, 1, 2, 2};
            for (int q = 0; q < 6; ++q) {
              src[q] = tr ? c.t[3 * kRow[q] + kCol[q]] : c.u[q];
              sgn[q] = tr ? 1.0 : -1.0;
            }
          }
          if (single_cache) {
            // Entry q of the blocks of one source for the nt targets of a
            // cell lie together: entry q of target k at q nt + k.
            for (int i = 0; i < nbt; ++i) {
              float* out = cache32.get() + base[i] + step[i] * wpre + kpos[i];
              for (int q = 0; q < w; ++q) out[q * step[i]] = static_cast<float>(sgn[q] * src[q][i]);
            }
          } else {
            for (int i = 0; i < nbt; ++i) {
              double* out = cache.get() + base[i] + step[i] * wpre + kpos[i] * w;
              for (int q = 0; q < w; ++q) out[q] = sgn[q] * src[q][i];
            }
          }
          wpre += w;
        }
      }
      for (int i = 0; i < nbt; ++i) {
        double* yg = y + 3 * static_cast<std::int64_t>(s.ltarg[1 + i] - 1);
        yg[0] = yl[3 * i];
        yg[1] = yl[3 * i + 1];
        yg[2] = yl[3 * i + 2];
      }
    }
  }
}


// True when the nbt targets of ltarg (count first) and every element of
// source cell sc lie in one placed body.
bool FmmEngine::Impl::shared_chunk(int sc, int nbt, const int* ltarg) const {
  const int b = placed->placed_body(ltarg[1]);
  if (b < 0) return false;
  for (int i = 1; i < nbt; ++i)
    if (placed->placed_body(ltarg[1 + i]) != b) return false;
  for (int pos = tree.fst(sc); pos <= tree.lst(sc); ++pos)
    if (placed->placed_body(tree.elord(pos)) != b) return false;
  return true;
}

// The sources of cell sc on the chunk's targets from the template: for each
// source, the template's six entries of every target are gathered (g) and
// turned (o = T_b g, lane by lane over the targets); each target's entries
// of yl receive the terms of the cached path, in its order; and with
// `fill` the blocks go to the cache where the integration would put them
// (the positions s.base, s.step, s.kpos).
void FmmEngine::Impl::shared_sources(int sc, int nbt, const double* x, double* yl,
                                     ThreadScratch& s, bool fill) const {
  const int b = placed->placed_body(s.ltarg[1]);
  const double* T = placed->turn(b);
  int* tloc = s.telem.data();
  for (int i = 0; i < nbt; ++i) tloc[i] = placed->local(s.ltarg[1 + i]);
  double* g = s.rwork.data();
  double* o = g + 6 * kChunk;
  std::int64_t wpre = 0;
  for (int pos = tree.fst(sc); pos <= tree.lst(sc); ++pos) {
    const int e = tree.elord(pos);
    const float* row = placed->source_blocks(b, e);
    for (int i = 0; i < nbt; ++i) {
      const float* src = row + 6 * static_cast<std::size_t>(tloc[i]);
      for (int p = 0; p < 6; ++p) g[p * kChunk + i] = src[p];
    }
    for (int q = 0; q < 6; ++q) {
      const double* t = T + 6 * q;
      double* oq = o + q * kChunk;
#pragma omp simd
      for (int i = 0; i < nbt; ++i)
        oq[i] = static_cast<double>(static_cast<float>(
            t[0] * g[i] + t[1] * g[kChunk + i] + t[2] * g[2 * kChunk + i] +
            t[3] * g[3 * kChunk + i] + t[4] * g[4 * kChunk + i] + t[5] * g[5 * kChunk + i]));
    }
    // The targets' sums in the order of the cached path, from the blocks
    // as the single-precision cache keeps them.
    const CachedTerms c = cached_terms(mesh, e, x);
    for (int r = 0; r < 3; ++r) {
      const double* o0 = o + c.at[r][0] * kChunk;
      const double* o1 = o + c.at[r][1] * kChunk;
      const double* o2 = o + c.at[r][2] * kChunk;
      const double a0 = c.a[r][0], a1 = c.a[r][1], a2 = c.a[r][2];
#pragma omp simd
      for (int i = 0; i < nbt; ++i) {
        double v = yl[3 * i + r];
        v += o0[i] * a0;
        v += o1[i] * a1;
        v += o2[i] * a2;
        yl[3 * i + r] = v;
      }
    }
    if (fill)
      for (int i = 0; i < nbt; ++i) {
        float* out = cache32.get() + s.base[i] + s.step[i] * wpre + s.kpos[i];
        for (int q = 0; q < 6; ++q) out[q * s.step[i]] = static_cast<float>(o[q * kChunk + i]);
      }
    wpre += 6;
    s.shared_pairs += nbt;
  }
}

// The near field of mode 1 from the cache: for each source, in list order,
// and each target, y_i += K'(i,0) x_(ord 0) + K'(i,1) x_(ord 1) + K'(i,2) x_(ord 2)
// added one term at a time, the order of the integration path.
void FmmEngine::Impl::near_cell_cached(const NearCell& nc, const double* blocks, const double* x,
                                       double* y, ThreadScratch& s) const {
  const int nt = nc.tlst - nc.tfst + 1;
  const int* targets = tree.ielord + (nc.tfst - 1);
  double* y0 = s.yloc.data();
  double* y1 = y0 + kChunk;
  double* y2 = y1 + kChunk;
  // Targets in pieces of kChunk, their entries of y held locally while
  // every source is added.
  for (int t0 = 0; t0 < nt; t0 += kChunk) {
    const int nb = std::min(kChunk, nt - t0);
    gather_y(targets + t0, nb, y, y0, y1, y2);
    const double* col = blocks + nc.cache_offset;  // blocks of the current source
    for (int ic = nc.src_begin; ic < nc.src_end; ++ic) {
      const int sc = near_src[ic];
      for (int pos = tree.fst(sc); pos <= tree.lst(sc); ++pos) {
        const CachedTerms c = cached_terms(mesh, tree.elord(pos), x);
        const int w = c.width;
        const double* blk = col + static_cast<std::int64_t>(t0) * w;
        for (int k = 0; k < nb; ++k, blk += w) {
          double v = y0[k];
          v += blk[c.at[0][0]] * c.a[0][0];
          v += blk[c.at[0][1]] * c.a[0][1];
          v += blk[c.at[0][2]] * c.a[0][2];
          y0[k] = v;
          v = y1[k];
          v += blk[c.at[1][0]] * c.a[1][0];
          v += blk[c.at[1][1]] * c.a[1][1];
          v += blk[c.at[1][2]] * c.a[1][2];
          y1[k] = v;
          v = y2[k];
          v += blk[c.at[2][0]] * c.a[2][0];
          v += blk[c.at[2][1]] * c.a[2][1];
          v += blk[c.at[2][2]] * c.a[2][2];
          y2[k] = v;
        }
        col += static_cast<std::int64_t>(nt) * w;
      }
    }
    scatter_y(targets + t0, nb, y0, y1, y2, y);
  }
}

// The same sum from the single-precision cache, whose blocks of one source
// hold each entry for all targets of the cell together (entry q of target k
// at q nt + k): the targets' sums run side by side, each adding its terms
// in the order of the double-precision path.
void FmmEngine::Impl::near_cell_cached32(const NearCell& nc, const float* blocks,
                                         const double* x, double* y, ThreadScratch& s) const {
  const int nt = nc.tlst - nc.tfst + 1;
  const int* targets = tree.ielord + (nc.tfst - 1);
  double* y0 = s.yloc.data();
  double* y1 = y0 + kChunk;
  double* y2 = y1 + kChunk;
  for (int t0 = 0; t0 < nt; t0 += kChunk) {
    const int nb = std::min(kChunk, nt - t0);
    gather_y(targets + t0, nb, y, y0, y1, y2);
    const float* col = blocks + nc.cache_offset;  // blocks of the current source
    for (int ic = nc.src_begin; ic < nc.src_end; ++ic) {
      const int sc = near_src[ic];
      for (int pos = tree.fst(sc); pos <= tree.lst(sc); ++pos) {
        const CachedTerms c = cached_terms(mesh, tree.elord(pos), x);
        const int w = c.width;
        const float* row[3][3];
        for (int r = 0; r < 3; ++r)
          for (int q = 0; q < 3; ++q) row[r][q] = col + static_cast<std::int64_t>(c.at[r][q]) * nt + t0;
        const double(&a)[3][3] = c.a;
        const float *b00 = row[0][0], *b01 = row[0][1], *b02 = row[0][2];
        const float *b10 = row[1][0], *b11 = row[1][1], *b12 = row[1][2];
        const float *b20 = row[2][0], *b21 = row[2][1], *b22 = row[2][2];
        const double a00 = a[0][0], a01 = a[0][1], a02 = a[0][2];
        const double a10 = a[1][0], a11 = a[1][1], a12 = a[1][2];
        const double a20 = a[2][0], a21 = a[2][1], a22 = a[2][2];
#pragma omp simd
        for (int k = 0; k < nb; ++k) {
          double v = y0[k];
          v += static_cast<double>(b00[k]) * a00;
          v += static_cast<double>(b01[k]) * a01;
          v += static_cast<double>(b02[k]) * a02;
          y0[k] = v;
          v = y1[k];
          v += static_cast<double>(b10[k]) * a10;
          v += static_cast<double>(b11[k]) * a11;
          v += static_cast<double>(b12[k]) * a12;
          y1[k] = v;
          v = y2[k];
          v += static_cast<double>(b20[k]) * a20;
          v += static_cast<double>(b21[k]) * a21;
          v += static_cast<double>(b22[k]) * a22;
          y2[k] = v;
        }
        col += static_cast<std::int64_t>(nt) * w;
      }
    }
    scatter_y(targets + t0, nb, y0, y1, y2, y);
  }
}

}  // namespace velmora
