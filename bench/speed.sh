#!/usr/bin/env bash
# Speed of the multipole product and of the whole solve on sphere meshes.
#
#   bench/speed.sh [MESHES...]
#
# Each mesh is rL, the icosahedral refinement L (20 * 4^L triangles; a bare
# number means the same), or fK, the geodesic sphere of frequency K (20 K^2
# triangles), optionally followed by :N for a maxl of N on that mesh.  The
# default, r5 f71 f224:30, gives 20,480, 100,820 and 1,003,520 triangles (the
# last with maxl 30: as fast as 60 there, with 6 GB less cache).  For each it
# writes a translating unit sphere (velocity prescribed, U = (1, 0, 0),
# mu = 1) with build/velmora-mesh into $SPEED_DIR/sphere-MESH (default
# scratch/speed), sets the control values below in input.cnd, and then, for
# the default path and for the exact path (VELMORA_EXACT=1: translations at
# the full order, near-field cache in double precision),
#   1. runs bench/speed_bench on it: the first product of mode 1 (near field
#      integrated, caches filled), further products (near field from the
#      cache when it is kept), the preconditioner, the plain path's product
#      (UPWRD + DNWRD on one thread, sizes up to $REFERENCE_MAX triangles)
#      and the product with 1 and with $THREADS threads;
#   2. runs build/velmora there (the whole solve; the default path up to
#      $SOLVE_MAX triangles, the exact path up to $EXACT_SOLVE_MAX) under
#      /usr/bin/time for its wall-clock time and peak resident memory, and
#      reads the GMRES iterations and the drag from output.log and
#      output.dat;
# and prints one table.  Then, for every (nexp, maxl) the table used, the
# error of both paths' products against the dense product on the
# 20,480-triangle sphere of bench/product_accuracy.sh (mixed codes; the
# dense product is computed once and kept in $SPEED_DIR).  All times are
# wall-clock seconds on $THREADS threads unless marked; "cpu" columns are
# processor seconds of all threads.
#
# Settings (environment): BUILD (build), SPEED_DIR (scratch/speed), NEXP
# (15), MAXL (60), RESTART (60, the GMRES restart length M), NGAUSS (7),
# COARSE_COMPARE (1: a row "blocks", the default path's whole solve without the
# coarse correction, VELMORA_COARSE=0, beside the default one; 0: none),
# THREADS (2), PRODUCTS (3), REFERENCE_MAX (110000), SOLVE_MAX (1100000),
# EXACT_SOLVE_MAX (110000), ACCURACY (1: the accuracy table; 0: none),
# WARM_GB (0).
#
# Fresh memory on a virtual machine.  A virtual machine's memory may be
# backed by the host only when the guest first touches it, at 0.2 to 0.5 GB/s
# (measured on the project's 2-core machines, against 4 to 6 GB/s for memory
# touched before), and the host apparently takes freed memory back; a run
# then pays 2 to 5 s per GB of cache it fills, in its first product (and
# once per run: the benchmark and the whole solve are separate processes,
# and each pays for its own caches).  WARM_GB=N touches N GB once before
# the runs (dd from /dev/zero), which helps as long as the host leaves that
# memory in place.
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
EXACT_SOLVE_MAX="${EXACT_SOLVE_MAX:-110000}"
ACCURACY="${ACCURACY:-1}"
COARSE_COMPARE="${COARSE_COMPARE:-1}"
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
settings=()
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
  settings+=("$NEXP:$maxl")
  paths=(default)
  [ "$COARSE_COMPARE" = 1 ] && paths+=(blocks)
  paths+=(exact)
  for path in "${paths[@]}"; do
    opts=(--products "$PRODUCTS" --threads "$THREADS" --thread-ratio)
    [ "$nelem" -le "$REFERENCE_MAX" ] && opts+=(--reference)
    solve_max="$SOLVE_MAX"
    env_path=(env -u VELMORA_EXACT)
    if [ "$path" = exact ]; then
      opts+=(--exact)
      solve_max="$EXACT_SOLVE_MAX"
      env_path=(env VELMORA_EXACT=1)
    fi
    b="$dir/bench-$path.txt"
    if [ "$path" = blocks ]; then
      # The default path's product; only the whole solve differs.
      env_path=(env -u VELMORA_EXACT VELMORA_COARSE=0)
      b="$dir/bench-default.txt"
    else
      echo "== $nelem triangles, $path path: product benchmark" >&2
      "${env_path[@]}" "$BUILD/bench/speed_bench" "$dir" "${opts[@]}" > "$b"
    fi

    its="-"
    aggs="-"
    run_s="-"
    drag="-"
    peak_mb="$(value peak_rss_mb "$b")"
    peak_src="bench"
    run_cpu="-"
    if [ "$nelem" -le "$solve_max" ]; then
      echo "== $nelem triangles, $path path: whole solve" >&2
      (cd "$dir" && OMP_NUM_THREADS="$THREADS" "${env_path[@]}" /usr/bin/time -v "$BUILD/velmora" \
        > "console-$path.txt" 2> "time-$path.txt") || true
      its=$(awk '/^ info\(1\) =/ { print $NF }' "$dir/output.log" | tail -1)
      aggs=$(awk '/Coarse correction:/ { print $6 }' "$dir/console-$path.txt")
      run_s=$(awk -F': ' '/Elapsed \(wall clock\)/ { n = split($2, t, ":"); s = 0; for (i = 1; i <= n; ++i) s = s * 60 + t[i]; print s }' "$dir/time-$path.txt")
      peak_mb=$(awk -F': ' '/Maximum resident set size/ { printf "%.0f", $2 / 1024 }' "$dir/time-$path.txt")
      peak_src="run"
      run_cpu=$(awk '/Total CPU time/ { gsub(/[(),]/, " "); print $(NF-3) }' "$dir/console-$path.txt")
      # Drag F_x against Stokes' -6 pi mu a U = -6 pi.
      drag=$(awk '/Total force acting on the body is:/ { getline; f = $1 }
                  END { if (f != "") printf "%.1e", (f + 6 * 3.141592653589793) / (6 * 3.141592653589793) }' "$dir/output.dat")
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
    rows+=("$(printf '%8s %-7s %4s %4s %6s | %6.3f %6.3f %6.3f %6.3f %6.3f %6.3f | %6.3f %6.3f %6.3f | %6.2f %6.2f | %6.2f %6.2f | %4s %5s %7s %7s %8s | %7s %5s %-5s | %9s | %s' \
      "$nelem" "$path" "$NEXP" "$maxl" "$(value ncell "$b")" \
      "$(value next_moments_crit "$b")" "$(value next_m2m_crit "$b")" "$(value next_m2l_crit "$b")" \
      "$(value next_l2l_crit "$b")" "$(value next_near_crit "$b")" "$(value next_eval_crit "$b")" \
      "$next_crit" "$next_total" "$(value next_total_cpu "$b")" "$first_crit" "$first_total" \
      "$(value precon_first_s "$b")" "$(value precon_next_s "$b")" \
      "$its" "$aggs" "$run_s" "$run_cpu" "$drag" "$peak_mb" "$kb" "$peak_src" "$speedup" "$ratio")")
  done
done

echo
echo "Product of mode 1 after the first (near field from the cache when kept), for the default"
echo "path and the exact path (VELMORA_EXACT=1): phases and 'crit' ="
echo "critical path (per parallel loop the longest processor time of one thread, summed: the"
echo "wall-clock time with a processor per thread), 'wall' = measured wall-clock time, 'cpu' ="
echo "processor seconds of all threads; first product (near field integrated, caches filled);"
echo "preconditioner's leaf blocks (first/next application, wall); GMRES iterations, aggregates of"
echo "the coarse correction, and whole run (translating"
echo "sphere, iprec 1, tol 1e-6; wall and processor seconds; drag error against Stokes); peak"
echo "resident memory; speed-up of the"
echo "fast path (crit) over the plain path UPWRD + DNWRD on one thread (first/next product); and"
echo "$THREADS threads over 1: measured wall ratio of the next product, then crit ratio first/next."
printf '%8s %-7s %4s %4s %6s | %6s %6s %6s %6s %6s %6s | %6s %6s %6s | %6s %6s | %6s %6s | %4s %5s %7s %7s %8s | %7s %5s %-5s | %9s | %s\n' \
  triangles path nexp maxl cells moment m2m m2l l2l near eval \
  crit wall cpu 1stcrt 1stwal pc-1st pc-nxt its aggs run-s run-cpu drag-err peak-MB KB/tr from vs-plain threads
for r in "${rows[@]}"; do echo "$r"; done
if [ "$ACCURACY" = 1 ]; then
  # The products' error against the dense product, at 20,480 triangles with
  # mixed codes, for each (nexp, maxl) used above.
  acc="$SPEED_DIR/accuracy-sphere"
  mkdir -p "$acc"
  if [ ! -f "$acc/input.dat" ]; then
    "$BUILD/velmora-mesh" sphere --refine 5 --velocity 1,0,0 --dir "$acc" --new-cnd --quiet
    awk 'NF == 10 && $1 ~ /^[0-9]+$/ {
           e = $1 % 3
           if (e == 0)      { $5 = 2; $6 = 2; $7 = 2; $8 = 0.3; $9 = -0.2; $10 = 0.1 }
           else if (e == 2) { $6 = 2; $9 = 0.25 }
         } { print }' "$acc/input.dat" > "$acc/input.tmp" && mv "$acc/input.tmp" "$acc/input.dat"
  fi
  echo
  echo "Error against the dense product (relative, max norm), 20,480-triangle sphere with mixed codes;"
  echo "mode 0 integrated, mode 1 from the near-field cache; default path and exact path"
  printf '%4s %4s | %10s %10s %6s | %10s %10s %6s\n' nexp maxl "m0 exact" "m0 dflt" ratio "m1 exact" "m1 dflt" ratio
  for st in $(printf '%s\n' "${settings[@]}" | sort -u); do
    nexp="${st%%:*}"
    maxl="${st#*:}"
    printf ' 1e-08 30 0 0 1 10 1e-06   snaptol, M, (unused), (unused), iprec, ncycle, tol\n 20 2 %s 3048 %s %s 1.01   maxdep, minlev, maxl, maxcel, nexp, ngauss, cubfac\n' \
      "$maxl" "$nexp" "$NGAUSS" > "$acc/input.cnd"
    out="$acc/accuracy-$nexp-$maxl.txt"
    env -u VELMORA_EXACT "$BUILD/bench/speed_bench" "$acc" --products 0 --dense --compare-exact \
      --dense-file "$acc/dense" > "$out"
    awk -v n="$nexp" -v l="$maxl" -v a="$(value dense_error_mode0_exact "$out")" -v f="$(value dense_error_mode0 "$out")" \
      -v c="$(value dense_error_mode1_exact "$out")" -v g="$(value dense_error_mode1 "$out")" \
      'BEGIN { printf "%4d %4d | %10.3e %10.3e %6.3f | %10.3e %10.3e %6.3f\n", n, l, a, f, f / a, c, g, g / c }'
  done
fi
echo "Load average at end: $(cut -d' ' -f1-3 /proc/loadavg)"

