// Gauss rules on the triangle in area coordinates.
//
// gpt is 3 x ngauss (column g holds xi1, xi2, xi3 of point g), gwt holds the
// ngauss weights; the weights sum to 1, so an integral over an element is
// its area times sum_g gwt(g) f(y_g), y_g = xi1 x1 + xi2 x2 + xi3 x3.  The
// 3-point rule is exact for degree 2, the 7-point rule for degree 5 and the
// 16-point rule for degree 8.  The stored values are the decimal numbers of
// the published tables, used as written.
#pragma once

namespace velmora {

// Fills gpt (room for 48) and gwt (room for 16) with the rule of ngauss
// points and returns true, or returns false when ngauss is not 3, 7 or 16.
bool gauss_rule(int ngauss, double* gpt, double* gwt);

}  // namespace velmora
