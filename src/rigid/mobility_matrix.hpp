// Grand mobility and resistance matrices of rigid bodies: inversion and the
// change of the reference point of one body.
//
// Conventions: generalised loads (F, T) with T about the body's reference
// point, generalised motions (V, Omega) with V the velocity of that point;
// for B bodies the vectors are (F1, T1, F2, T2, ...) and (V1, Omega1, ...),
// and the mobility matrix M maps loads to motions, M = R^-1.  Blocks of one
// body: V = Mtt F + Mtr T, Omega = Mrt F + Mrr T.
//
// Moving the reference point from c to c + d: the torque about c is
// T_c = T' + d x F, the velocity of c + d is V' = V + Omega x d = V - D Omega,
// with D the matrix of d x (D F = d x F, D^T = -D).  With J = [[I, 0], [D, I]]
// the loads transform as (F, T_c) = J (F, T') and the motions as
// (V', Omega) = J^T (V, Omega), so M' = J^T M J and R' = J^-1 R J^-T; the
// coupling block becomes Mrt' = Mrt + Mrr D.
//
// The centre of mobility is the point where Mrt' is symmetric: three linear
// equations, the axial vector of Mrt + Mrr D set to zero, for the three
// components of d.
#pragma once

#include <vector>

namespace velmora {

// Inverse of the n x n row-major matrix a; false when singular.
bool invert_matrix(int n, const std::vector<double>& a, std::vector<double>& inv);

// M' = J^T M J for one body (6 x 6, row-major), reference moved by d.
std::vector<double> shift_mobility(const std::vector<double>& m, const double d[3]);

// Offset d from the reference point to the centre of mobility of a 6 x 6
// mobility matrix; false when the system is singular.
bool centre_of_mobility(const std::vector<double>& m, double d[3]);

}  // namespace velmora
