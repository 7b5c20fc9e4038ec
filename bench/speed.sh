#!/usr/bin/env bash
# Speed of the multipole product and of the whole solve on sphere meshes.
#
#   bench/speed.sh [MESHES...]
#
# Each mesh is rL, the icosahedral refinement L (20 * 4^L triangles; a bare
# number means the same), or fK, the geodesic sphere of frequency K (20 K^2
# triangles), optionally followed by :N for a maxl of N on that mesh.  The
# default, r5 f71 f224:30, gives 20,480, 100,820 and 1,003,520 triangles (the
# last with maxl 30: its near-field blocks do not fit the cache, and smaller
# leaves then pay).  For each it writes a translating unit sphere
# (velocity prescribed, U = (1, 0, 0), mu = 1) with build/velmora-mesh into
# $SPEED_DIR/sphere-MESH (default scratch/speed), sets the control values
# below in input.cnd, and then
#   1. runs bench/speed_bench on it: the first product of mode 1 (near field
#      integrated, caches filled), further products (near field from the
#      cache when it is kept), the preconditioner, the plain path's product
#      (UPWRD + DNWRD on one thread, sizes up to $REFERENCE_MAX triangles)
#      and the product with 1 and with $THREADS threads;
#   2. runs build/velmora there (the whole solve, sizes up to $SOLVE_MAX
#      triangles) under /usr/bin/time for its wall-clock time and peak
#      resident memory, and reads the GMRES iterations from output.log;
# and prints one table.  All times are wall-clock seconds on $THREADS
# threads unless marked; "cpu" columns are processor seconds of all threads.
#
# Settings (environment): BUILD (build), SPEED_DIR (scratch/speed), NEXP
# (15), MAXL (60), RESTART (60, the GMRES restart length M), NGAUSS (7),
# THREADS (2), PRODUCTS (3), REFERENCE_MAX (110000), SOLVE_MAX (1100000),
# WARM_GB (0).
#
# Fresh memory on a virtual machine.  A virtual machine's memory may be
# backed by the host only when the guest first touches it, at 0.2 to 0.5 GB/s
# (measured on the project's 2-core machines, against 4 to 6 GB/s for memory
# touched before), and the host apparently takes freed memory back; a run
# then pays 2 to 5 s per GB of cache it fills, in its first product.
# WARM_GB=N touches N GB once before the runs (dd from /dev/zero), which
# helps as long as the host leaves that memory in place.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${BUILD:-$ROOT/build}"
SPEED_DIR="${SPEED_DIR:-$ROOT/scratch/speed}"
NEXP="${NEXP:-15}"
MAXL="${MAXL:-60}"
RESTART="${RESTART:-60}"
NGAUSS="${NGAUSS:-7}"
THREADS="${THREADS:-2}"
PRODUCTS="${PRODUCTS:-3}"
REFERENCE_MAX="${REFERENCE_MAX:-110000}"
SOLVE_MAX="${SOLVE_MAX:-1100000}"
WARM_GB="${WARM_GB:-0}"
LEVELS=("$@")
[ ${#LEVELS[@]} -gt 0 ] || LEVELS=(r5 f71 f224:30)

BUILD="$(cd "$BUILD" 2> /dev/null && pwd)" || { echo "speed.sh: no build folder" >&2; exit 1; }
for exe in velmora velmora-mesh bench/speed_bench; do
  if [ ! -x "$BUILD/$exe" ]; then
    echo "speed.sh: $BUILD/$exe is missing; build first (cmake --build $BUILD)" >&2
    exit 1
  fi
done
if [ ! -x /usr/bin/time ]; then
  echo "speed.sh: /usr/bin/time (package time) is needed for the peak memory" >&2
  exit 1
fi
mkdir -p "$SPEED_DIR"
SPEED_DIR="$(cd "$SPEED_DIR" && pwd)"

# value KEY FILE: the value of "KEY value" in a speed_bench output.
value() { awk -v k="$1" '$1 == k { print $2 }' "$2"; }

cpu_model="$(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo)"
echo "CPU: $cpu_model, $(nproc) processors; threads $THREADS; nexp $NEXP, default maxl $MAXL, ngauss $NGAUSS, restart $RESTART"
if [ "$WARM_GB" -gt 0 ]; then
  echo "Touching $WARM_GB GB of memory once (WARM_GB)" >&2
  dd if=/dev/zero of=/dev/null bs="${WARM_GB}G" count=1 iflag=fullblock 2> /dev/null
fi
echo "Load average at start: $(cut -d' ' -f1-3 /proc/loadavg)"

rows=()
for item in "${LEVELS[@]}"; do
  L="${item%%:*}"
  maxl="$MAXL"
  [ "$item" = "$L" ] || maxl="${item#*:}"
  case "$L" in
    r[0-9]*) resolution=(--refine "${L#r}") ;;
    f[0-9]*) resolution=(--frequency "${L#f}") ;;
    [0-9]*) resolution=(--refine "$L") ;;
    *) echo "speed.sh: mesh $L is neither rL nor fK" >&2; exit 1 ;;
  esac
  dir="$SPEED_DIR/sphere-$L"
  mkdir -p "$dir"
  if [ ! -f "$dir/input.dat" ]; then
    "$BUILD/velmora-mesh" sphere "${resolution[@]}" --velocity 1,0,0 --dir "$dir" --new-cnd --quiet
  fi
  nelem=$(awk 'NR == 3 { print $1 }' "$dir/input.dat")
  maxcel=$((nelem / 10 + 1000))
  cat > "$dir/input.cnd" <<EOF
 1e-08 $RESTART 0 0 1 10 1e-06   snaptol, M, (unused), (unused), iprec, ncycle, tol
 20 2 $maxl $maxcel $NEXP $NGAUSS 1.01   maxdep, minlev, maxl, maxcel, nexp, ngauss, cubfac
