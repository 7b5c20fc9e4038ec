#!/usr/bin/env bash
# Sedimenting suspension of rigid ellipsoids: velmora-rigid's mobility solve
# for COUNT bodies of 980 triangles each (geodesic sphere of frequency 7
# scaled to semi-axes 1, 0.75, 0.5), randomly placed and oriented, each
# under the force (0, 0, -1).
#
#   bench/rigid_suspension.sh [COUNT...]      (default 1000: 980,000 triangles)
#
# Prints per run the triangles, GMRES iterations, backward error, products,
# wall-clock time of the whole run and its peak resident memory.  The
# traction solve is skipped (--no-traction): the figure is the mobility.
# With STEPS=N (default 0: none) a second run per COUNT integrates the
# suspension over N time steps of DT (default 0.5) with --steps --dt (one
# mobility solve per step on the moved mesh, two in the first) and prints
# its wall-clock time per step after the first.
# Settings (environment): BUILD (build), SUSPENSION_DIR
# (scratch/rigid-suspension), THREADS (2), SEED (1), STEPS, DT.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${BUILD:-$ROOT/build}"
DIR="${SUSPENSION_DIR:-$ROOT/scratch/rigid-suspension}"
export OMP_NUM_THREADS="${THREADS:-2}"
COUNTS=("$@")
[ ${#COUNTS[@]} -gt 0 ] || COUNTS=(1000)
for exe in velmora-mesh velmora-rigid; do
  [ -x "$BUILD/$exe" ] || { echo "rigid_suspension.sh: $BUILD/$exe is missing" >&2; exit 1; }
done
mkdir -p "$DIR/template"
"$BUILD/velmora-mesh" sphere --frequency 7 --dir "$DIR/template" --new-cnd > /dev/null 2>&1
printf '%7s %10s %6s %11s %9s %9s %9s\n' bodies triangles its backward setup_s wall_s peak_MB
for n in "${COUNTS[@]}"; do
  d="$DIR/n$n"
  mkdir -p "$d"
  python3 "$ROOT/bench/rigid_suspension.py" "$DIR/template/input.dat" "$d" "$n" "${SEED:-1}"
  /usr/bin/time -f '%e %M' -o "$d/time.txt" "$BUILD/velmora-rigid" --dir "$d" \
    --force 0,0,-1 --no-traction > "$d/console.txt"
  tri=$(sed -n 's/^velmora-rigid: \([0-9]*\) elements.*/\1/p' "$d/console.txt")
  its=$(sed -n 's/^solve 1 (mobility): \([0-9]*\) iterations, backward error \([^ ,]*\).*/\1 \2/p' "$d/console.txt")
  setup=$(sed -n 's/^set-up \([0-9.]*\) s.*/\1/p' "$d/console.txt")
  read -r wall peak < "$d/time.txt"
  printf '%7s %10s %6s %11s %9s %9s %9s\n' "$n" "$tri" ${its} "${setup:--}" "$wall" "$((peak / 1024))"
  if [ "${STEPS:-0}" -gt 0 ]; then
    /usr/bin/time -f '%e %M' -o "$d/time_steps.txt" "$BUILD/velmora-rigid" --dir "$d" \
      --force 0,0,-1 --no-traction --steps "$STEPS" --dt "${DT:-0.5}" > "$d/console_steps.txt" \
      2> "$d/progress_steps.txt"
    read -r swall speak < "$d/time_steps.txt"
    # The progress line of step k gives the time elapsed since the stepping
    # began (after the first mobility solve), in s or min.
    secs=$(sed -n 's/^velmora-rigid: step \([0-9]*\) of [0-9]*, time [^:]*: elapsed \([0-9.]*\) \(s\|min\).*/\1 \2 \3/p' \
      "$d/progress_steps.txt" | awk '{ t = ($3 == "min") ? 60 * $2 : $2; printf "%s:%.0f ", $1, t - last; last = t }')
    echo "  $STEPS steps of dt ${DT:-0.5}: wall ${swall} s, peak $((speak / 1024)) MB;" \
      "seconds per step (step 1 takes two solves): ${secs:-?}"
  fi
done
