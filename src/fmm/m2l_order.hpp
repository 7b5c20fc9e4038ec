// Order of a multipole-to-local translation chosen by the length of its
// offset.
//
// Conventions.  Offsets are measured in cell sides of their level: a
// translation between two cells of side h whose centres are D apart has
// d = D / h; the interaction lists hold the offsets with max(|i|,|j|,|k|) of
// 2 or 3 (integer offsets, so 2 <= d <= sqrt 27).
//
// Model.  The contribution of the degrees above q to a translation decays
// like (a / D)^(q+1), where a is the effective radius of the two cells'
// contents (for the elements of a surface measured at about one cell side:
// the errors of the full operator fall by about 2 per degree, which is
// (h / 2h)).  The shortest offsets (d = 2) set the error of a product at
// order p; a longer offset d reaches the same error at a lower order q:
//     (alpha / d)^(q+1) <= f (alpha / 2)^(p+1),   alpha = a / h,
//     q + 1 = ceil( ((p+1) ln(2 / alpha) - ln f) / ln(d / alpha) ),
// where the factor f < 1 keeps each longer offset's truncation below the
// shortest offsets' by that much, so the error of the product grows by a
// fraction of f at most.  The translation's cost is O(q^3): at p = 15 the
// mean of (q+1)^3 / (p+1)^3 is 0.54 over the 189 offsets of an interior
// cell and 0.58 over the lists of sphere meshes (measured).
#pragma once

namespace velmora {

// Parameters of the model (documented above).
struct M2LOrderModel {
  double alpha = 1.0;   // effective radius of a cell's contents, in sides
  double factor = 0.1;  // the longer offsets' truncation relative to the shortest
};

// Order q <= p of a translation over an offset of d cell sides (d >= 2;
// shorter offsets get p).
int m2l_order_for_distance(int p, double d, const M2LOrderModel& model = {});

}  // namespace velmora