EOF
  opts=(--products "$PRODUCTS" --threads "$THREADS" --thread-ratio)
  [ "$nelem" -le "$REFERENCE_MAX" ] && opts+=(--reference)
  echo "== $nelem triangles: product benchmark" >&2
  "$BUILD/bench/speed_bench" "$dir" "${opts[@]}" > "$dir/bench.txt"
  b="$dir/bench.txt"

  its="-"
  run_s="-"
  peak_mb="$(value peak_rss_mb "$b")"
  peak_src="bench"
  if [ "$nelem" -le "$SOLVE_MAX" ]; then
    echo "== $nelem triangles: whole solve" >&2
    (cd "$dir" && OMP_NUM_THREADS="$THREADS" /usr/bin/time -v "$BUILD/velmora" > console.txt 2> time.txt)
    its=$(awk '/^ info\(1\) =/ { print $NF }' "$dir/output.log" | tail -1)
    run_s=$(awk -F': ' '/Elapsed \(wall clock\)/ { n = split($2, t, ":"); s = 0; for (i = 1; i <= n; ++i) s = s * 60 + t[i]; print s }' "$dir/time.txt")
    peak_mb=$(awk -F': ' '/Maximum resident set size/ { printf "%.0f", $2 / 1024 }' "$dir/time.txt")
    peak_src="run"
  fi

  next_total="$(value next_total "$b")"
  next_crit="$(value next_total_crit "$b")"
  first_total="$(value first_total "$b")"
  first_crit="$(value first_total_crit "$b")"
  ref="$(value reference_s "$b")"
  if [ -n "$ref" ]; then
    speedup=$(awk -v r="$ref" -v f="$first_crit" -v n="$next_crit" 'BEGIN { printf "%.0f/%.0f", r / f, r / n }')
  else
    speedup="-"
  fi
  ratio=$(awk -v a="$(value speedup_threads_next "$b")" -v c="$(value speedup_threads_next_crit "$b")" \
    -v e="$(value speedup_threads_first_crit "$b")" 'BEGIN { printf "%.2f %.2f/%.2f", a, e, c }')
  kb=$(awk -v m="$peak_mb" -v n="$nelem" 'BEGIN { printf "%.2f", m * 1048.576 / n }')
  run_cpu="-"
  [ -f "$dir/console.txt" ] && [ "$run_s" != "-" ] &&
    run_cpu=$(awk '/Total CPU time/ { gsub(/[(),]/, " "); print $(NF-3) }' "$dir/console.txt")
  rows+=("$(printf '%8s %4s %4s %6s | %6.3f %6.3f %6.3f %6.3f %6.3f %6.3f | %6.3f %6.3f %6.3f | %6.2f %6.2f | %6.2f %6.2f | %4s %7s %7s | %7s %5s %-5s | %9s | %s' \
    "$nelem" "$NEXP" "$maxl" "$(value ncell "$b")" \
    "$(value next_moments_crit "$b")" "$(value next_m2m_crit "$b")" "$(value next_m2l_crit "$b")" \
    "$(value next_l2l_crit "$b")" "$(value next_near_crit "$b")" "$(value next_eval_crit "$b")" \
    "$next_crit" "$next_total" "$(value next_total_cpu "$b")" "$first_crit" "$first_total" \
    "$(value precon_first_s "$b")" "$(value precon_next_s "$b")" \
    "$its" "$run_s" "$run_cpu" "$peak_mb" "$kb" "$peak_src" "$speedup" "$ratio")")
done

echo
echo "Product of mode 1 after the first (near field from the cache when kept): phases and 'crit' ="
echo "critical path (per parallel loop the longest processor time of one thread, summed: the"
echo "wall-clock time with a processor per thread), 'wall' = measured wall-clock time, 'cpu' ="
echo "processor seconds of all threads; first product (near field integrated, caches filled);"
echo "preconditioner (first/next application, wall); GMRES iterations and whole run (translating"
echo "sphere, iprec 1, tol 1e-6; wall and processor seconds); peak resident memory; speed-up of the"
echo "fast path (crit) over the plain path UPWRD + DNWRD on one thread (first/next product); and"
echo "$THREADS threads over 1: measured wall ratio of the next product, then crit ratio first/next."
printf '%8s %4s %4s %6s | %6s %6s %6s %6s %6s %6s | %6s %6s %6s | %6s %6s | %6s %6s | %4s %7s %7s | %7s %5s %-5s | %9s | %s\n' \
  triangles nexp maxl cells moment m2m m2l l2l near eval \
  crit wall cpu 1stcrt 1stwal pc-1st pc-nxt its run-s run-cpu peak-MB KB/tr from vs-plain threads
for r in "${rows[@]}"; do echo "$r"; done
echo "Load average at end: $(cut -d' ' -f1-3 /proc/loadavg)"
