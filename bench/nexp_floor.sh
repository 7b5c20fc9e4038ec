#!/usr/bin/env bash
# Floor of the backward error by expansion order: the backward error GMRES
# reaches after 30, 60 and 90 iterations with a tolerance it cannot meet
# (1e-13), for each nexp, on the cases velmora-mesh's nexp-by-tol rule is set
# from: two unit spheres 3 apart moving towards each other (2 x 1,280 and
# 2 x 5,120 elements) and gmsh-doc's chamfered cube (chamfer.geo, --size 0.1,
# translating with U = (1, 0, 0)).
#
#   bench/nexp_floor.sh [NEXP...]        (default: 6 8 10 12 14 16)
#
# Settings (environment): BUILD (build), FLOOR_DIR (scratch/nexp-floor),
# THREADS (2), GEO (chamfer.geo of gmsh-doc's demos/boolean).  maxl 40, M 30,
# left preconditioning, the other controls as velmora-mesh writes them.
# Prints one line per case and nexp: the three backward errors.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${BUILD:-$ROOT/build}"
DIR="${FLOOR_DIR:-$ROOT/scratch/nexp-floor}"
GEO="${GEO:-/usr/share/doc/gmsh-doc/doc/gmsh/demos/boolean/chamfer.geo}"
export OMP_NUM_THREADS="${THREADS:-2}"
ORDERS=("$@")
[ ${#ORDERS[@]} -gt 0 ] || ORDERS=(6 8 10 12 14 16)
mkdir -p "$DIR"

mesh_case() {  # name, then velmora-mesh arguments
  local name="$1"
  shift
  mkdir -p "$DIR/$name"
  "$BUILD/velmora-mesh" "$@" --dir "$DIR/$name" --new-cnd --quiet
}
mesh_case spheres-r3 spheres --sphere 0,0,0,1 --sphere 3,0,0,1 --refine 3 \
  --body 1 --velocity 1,0,0 --body 2 --velocity -1,0,0
mesh_case spheres-r4 spheres --sphere 0,0,0,1 --sphere 3,0,0,1 --refine 4 \
  --body 1 --velocity 1,0,0 --body 2 --velocity -1,0,0
if [ -f "$GEO" ]; then
  mesh_case chamfer "$GEO" --size 0.1
else
  echo "nexp_floor.sh: $GEO not found (Debian's gmsh-doc); chamfered cube skipped" >&2
fi

printf '%-12s %5s %11s %11s %11s\n' case nexp after_30 after_60 after_90
for name in spheres-r3 spheres-r4 chamfer; do
  [ -f "$DIR/$name/input.dat" ] || continue
  for p in "${ORDERS[@]}"; do
    d="$DIR/$name/nexp$p"
    mkdir -p "$d"
    cp "$DIR/$name/input.dat" "$d/"
    # Read 1: snaptol M - - iprec ncycle tol; read 2: maxdep minlev maxl maxcel nexp ngauss cubfac.
    awk -v p="$p" 'NR == 1 { $2 = 30; $6 = 3; $7 = "1e-13" }
                   NR == 2 { $3 = 40; $5 = p }
                   { print }' "$DIR/$name/input.cnd" > "$d/input.cnd"
    (cd "$d" && "$BUILD/velmora" > console.txt 2>&1) || true
    # History lines: iteration, Arnoldi backward error, true backward error.
    be() { awk -v k="$1" '$1 == k && $2 ~ /E/ { print $2 }' "$d/console.txt" | tail -1; }
    printf '%-12s %5s %11s %11s %11s\n' "$name" "$p" "$(be 30)" "$(be 60)" "$(be 90)"
  done
done
