#!/usr/bin/env bash
# Runs of several processes against one on this machine (MPI build).
#
#   bench/distributed.sh [MODEL_DIR...]
#
# For each model folder (input.cnd, input.dat; default the 100,820- and
# 1,003,520-triangle spheres of bench/speed.sh in scratch/speed), runs
# build-mpi/velmora (BUILD_MPI) as 1 rank x 2 threads and as 2 ranks x 1
# thread, each rank under /usr/bin/time, in a copy of the folder, and
# prints per run: the whole run's wall-clock seconds, GMRES iterations, the
# product's seconds on the slowest rank (the engine's phases and the exchange
# of the pieces) for the first product (near field integrated) and for each
# later one, the exchange alone per product, megabytes sent per rank, and
# the peak resident memory of each rank; then whether the two runs' output
# files are the same (records of times and memory left out).
#
# RIGID_MODELS="DIR..." (folders of input.cnd and input.dat, such as
# bench/rigid_suspension.sh writes) adds velmora-rigid runs, 1 x 2 against
# 2 x 1, with RIGID_ARGS (default: --force 0,0,-1 --no-traction): the whole
# run, the mobility solve's iterations, its products' seconds, the peak per
# rank and whether rigid.json is the same; given without model folders, it
# runs these rows alone.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${BUILD_MPI:-$root/build-mpi}"
work="${DIST_DIR:-$root/scratch/distributed}"
models=("$@")
# (With RIGID_MODELS and no folder given, the velmora-rigid rows alone.)
if ! ((${#models[@]})) && [[ -z "${RIGID_MODELS:-}" ]]; then
  models=("$root/scratch/speed/sphere-f71" "$root/scratch/speed/sphere-f224")
fi
export OMPI_MCA_btl_vader_single_copy_mechanism=none
mkdir -p "$work"

steady() { grep -v -e 'time used' -e ' Mb' "$1"; }

printf '%-12s %-9s %8s %5s %8s %8s %12s %11s %s\n' model ranks whole its first later exchange/each "sent MB" "peak GB per rank"
for m in "${models[@]}"; do
  name="$(basename "$m")"
  for cfg in "1 2" "2 1"; do
    read -r ranks threads <<<"$cfg"
    d="$work/$name-$ranks"
    rm -rf "$d"
    mkdir -p "$d"
    cp "$m/input.cnd" "$m/input.dat" "$d/"
    (cd "$d" && OMP_NUM_THREADS=$threads mpirun --oversubscribe --allow-run-as-root --bind-to none \
      -np "$ranks" /usr/bin/time -a -o time.txt -f 'peak %M' "$build/velmora" >console.txt 2>stderr.txt)
    whole="$(sed -n 's/.*wall-clock time used = *[^ ]* (sec), *\([^ ]*\) (sec).*/\1/p' "$d/console.txt" | tail -n 1)"
    its="$(sed -n 's/.*info(2) = *\([0-9]*\).*/\1/p' "$d/output.log" | head -n 1)"
    # Products: the right-hand side, one per iteration, the true residuals.
    nprod="$(grep -c '' <(grep -E '^ +[0-9]+ +0\.[0-9]+E[-+][0-9]+' "$d/output.log") || true)"
    read -r first later exch sent <<<"$(awk -v n="$nprod" '/^   rank [0-9]+:/ {
        for (i = 1; i <= NF; ++i) {
          if ($i == "(first") f = $(i + 1); if ($i == "then") l = $(i + 1);
          if ($i == "exchanges") e = $(i + 1); if ($i == "sent") s = $(i + 1) }
        if (f > fm) fm = f; if (l > lm) lm = l; if (e > em) em = e; sm = s }
      END { printf "%.2f %.3f %.3f %s", fm, lm, em / (n + 1), sm }' "$d/console.txt")"
    peaks="$(awk '/^peak/ { printf "%s%.2f", sep, $2 / 1048576; sep = " " }' "$d/time.txt")"
    printf '%-12s %-9s %8s %5s %8s %8s %12s %11s %s\n' "$name" "${ranks}x${threads}" "$whole" "$its" "$first" "$later" "$exch" "$sent" "$peaks"
  done
  same=yes
  for f in output.dat output.plt output.log; do
    cmp -s <(steady "$work/$name-1/$f") <(steady "$work/$name-2/$f") || same=no
  done
  echo "  $name: output files of 1 and 2 ranks the same: $same"
done

rigid_models=(${RIGID_MODELS:-})
((${#rigid_models[@]})) || exit 0
read -r -a rigid_args <<<"${RIGID_ARGS:---force 0,0,-1 --no-traction}"
printf '\n%-12s %-9s %8s %5s %12s %s\n' model ranks whole its "products s" "peak GB per rank"
for m in "${rigid_models[@]}"; do
  name="$(basename "$m")"
  for cfg in "1 2" "2 1"; do
    read -r ranks threads <<<"$cfg"
    d="$work/rigid-$name-$ranks"
    rm -rf "$d"
    mkdir -p "$d"
    cp "$m/input.cnd" "$m/input.dat" "$d/"
    start=$(date +%s.%N)
    (cd "$d" && OMP_NUM_THREADS=$threads mpirun --oversubscribe --allow-run-as-root --bind-to none \
      -np "$ranks" /usr/bin/time -a -o time.txt -f 'peak %M' "$build/velmora-rigid" "${rigid_args[@]}" \
      >console.txt 2>stderr.txt)
    whole=$(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN { print b - a }')
    its="$(sed -n 's/^solve 1 (mobility): \([0-9]*\) iterations.*/\1/p' "$d/console.txt")"
    prod="$(sed -n 's/.* products of the mobility operator \([0-9.]*\) s.*/\1/p' "$d/console.txt")"
    peaks="$(awk '/^peak/ { printf "%s%.2f", sep, $2 / 1048576; sep = " " }' "$d/time.txt")"
    printf '%-12s %-9s %8.2f %5s %12s %s\n' "$name" "${ranks}x${threads}" "$whole" "$its" "$prod" "$peaks"
  done
  same=no
  cmp -s "$work/rigid-$name-1/rigid.json" "$work/rigid-$name-2/rigid.json" && same=yes
  echo "  $name: rigid.json of 1 and 2 ranks the same: $same"
done
