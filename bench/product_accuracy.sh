#!/usr/bin/env bash
# Error of the fast product against the dense product (every pair through
# the exact integrals), with the fast path's trades and without them.
#
#   bench/product_accuracy.sh [NEXP...]        (default 8 12 15 16)
#
# Two bodies of 20,480 triangles: the unit sphere and the ellipsoid with
# semi-axes 2, 1, 0.8, each with mixed boundary codes (element e: velocity
# prescribed on all three components when e mod 3 = 1, traction on all
# three when e mod 3 = 0, and velocity, traction, velocity when e mod 3 = 2;
# so symmetric and full near-field blocks both occur).  For every nexp it
# runs build/bench/speed_bench --dense --compare-exact and prints the
# relative error (max norm over the entries, relative to the largest entry
# of the dense product) of
#   mode 0: the first product (right-hand side; near field integrated),
#   mode 1: a later product (near field from the cache),
# for the default path (VELMORA_EXACT unset) and the exact path.  The dense
# products are computed once per body and kept in $ACC_DIR (default
# scratch/accuracy).  Settings: BUILD (build), ACC_DIR, MAXL (60), NGAUSS (7).
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${BUILD:-$ROOT/build}"
ACC_DIR="${ACC_DIR:-$ROOT/scratch/accuracy}"
MAXL="${MAXL:-60}"
NGAUSS="${NGAUSS:-7}"
NEXPS=("$@")
[ ${#NEXPS[@]} -gt 0 ] || NEXPS=(8 12 15 16)
for exe in velmora-mesh bench/speed_bench; do
  [ -x "$BUILD/$exe" ] || { echo "product_accuracy.sh: $BUILD/$exe is missing; build first" >&2; exit 1; }
done
mkdir -p "$ACC_DIR"

# body NAME SHAPE-ARGS...: the mesh with mixed codes in $ACC_DIR/NAME.
body() {
  local name="$1"; shift
  local dir="$ACC_DIR/$name"
  mkdir -p "$dir"
  if [ ! -f "$dir/input.dat" ]; then
    "$BUILD/velmora-mesh" "$@" --refine 5 --velocity 1,0,0 --dir "$dir" --new-cnd --quiet
    awk 'NF == 10 && $1 ~ /^[0-9]+$/ {
           e = $1 % 3
           if (e == 0)      { $5 = 2; $6 = 2; $7 = 2; $8 = 0.3; $9 = -0.2; $10 = 0.1 }
           else if (e == 2) { $6 = 2; $9 = 0.25 }
         } { print }' "$dir/input.dat" > "$dir/input.tmp" && mv "$dir/input.tmp" "$dir/input.dat"
  fi
}
body sphere sphere
body ellipsoid ellipsoid --axes 2,1,0.8

echo "Relative error (max norm) of the product against the dense product, 20,480 triangles,"
echo "mixed codes, maxl $MAXL, ngauss $NGAUSS; mode 0 integrated, mode 1 from the near-field cache"
printf '%-10s %4s | %10s %10s %6s | %10s %10s %6s\n' body nexp "m0 exact" "m0 fast" ratio "m1 exact" "m1 fast" ratio
for name in sphere ellipsoid; do
  dir="$ACC_DIR/$name"
  for nexp in "${NEXPS[@]}"; do
    nelem=$(awk 'NR == 3 { print $1 }' "$dir/input.dat")
    cat > "$dir/input.cnd" <<EOC
 1e-08 30 0 0 1 10 1e-06   snaptol, M, (unused), (unused), iprec, ncycle, tol
 20 2 $MAXL $((nelem / 10 + 1000)) $nexp $NGAUSS 1.01   maxdep, minlev, maxl, maxcel, nexp, ngauss, cubfac
EOC
    out="$dir/accuracy-$nexp.txt"
    env -u VELMORA_EXACT "$BUILD/bench/speed_bench" "$dir" --products 0 --dense --compare-exact \
      --dense-file "$dir/dense" > "$out"
    v() { awk -v k="$1" '$1 == k { print $2 }' "$out"; }
    awk -v b="$name" -v n="$nexp" -v a="$(v dense_error_mode0_exact)" -v f="$(v dense_error_mode0)" \
      -v c="$(v dense_error_mode1_exact)" -v g="$(v dense_error_mode1)" \
      'BEGIN { printf "%-10s %4d | %10.3e %10.3e %6.3f | %10.3e %10.3e %6.3f\n", b, n, a, f, f / a, c, g, g / c }'
  done
done
