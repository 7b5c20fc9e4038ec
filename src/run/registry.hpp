// The 88 registered variables of the run and their registration numbers.
//
// Every scalar and array the run needs after start-up lives in the storage
// block; registration number k is the variable's index in the table ia, so
// code reaches a variable with a.var<T>(kVarXxx).  The numbers below are the
// registration order; register_variables performs the 88 registrations in
// that order from the sizes of the run.
#pragma once

#include <cstdint>

#include "bem/mesh.hpp"
#include "common/storage.hpp"
#include "fmm/dnwrd.hpp"
#include "fmm/passes.hpp"
#include "fmm/tree.hpp"
#include "solver/precon.hpp"

namespace velmora {

// Scalars (one item each).
inline constexpr int kVarNelem = 1;    // int
inline constexpr int kVarNnode = 2;    // int
inline constexpr int kVarMu = 3;       // real
inline constexpr int kVarZero = 4;     // real, set to 0, not used afterwards
inline constexpr int kVarSnaptol = 5;  // real
inline constexpr int kVarM = 6;        // int, GMRES restart length
inline constexpr int kVarUnused1 = 7;  // int, third item of the first input.cnd read
inline constexpr int kVarUnused2 = 8;  // int, fourth item of the first input.cnd read
inline constexpr int kVarIprec = 9;    // int
inline constexpr int kVarNcycle = 10;  // int
inline constexpr int kVarLwork = 11;   // int
inline constexpr int kVarTol = 12;     // real
inline constexpr int kVarMaxdep = 13;  // int
inline constexpr int kVarMinlev = 14;  // int
inline constexpr int kVarMaxl = 15;    // int
inline constexpr int kVarMaxcel = 16;  // int
inline constexpr int kVarNexp = 17;    // int
inline constexpr int kVarNgauss = 18;  // int
inline constexpr int kVarCubfac = 19;  // real

// Model (nelem x 3 int, nelem x 6, nnode x 3, nelem x 3 real) and Gauss rule.
inline constexpr int kVarIelem = 20;
inline constexpr int kVarBc = 21;
inline constexpr int kVarXnode = 22;
inline constexpr int kVarXcol = 23;
inline constexpr int kVarGwt = 24;  // 16 reals
inline constexpr int kVarGpt = 25;  // 3 x 16 reals

// Near field: target list (nelem + 1 ints) and the fifteen coefficient
// arrays (nelem reals each): ucoef(1..6) at kVarUcoef + i - 1, tcoef(1..9)
// at kVarTcoef + i - 1.
inline constexpr int kVarLtarg = 26;
inline constexpr int kVarUcoef = 27;
inline constexpr int kVarTcoef = 33;

// GMRES work array (LWORK reals).
inline constexpr int kVarWork = 42;

// Tree.
inline constexpr int kVarNlev = 43;    // int
inline constexpr int kVarIelord = 44;  // nelem ints
inline constexpr int kVarIelfst = 45;  // maxcel ints
inline constexpr int kVarIellst = 46;  // maxcel ints
inline constexpr int kVarIccode = 47;  // 0..maxcel ints, entry 0 = ncell
inline constexpr int kVarIparnt = 48;  // maxcel ints
inline constexpr int kVarIchild = 49;  // 8 x maxcel ints
inline constexpr int kVarLevfst = 50;  // 0..maxdep ints
inline constexpr int kVarLevlst = 51;  // 0..maxdep ints
inline constexpr int kVarCelcen = 52;  // 3 x maxcel reals
inline constexpr int kVarCelsiz = 53;  // 0..maxdep reals
inline constexpr int kVarIoct = 54;    // nelem ints, tree work
inline constexpr int kVarIperm = 55;   // nelem ints, tree work

// Block preconditioner: 3 maxl ints, one 3 maxl x 3 maxl block, 3 maxl reals.
inline constexpr int kVarPrecIwork = 56;
inline constexpr int kVarPrecBlock = 57;
inline constexpr int kVarPrecWork = 58;

// Expansions (complex): moments and locals 4 x (-p..p) x (0..p) x maxcel,
// then the scratch of the passes.
inline constexpr int kVarCmom = 59;
inline constexpr int kVarCloc = 60;
inline constexpr int kVarHarm = 61;      // (2p + 3)(p + 2)
inline constexpr int kVarHarmGrad = 62;  // 3 (2p + 1)(p + 1)
inline constexpr int kVarIrreg = 63;     // (4p + 1)(2p + 2)

// Solution vectors (ndof reals each); kVarB holds b until the solve starts
// and the tractions afterwards.
inline constexpr int kVarUvec = 64;
inline constexpr int kVarB = 65;
inline constexpr int kVarTvec = 65;

// Downward pass: source list (nelem + 1 ints), two int work arrays
// (kVarDnIwork + i - 1, i = 1..2, nelem each), eighteen real work arrays
// (kVarDnWork + i - 1, i = 1..18, nelem each), one cell's moments and one
// cell's local expansion (complex, (8p + 4)(p + 1) each).
inline constexpr int kVarLsrc = 66;
inline constexpr int kVarDnIwork = 67;
inline constexpr int kVarDnWork = 69;
inline constexpr int kVarCellMom = 87;
inline constexpr int kVarCellLoc = 88;

inline constexpr int kNumVars = 88;

// The sizes every registration count is formed from.
struct RunSizes {
  int nelem = 0;
  int nnode = 0;
  int lwork = 0;
  int maxl = 0;
  int maxcel = 0;
  int maxdep = 0;
  int nexp = 0;
};

// Performs the 88 REGVAR calls in registration order.  Item counts are
// formed in 64-bit integers (and capped far beyond any memory, so that an
// absurd size gives an allocation failure rather than an overflow).
void register_variables(Block& a, const RunSizes& s);

// Size of the block in megabytes as reported: units registered * 16 / 1e6
// in double precision.
double block_megabytes(const Block& a);

// The scalars of the run, as read from the input files and derived.
struct RunScalars {
  int nelem = 0, nnode = 0;
  double mu = 0.0;
  double snaptol = 0.0;
  int m = 0, unused1 = 0, unused2 = 0, iprec = 0, ncycle = 0, lwork = 0;
  double tol = 0.0;
  int maxdep = 0, minlev = 0, maxl = 0, maxcel = 0, nexp = 0, ngauss = 0;
  double cubfac = 0.0;
};

// Stores the nineteen scalars into registrations 1..19 (4 receives 0).
void store_scalars(Block& a, const RunScalars& s);

// Reads them back.
RunScalars load_scalars(const Block& a);

// Views of the registered arrays, as the routines of the solve take them.
// The block must be allocated and the scalars stored.
MeshView mesh_in_block(const Block& a);
Tree tree_in_block(const Block& a);
NearField near_field_in_block(const Block& a);
FmmScratch fmm_scratch_in_block(const Block& a);
// The preconditioner's state: mesh, tree and its own working storage
// (registrations 56-58), with the near-field target list and integration
// arrays of the downward pass, which are free between products.
PreconData precon_data_in_block(const Block& a);

}  // namespace velmora
