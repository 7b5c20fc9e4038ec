#!/usr/bin/env bash
# Accuracy of velmora-field on a sphere of radius 1 in fluid of viscosity 1:
# for each refinement L (20 * 4^L triangles) the sphere translating with
# U = (1, 0, 0) and rotating with Omega = (0, 0, 1) is meshed, solved by
# velmora and evaluated at 200 directions on each radius r = 1.01 .. 10;
# prints the largest velocity and pressure errors against the exact flows
#   translation: u = (3a/4)(U/r + (U.x)x/r^3) + (a^3/4)(U/r^3 - 3(U.x)x/r^5),
#                p = (3 mu a/2)(U.x)/r^3
#   rotation:    u = Omega x x a^3/r^3, p = 0.
#
#   bench/field_accuracy.sh [L ...]          (default 2 3 4)
# Settings (environment): BUILD (build), NEXP (expansion order of the solve
# and of the evaluation; default: that of velmora-mesh's input.cnd, 8),
# ACC_DIR (scratch/field-accuracy).
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${BUILD:-$ROOT/build}"
DIR="${ACC_DIR:-$ROOT/scratch/field-accuracy}"
LEVELS=("${@:-2 3 4}")
[ $# -eq 0 ] && LEVELS=(2 3 4)
mkdir -p "$DIR"
python3 - "$DIR/points.txt" <<'PY'
import math, sys
radii = [1.01, 1.05, 1.2, 1.5, 2.0, 5.0, 10.0]
n = 200
with open(sys.argv[1], "w") as f:
    for r in radii:
        for k in range(n):
            z = 1 - (2 * k + 1) / n; s = math.sqrt(1 - z * z); phi = 2.399963229728653 * k
            f.write("%.17g %.17g %.17g\n" % (r * s * math.cos(phi), r * s * math.sin(phi), r * z))
PY
for L in "${LEVELS[@]}"; do
  for motion in translate rotate; do
    run="$DIR/r$L-$motion"
    rm -rf "$run" && mkdir -p "$run"
    if [ "$motion" = translate ]; then cond=(--velocity 1,0,0); else cond=(--rotation 0,0,1 --about 0,0,0); fi
    "$BUILD/velmora-mesh" sphere --refine "$L" "${cond[@]}" --dir "$run" > /dev/null
    if [ -n "${NEXP:-}" ]; then
      sed -i "2s/^\( *[0-9]* [0-9]* [0-9]* [0-9]*\) [0-9]* /\1 $NEXP /" "$run/input.cnd"
    fi
    (cd "$run" && "$BUILD/velmora" > console.txt)
    "$BUILD/velmora-field" --points "$DIR/points.txt" --dir "$run" > /dev/null
    python3 - "$run/field.csv" "$motion" "$((20 * 4 ** L))" <<'PY'
import csv, math, sys
from collections import defaultdict
path, motion, nelem = sys.argv[1], sys.argv[2], sys.argv[3]
err = defaultdict(lambda: [0.0, 0.0])
flagged = 0
for row in csv.DictReader(open(path)):
    x = [float(row[c]) for c in "xyz"]; r = math.sqrt(sum(c * c for c in x))
    if int(row["inside"]): flagged += 1; continue
    if motion == "translate":
        ue = [0.75 * ((i == 0) / r + x[0] * x[i] / r**3) + 0.25 * ((i == 0) / r**3 - 3 * x[0] * x[i] / r**5) for i in range(3)]
        pe = 1.5 * x[0] / r**3
    else:
        ue = [-x[1] / r**3, x[0] / r**3, 0.0]; pe = 0.0
    u = [float(row[c]) for c in "uvw"]
    k = round(r, 2)
    err[k][0] = max(err[k][0], max(abs(u[i] - ue[i]) for i in range(3)))
    err[k][1] = max(err[k][1], abs(float(row["p"]) - pe))
print("%-9s %6s elements:  r/a " % (motion, nelem) + " ".join("%9.2f" % k for k in sorted(err)) + ("   (%d flagged)" % flagged if flagged else ""))
print("%-9s %6s           max|du| " % ("", "") + " ".join("%9.2e" % err[k][0] for k in sorted(err)))
print("%-9s %6s           max|dp| " % ("", "") + " ".join("%9.2e" % err[k][1] for k in sorted(err)))
PY
  done
done
