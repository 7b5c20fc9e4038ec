#include "run/registry.hpp"

#include <cstdint>

namespace velmora {
namespace {

constexpr int kInt = 4;
constexpr int kReal = 8;
constexpr int kComplex = 16;

// Products of item counts, capped at 2^53: no block of that many items can
// be allocated, and the cap keeps the unit total of all 88 registrations
// (at most 88 * 2^53) inside 64-bit integers.
constexpr std::int64_t kCap = std::int64_t{1} << 53;

std::int64_t times(std::int64_t a, std::int64_t b) {
  std::int64_t r = 0;
  if (__builtin_mul_overflow(a, b, &r) || r > kCap) return kCap;
  return r;
}

}  // namespace

void register_variables(Block& a, const RunSizes& s) {
  const std::int64_t nelem = s.nelem, nnode = s.nnode, maxl = s.maxl, maxcel = s.maxcel;
  const std::int64_t p = s.nexp, ndof = times(3, nelem);
  // One cell's four expansions: 4 (2p + 1)(p + 1) = (8p + 4)(p + 1).
  const std::int64_t expan = times(8 * p + 4, p + 1);

  // 1..19: the scalars.
  a.regvar(kInt, 1);   // nelem
  a.regvar(kInt, 1);   // nnode
  a.regvar(kReal, 1);  // mu
  a.regvar(kReal, 1);  // unused real, set to 0
  a.regvar(kReal, 1);  // snaptol
  a.regvar(kInt, 1);   // M
  a.regvar(kInt, 1);   // unused integer
  a.regvar(kInt, 1);   // unused integer
  a.regvar(kInt, 1);   // iprec
  a.regvar(kInt, 1);   // ncycle
  a.regvar(kInt, 1);   // LWORK
  a.regvar(kReal, 1);  // tol
  a.regvar(kInt, 1);   // maxdep
  a.regvar(kInt, 1);   // minlev
  a.regvar(kInt, 1);   // maxl
  a.regvar(kInt, 1);   // maxcel
  a.regvar(kInt, 1);   // nexp
  a.regvar(kInt, 1);   // ngauss
  a.regvar(kReal, 1);  // cubfac
  // 20..25: model and Gauss rule.
  a.regvar(kInt, times(3, nelem));   // ielem
  a.regvar(kReal, times(6, nelem));  // bc
  a.regvar(kReal, times(3, nnode));  // xnode
  a.regvar(kReal, times(3, nelem));  // xcol
  a.regvar(kReal, 16);               // gwt
  a.regvar(kReal, 48);               // gpt
  // 26..41: near-field target list and the fifteen coefficient arrays.
  a.regvar(kInt, nelem + 1);  // ltarg
  for (int i = 0; i < 15; ++i) a.regvar(kReal, nelem);
  // 42: GMRES work array.
  a.regvar(kReal, s.lwork);
  // 43..55: tree.
  a.regvar(kInt, 1);                  // nlev
  a.regvar(kInt, nelem);              // ielord
  a.regvar(kInt, maxcel);             // ielfst
  a.regvar(kInt, maxcel);             // iellst
  a.regvar(kInt, maxcel + 1);         // iccode(0..maxcel)
  a.regvar(kInt, maxcel);             // iparnt
  a.regvar(kInt, times(8, maxcel));   // ichild
  a.regvar(kInt, s.maxdep + 1);       // levfst
  a.regvar(kInt, s.maxdep + 1);       // levlst
  a.regvar(kReal, times(3, maxcel));  // celcen
  a.regvar(kReal, s.maxdep + 1);      // celsiz
  a.regvar(kInt, nelem);              // ioct
  a.regvar(kInt, nelem);              // iperm
  // 56..58: block preconditioner.
  a.regvar(kInt, times(3, maxl));
  a.regvar(kReal, times(times(9, maxl), maxl));
  a.regvar(kReal, times(3, maxl));
  // 59..63: expansions and harmonics scratch.
  a.regvar(kComplex, times(expan, maxcel));  // cmom
  a.regvar(kComplex, times(expan, maxcel));  // cloc
  a.regvar(kComplex, times(2 * p + 3, p + 2));
  a.regvar(kComplex, times(3, times(2 * p + 1, p + 1)));
  a.regvar(kComplex, times(4 * p + 1, 2 * p + 2));
  // 64..65: solution vectors.
  a.regvar(kReal, ndof);  // uvec
  a.regvar(kReal, ndof);  // b, later tvec
  // 66..88: downward pass.
  a.regvar(kInt, nelem + 1);  // lsrc
  for (int i = 0; i < 2; ++i) a.regvar(kInt, nelem);
  for (int i = 0; i < 18; ++i) a.regvar(kReal, nelem);
  a.regvar(kComplex, expan);
  a.regvar(kComplex, expan);
}

double block_megabytes(const Block& a) {
  return static_cast<double>(a.units_registered()) * 16.0 / 1000000.0;
}

void store_scalars(Block& a, const RunScalars& s) {
  *a.var<int>(kVarNelem) = s.nelem;
  *a.var<int>(kVarNnode) = s.nnode;
  *a.var<double>(kVarMu) = s.mu;
  *a.var<double>(kVarZero) = 0.0;
  *a.var<double>(kVarSnaptol) = s.snaptol;
  *a.var<int>(kVarM) = s.m;
  *a.var<int>(kVarUnused1) = s.unused1;
  *a.var<int>(kVarUnused2) = s.unused2;
  *a.var<int>(kVarIprec) = s.iprec;
  *a.var<int>(kVarNcycle) = s.ncycle;
  *a.var<int>(kVarLwork) = s.lwork;
  *a.var<double>(kVarTol) = s.tol;
  *a.var<int>(kVarMaxdep) = s.maxdep;
  *a.var<int>(kVarMinlev) = s.minlev;
  *a.var<int>(kVarMaxl) = s.maxl;
  *a.var<int>(kVarMaxcel) = s.maxcel;
  *a.var<int>(kVarNexp) = s.nexp;
  *a.var<int>(kVarNgauss) = s.ngauss;
  *a.var<double>(kVarCubfac) = s.cubfac;
}

RunScalars load_scalars(const Block& a) {
  RunScalars s;
  s.nelem = *a.var<int>(kVarNelem);
  s.nnode = *a.var<int>(kVarNnode);
  s.mu = *a.var<double>(kVarMu);
  s.snaptol = *a.var<double>(kVarSnaptol);
  s.m = *a.var<int>(kVarM);
  s.unused1 = *a.var<int>(kVarUnused1);
  s.unused2 = *a.var<int>(kVarUnused2);
  s.iprec = *a.var<int>(kVarIprec);
  s.ncycle = *a.var<int>(kVarNcycle);
  s.lwork = *a.var<int>(kVarLwork);
  s.tol = *a.var<double>(kVarTol);
  s.maxdep = *a.var<int>(kVarMaxdep);
  s.minlev = *a.var<int>(kVarMinlev);
  s.maxl = *a.var<int>(kVarMaxl);
  s.maxcel = *a.var<int>(kVarMaxcel);
  s.nexp = *a.var<int>(kVarNexp);
  s.ngauss = *a.var<int>(kVarNgauss);
  s.cubfac = *a.var<double>(kVarCubfac);
  return s;
}

MeshView mesh_in_block(const Block& a) {
  return MeshView{*a.var<int>(kVarNelem),   *a.var<int>(kVarNnode),   a.var<int>(kVarIelem),
                  a.var<double>(kVarXnode), a.var<double>(kVarXcol), a.var<double>(kVarBc)};
}

Tree tree_in_block(const Block& a) {
  Tree t;
  t.maxcel = *a.var<int>(kVarMaxcel);
  t.maxdep = *a.var<int>(kVarMaxdep);
  t.nlev = a.var<int>(kVarNlev);
  t.iccode = a.var<int>(kVarIccode);
  t.ielord = a.var<int>(kVarIelord);
  t.ielfst = a.var<int>(kVarIelfst);
  t.iellst = a.var<int>(kVarIellst);
  t.iparnt = a.var<int>(kVarIparnt);
  t.ichild = a.var<int>(kVarIchild);
  t.levfst = a.var<int>(kVarLevfst);
  t.levlst = a.var<int>(kVarLevlst);
  t.celcen = a.var<double>(kVarCelcen);
  t.celsiz = a.var<double>(kVarCelsiz);
  return t;
}

NearField near_field_in_block(const Block& a) {
  NearField f;
  f.ltarg = a.var<int>(kVarLtarg);
  f.lsrc = a.var<int>(kVarLsrc);
  for (int i = 0; i < 6; ++i) f.coef.u[i] = a.var<double>(kVarUcoef + i);
  for (int i = 0; i < 9; ++i) f.coef.t[i] = a.var<double>(kVarTcoef + i);
  f.work.flag = a.var<int>(kVarDnIwork);
  f.work.s = a.var<int>(kVarDnIwork + 1);
  f.work.h = a.var<double>(kVarDnWork);
  f.work.sigma = a.var<double>(kVarDnWork + 1);
  for (int i = 0; i < 6; ++i) f.work.hint[i] = a.var<double>(kVarDnWork + 2 + i);
  for (int i = 0; i < 10; ++i) f.work.tint[i] = a.var<double>(kVarDnWork + 8 + i);
  return f;
}

FmmScratch fmm_scratch_in_block(const Block& a) {
  FmmScratch s;
  s.rtab = a.var<Complex>(kVarHarm);
  s.gtab = a.var<Complex>(kVarHarmGrad);
  s.stab = a.var<Complex>(kVarIrreg);
  s.mom1 = a.var<Complex>(kVarCellMom);
  s.loc1 = a.var<Complex>(kVarCellLoc);
  return s;
}

PreconData precon_data_in_block(const Block& a) {
  PreconData d;
  d.mesh = mesh_in_block(a);
  d.mu = *a.var<double>(kVarMu);
  d.snaptol = *a.var<double>(kVarSnaptol);
  d.maxl = *a.var<int>(kVarMaxl);
  d.minlev = *a.var<int>(kVarMinlev);
  d.tree = tree_in_block(a);
  d.ipvt = a.var<int>(kVarPrecIwork);
  d.block = a.var<double>(kVarPrecBlock);
  d.rhs = a.var<double>(kVarPrecWork);
  const NearField f = near_field_in_block(a);
  d.ltarg = f.ltarg;
  d.coef = f.coef;
  d.work = f.work;
  return d;
}

}  // namespace velmora
