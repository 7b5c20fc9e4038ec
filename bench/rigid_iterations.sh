#!/usr/bin/env bash
# GMRES iterations of velmora-rigid (second-kind mobility equation) as the
# mesh is refined, for a unit sphere and a 3:1 prolate spheroid (semi-axes
# 1, 1, 3), each under a force and a torque.
#
#   bench/rigid_iterations.sh [CASE...]
#
# A case is sphere:rL (icosahedral refinement L, 20*4^L triangles),
# sphere:fK (geodesic, 20 K^2) or spheroid:rL.  Default: sphere r4 r5 f71
# f224 and spheroid r4 r5 r6 r8 (5,120 / 20,480 / 100,820 / 1,003,520 and
# 5,120 / 20,480 / 81,920 / 1,310,720 triangles).  Prints one line per case:
# triangles, iterations, backward error, wall-clock seconds and peak
# resident memory of the whole run (no traction solve).
#
# Settings (environment): BUILD (build), RIGID_DIR (scratch/rigid-iterations),
# NEXP (10), MAXL (40), RESTART (30), TOL (1e-6), THREADS (2).
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${BUILD:-$ROOT/build}"
DIR="${RIGID_DIR:-$ROOT/scratch/rigid-iterations}"
NEXP="${NEXP:-10}"
MAXL="${MAXL:-40}"
RESTART="${RESTART:-30}"
TOL="${TOL:-1e-6}"
export OMP_NUM_THREADS="${THREADS:-2}"
CASES=("$@")
[ ${#CASES[@]} -gt 0 ] || CASES=(sphere:r4 sphere:r5 sphere:f71 sphere:f224 spheroid:r4 spheroid:r5 spheroid:r6 spheroid:r8)
for exe in velmora-mesh velmora-rigid; do
  [ -x "$BUILD/$exe" ] || { echo "rigid_iterations.sh: $BUILD/$exe is missing" >&2; exit 1; }
done
printf '%-10s %-5s %10s %6s %11s %9s %9s\n' body mesh triangles its backward wall_s peak_MB
for c in "${CASES[@]}"; do
  shape="${c%%:*}" mesh="${c#*:}"
  d="$DIR/$shape-$mesh"
  mkdir -p "$d"
  case "$mesh" in
    r*) res=(--refine "${mesh#r}") ;;
    f*) res=(--frequency "${mesh#f}") ;;
    *) echo "rigid_iterations.sh: bad mesh $mesh" >&2; exit 1 ;;
  esac
  case "$shape" in
    sphere) geo=(sphere) ;;
    spheroid) geo=(spheroid --axes 1,3) ;;
    *) echo "rigid_iterations.sh: bad body $shape" >&2; exit 1 ;;
  esac
  "$BUILD/velmora-mesh" "${geo[@]}" "${res[@]}" --dir "$d" --new-cnd > /dev/null 2>&1
  # Controls: the fitted tree capacity, then this script's settings.
  read -r -a r1 < <(sed -n 1p "$d/input.cnd")
  read -r -a r2 < <(sed -n 2p "$d/input.cnd")
  printf '%s %s 0 0 0 10 %s\n%s %s %s %s %s 7 %s\n' "${r1[0]}" "$RESTART" "$TOL" \
    "${r2[0]}" "${r2[1]}" "$MAXL" "$((r2[3] * 2 + 100))" "$NEXP" "${r2[6]}" > "$d/input.cnd"
  /usr/bin/time -f '%e %M' -o "$d/time.txt" "$BUILD/velmora-rigid" --dir "$d" \
    --force 1,0.5,0.2 --torque 0.3,0,1 --no-traction > "$d/console.txt"
  n=$(sed -n 's/^velmora-rigid: \([0-9]*\) elements.*/\1/p' "$d/console.txt")
  its=$(sed -n 's/^solve 1 (mobility): \([0-9]*\) iterations, backward error \([^ ,]*\).*/\1 \2/p' "$d/console.txt")
  read -r wall peak < "$d/time.txt"
  printf '%-10s %-5s %10s %6s %11s %9s %9s\n' "$shape" "$mesh" "$n" ${its} "$wall" "$((peak / 1024))"
done
