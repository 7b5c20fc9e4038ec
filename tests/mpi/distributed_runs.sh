#!/usr/bin/env bash
# Runs of several processes against the one-process program (build with
# -DVELMORA_MPI=ON):
#   distributed_runs.sh VELMORA_EXE VELMORA_MESH_EXE SOURCE_DIR [SERIAL_EXE]
# For each model (the bundled sphere examples, an ellipsoid with mixed
# conditions, two small spheres whose two leaves leave ranks without any, and
# a sphere of small leaves; the ellipsoid again with the linear coarse
# space at 1 to 3 ranks), mpirun -np 1, 2, 3, 4 (and 10 for the small leaves; one
# thread each) must give output.dat, output.plt
# and output.log, and the console's records (the residual history among
# them), identical to one process with two threads (SERIAL_EXE, the default
# build's program, when given; the same program started alone otherwise),
# leaving out only the records that depend on the machine (times and
# memory) and the console's lines on the processes; at 2 ranks on the
# translating sphere each rank receives fewer entries of x per product than
# the other holds (ghost densities, not the whole vector), and on the
# ellipsoid rank 0's coarse correction takes less memory than one process's
# (the factors split by their tiles).  Then a bad input ends
# every rank with status 1 and the one-process message, and a file that
# rank 0 alone cannot write ends the whole run, not a hang.  The same for
# velmora-rigid; and velmora-field's files are the one-process tool's.
set -euo pipefail
exe="$1"
mesh="$2"
src="$3"
serial="${4:-$1}"
mpirun_cmd=(mpirun --oversubscribe --allow-run-as-root)
export OMPI_MCA_btl_vader_single_copy_mechanism=none
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
fail=0

# The records that do not depend on the machine or on the number of processes.
steady() {
  grep -v -e 'time used' -e ' Mb' -e ' Processes: ranks:' -e 'Product split among ranks' \
    -e '^   rank [0-9]*:' "$1" || true
}

model_dirs=()
for ex in sphere-translate sphere-traction sphere-rotate; do
  mkdir -p "$work/$ex"
  cp "$src/examples/$ex/input.cnd" "$src/examples/$ex/input.dat" "$work/$ex/"
  model_dirs+=("$work/$ex")
done
mkdir -p "$work/ellipsoid"
(cd "$work/ellipsoid" && "$mesh" ellipsoid --axes 1,0.6,0.4 --elements 3000 --velocity 1,0,0 \
  --traction 0,0,0.5 --codes 1,1,2 >/dev/null)
model_dirs+=("$work/ellipsoid")
# The same with the linear coarse space (VELMORA_COARSE=linear), at 1 to 3 ranks.
mkdir -p "$work/ellipsoid-linear"
cp "$work/ellipsoid/input.cnd" "$work/ellipsoid/input.dat" "$work/ellipsoid-linear/"
model_dirs+=("$work/ellipsoid-linear")
mkdir -p "$work/two-leaves"
(cd "$work/two-leaves" && "$mesh" spheres --sphere 0,0,0,0.1 --sphere 2,2,2,0.1 --refine 1 >/dev/null)
# Two leaves only: each sphere's cell of level 2 holds all its 80 elements.
sed -i '2s/^\( *[^ ]* *[^ ]*\) *[0-9]*/\1 400/' "$work/two-leaves/input.cnd"
model_dirs+=("$work/two-leaves")
# Small shares: leaves of at most 4 elements, so that at 10 ranks each holds
# 5 to 11 elements (15 to 33 entries of GMRES's vectors), fewer than the 30
# iterations of tol 1e-13.  GMRES puts each inner-product request's results
# (up to one per iteration) in a vector of a share's length: on shares of
# their own this run hung.
mkdir -p "$work/small-shares"
(cd "$work/small-shares" && "$mesh" sphere --refine 1 --velocity 1,0,0 >/dev/null)
printf ' 1e-08 60 0 0 1 10 1e-13\n 12 2 4 400 12 7 1.01\n' >"$work/small-shares/input.cnd"
model_dirs+=("$work/small-shares")

for d in "${model_dirs[@]}"; do
  name="$(basename "$d")"
  coarse_env=() coarse=()
  if [[ $name == ellipsoid-linear ]]; then
    coarse_env=(VELMORA_COARSE=linear) coarse=(-x VELMORA_COARSE=linear)
  fi
  (cd "$d" && OMP_NUM_THREADS=2 env "${coarse_env[@]}" "$serial" >console.ref 2>&1) || {
    echo "FAIL $name: the one-process run failed"; fail=1; continue; }
  for f in output.dat output.plt output.log; do cp "$d/$f" "$d/$f.ref"; done
  if [[ $name == ellipsoid-linear ]] && ! grep -q 'linear on [0-9]* supports' "$d/console.ref"; then
    echo "FAIL ellipsoid-linear: the linear coarse space is not used"; fail=1
  fi
  ranks=(1 2 3 4)
  [[ $name == small-shares ]] && ranks+=(10)
  [[ $name == ellipsoid-linear ]] && ranks=(1 2 3)
  for p in "${ranks[@]}"; do
    status=0
    (cd "$d" && OMP_NUM_THREADS=1 timeout 300 "${mpirun_cmd[@]}" -np "$p" "${coarse[@]}" "$exe" \
      >console.mpi 2>&1) ||
      status=$?
    if [[ $status -ne 0 ]]; then
      echo "FAIL $name, $p ranks: status $status"; fail=1; continue
    fi
    for f in output.dat output.plt output.log; do
      if ! cmp -s <(steady "$d/$f") <(steady "$d/$f.ref"); then
        echo "FAIL $name, $p ranks: $f differs"; diff <(steady "$d/$f") <(steady "$d/$f.ref") | head -5
        fail=1
      fi
    done
    if ! cmp -s <(steady "$d/console.mpi") <(steady "$d/console.ref"); then
      echo "FAIL $name, $p ranks: console differs"
      diff <(steady "$d/console.mpi") <(steady "$d/console.ref") | head -5
      fail=1
    fi
    grep -q " Processes: ranks: $p," "$d/console.mpi" || { echo "FAIL $name: no 'ranks: $p'"; fail=1; }
    # Ghost densities: at 2 ranks each receives for a product only the
    # entries its product reads, fewer than the other's elements.
    if [[ $name == sphere-translate && $p == 2 ]]; then
      lines="$(grep -E '^   rank [01]: .* x received [0-9]+ elements per product' "$d/console.mpi" || true)"
      if [[ $(wc -l <<<"$lines") -ne 2 ]]; then
        echo "FAIL sphere-translate, 2 ranks: no ghost densities in the console"; fail=1
      else
        e0="$(sed -n '1s/.* leaves, \([0-9]*\) elements.*/\1/p' <<<"$lines")"
        e1="$(sed -n '2s/.* leaves, \([0-9]*\) elements.*/\1/p' <<<"$lines")"
        g0="$(sed -n '1s/.* x received \([0-9]*\) elements.*/\1/p' <<<"$lines")"
        g1="$(sed -n '2s/.* x received \([0-9]*\) elements.*/\1/p' <<<"$lines")"
        if ! ((g0 > 0 && g1 > 0 && g0 < e1 && g1 < e0)); then
          echo "FAIL sphere-translate, 2 ranks: ghosts $g0, $g1 against elements $e1, $e0"; fail=1
        fi
      fi
    fi
    # The coarse factors are not replicated: at 2 ranks rank 0 holds one of
    # the two column tiles of the ellipsoid's 448 coarse unknowns (at 3 and 4
    # ranks some hold none), so its coarse correction takes less memory than
    # one process's.
    if [[ $name == ellipsoid && $p == 2 ]]; then
      mb1="$(sed -n 's/.*Coarse correction: .* unknowns, *\([0-9.]*\) Mb.*/\1/p' "$d/console.ref")"
      mb2="$(sed -n 's/.*Coarse correction: .* unknowns, *\([0-9.]*\) Mb.*/\1/p' "$d/console.mpi")"
      if [[ -z $mb1 || -z $mb2 ]] || ! awk -v a="$mb2" -v b="$mb1" 'BEGIN { exit !(a < b) }'; then
        echo "FAIL ellipsoid, 2 ranks: coarse correction $mb2 Mb per rank against $mb1 Mb alone"; fail=1
      fi
    fi
    if [[ $name == two-leaves && $p == 4 ]]; then
      grep -q ': 0 leaves, 0 elements' "$d/console.mpi" ||
        { echo "FAIL two-leaves: no rank without leaves at 4 ranks"; fail=1; }
    fi
  done
  echo "ok $name"
done

# Bad input: every rank stops with status 1; the message is the program's.
# (Rank 0 reads the input files and sends them to the others.)
bad="$work/bad"
mkdir -p "$bad"
cp "$src/examples/sphere-translate/input.cnd" "$src/examples/sphere-translate/input.dat" "$bad/"
sed -i '3s/^ *[0-9]*/ -5/' "$bad/input.dat"
(cd "$bad" && "$serial" >/dev/null 2>serial.err) && { echo "FAIL bad input accepted"; fail=1; }
for p in 2 3; do
  status=0
  (cd "$bad" && timeout 120 "${mpirun_cmd[@]}" -np "$p" "$exe" >/dev/null 2>mpi.err) || status=$?
  [[ $status -eq 1 ]] || { echo "FAIL bad input, $p ranks: status $status, not 1"; fail=1; }
  # (mpirun's own notice of the status may come before or after it.)
  grep -Fxq -- "$(cat "$bad/serial.err")" "$bad/mpi.err" ||
    { echo "FAIL bad input, $p ranks: not the program's message: $(head -n 1 "$bad/mpi.err")"; fail=1; }
  [[ $(grep -c 'Invalid parameter' "$bad/mpi.err") -eq 1 ]] ||
    { echo "FAIL bad input, $p ranks: the message is not given once"; fail=1; }
done
# A missing input file, which rank 0 alone reads: every rank stops with
# status 1 and the one-process message, given once.
missing="$work/missing"
mkdir -p "$missing"
cp "$src/examples/sphere-translate/input.cnd" "$missing/"
(cd "$missing" && "$serial" >/dev/null 2>serial.err) && { echo "FAIL missing input accepted"; fail=1; }
status=0
(cd "$missing" && timeout 120 "${mpirun_cmd[@]}" -np 3 "$exe" >/dev/null 2>mpi.err) || status=$?
[[ $status -eq 1 ]] || { echo "FAIL missing input, 3 ranks: status $status, not 1"; fail=1; }
grep -Fxq -- "$(cat "$missing/serial.err")" "$missing/mpi.err" ||
  { echo "FAIL missing input: not the program's message: $(head -n 1 "$missing/mpi.err")"; fail=1; }
[[ $(grep -c 'input.dat: cannot open' "$missing/mpi.err") -eq 1 ]] ||
  { echo "FAIL missing input: the message is not given once"; fail=1; }
[[ ! -e "$missing/output.log" ]] || { echo "FAIL missing input: output.log written"; fail=1; }
echo "ok bad input"

# A stop of rank 0 alone (output.log is a directory): the whole run ends
# with status 1 instead of the other ranks waiting for it.
lone="$work/lone"
mkdir -p "$lone/output.log"
cp "$src/examples/sphere-translate/input.cnd" "$src/examples/sphere-translate/input.dat" "$lone/"
status=0
(cd "$lone" && timeout 120 "${mpirun_cmd[@]}" -np 2 "$exe" >/dev/null 2>mpi.err) || status=$?
[[ $status -eq 1 ]] || { echo "FAIL lone stop: status $status (124: it hung)"; fail=1; }
grep -q 'output.log: cannot open the file for writing' "$lone/mpi.err" ||
  { echo "FAIL lone stop: no message"; fail=1; }
echo "ok lone stop"

# velmora-rigid: two spheres under a force in a shear, with the resistance
# matrix and two time steps (templates of the bodies' near fields, every
# solve kind); rigid.json, rigid.vtu, the steps' files and the console's
# results (all but the wall-clock line and the lines on the processes) the
# same as the one-process tool's, at 1 to 4 ranks.
rigid="$(dirname "$exe")/velmora-rigid"
serial_rigid="$(dirname "$serial")/velmora-rigid"
rigid_args=(--body 1 --force 1,0,0 --shear 0.5 --resistance --steps 2 --dt 0.1 --pvd)
rigid_files=(rigid.json rigid.vtu trajectory.csv rigid.pvd rigid_00000.vtu rigid_00001.vtu
  rigid_00002.vtu)
rigid_steady() {
  grep -v -e 'wall-clock time' -e 'processes: ranks:' -e 'Product split among ranks' \
    -e '^   rank [0-9]*:' "$1" || true
}
rd="$work/rigid"
mkdir -p "$rd/ref"
(cd "$rd" && "$mesh" spheres --sphere 0,0,0,1 --sphere 2.6,0.3,0,0.7 --refine 3 >/dev/null 2>&1)
if (cd "$rd" && OMP_NUM_THREADS=2 "$serial_rigid" "${rigid_args[@]}" >console.ref 2>/dev/null); then
  for f in "${rigid_files[@]}"; do mv "$rd/$f" "$rd/ref/"; done
  ranks=(1 2 3 4)
  [[ $name == small-shares ]] && ranks+=(10)
  [[ $name == ellipsoid-linear ]] && ranks=(1 2 3)
  for p in "${ranks[@]}"; do
    status=0
    (cd "$rd" && OMP_NUM_THREADS=1 timeout 300 "${mpirun_cmd[@]}" -np "$p" "$rigid" "${rigid_args[@]}" \
      >console.mpi 2>/dev/null) || status=$?
    [[ $status -eq 0 ]] || { echo "FAIL velmora-rigid, $p ranks: status $status"; fail=1; continue; }
    for f in "${rigid_files[@]}"; do
      cmp -s "$rd/$f" "$rd/ref/$f" || { echo "FAIL velmora-rigid, $p ranks: $f differs"; fail=1; }
      rm -f "$rd/$f"
    done
    if ! cmp -s <(rigid_steady "$rd/console.mpi") <(rigid_steady "$rd/console.ref"); then
      echo "FAIL velmora-rigid, $p ranks: console differs"
      diff <(rigid_steady "$rd/console.mpi") <(rigid_steady "$rd/console.ref") | head -5
      fail=1
    fi
    grep -q "processes: ranks: $p," "$rd/console.mpi" ||
      { echo "FAIL velmora-rigid: no 'ranks: $p'"; fail=1; }
  done
  echo "ok velmora-rigid"
else
  echo "FAIL velmora-rigid: the one-process run failed"; fail=1
fi

# velmora-rigid's bad input (a force of two components) ends every rank
# with status 2 and its message once; rank 0 alone failing to write
# rigid.json (a directory of that name) ends the others, which would go on
# to the time steps, with status 1 instead of a hang.
status=0
(cd "$rd" && timeout 120 "${mpirun_cmd[@]}" -np 3 "$rigid" --force 1,0 >/dev/null 2>rigid.err) ||
  status=$?
[[ $status -eq 2 ]] || { echo "FAIL velmora-rigid bad input: status $status, not 2"; fail=1; }
[[ $(grep -c -- '--force' "$rd/rigid.err") -eq 1 ]] ||
  { echo "FAIL velmora-rigid bad input: the message is not given once"; cat "$rd/rigid.err"; fail=1; }
mkdir -p "$rd/rigid.json"
status=0
(cd "$rd" && OMP_NUM_THREADS=1 timeout 120 "${mpirun_cmd[@]}" -np 2 "$rigid" "${rigid_args[@]}" \
  >/dev/null 2>rigid.err) || status=$?
[[ $status -eq 1 ]] || { echo "FAIL velmora-rigid lone stop: status $status (124: it hung)"; fail=1; }
grep -q 'rigid.json: cannot write the file' "$rd/rigid.err" ||
  { echo "FAIL velmora-rigid lone stop: no message"; fail=1; }
echo "ok velmora-rigid stops"

# velmora-field on the solved ellipsoid (mixed conditions): a box of points
# around it, inside it and outside the solver's root cube, and a points
# file with a point far away; the files byte-identical to the one-process
# tool's at 1 to 4 ranks.  Then a bad points file ends every rank with
# status 1 and the message once.
field="$(dirname "$exe")/velmora-field"
serial_field="$(dirname "$serial")/velmora-field"
fd="$work/ellipsoid"
printf '0.5 0.2 0.1\n3 -2 1\n1e6 2e6 -1e6\n-1.5 0.3 0.35\n' >"$fd/probes.txt"
field_runs=("--box -2,-1.5,-1,2.5,1.5,1.2,23,17,13 --out box" "--points probes.txt --out probes")
ok_field=1
for i in 0 1; do
  read -r -a fargs <<<"${field_runs[$i]}"
  if ! (cd "$fd" && OMP_NUM_THREADS=2 "$serial_field" "${fargs[@]}" >/dev/null 2>&1); then
    echo "FAIL velmora-field: the one-process run failed (${fargs[*]})"; fail=1; ok_field=0; continue
  fi
  out_file=box.vti
  [[ $i == 1 ]] && out_file=probes.csv
  mv "$fd/$out_file" "$fd/$out_file.ref"
  for p in 1 2 3 4; do
    status=0
    (cd "$fd" && OMP_NUM_THREADS=1 timeout 300 "${mpirun_cmd[@]}" -np "$p" "$field" "${fargs[@]}" \
      >field.console 2>/dev/null) || status=$?
    [[ $status -eq 0 ]] || { echo "FAIL velmora-field, $p ranks: status $status"; fail=1; ok_field=0; continue; }
    cmp -s "$fd/$out_file" "$fd/$out_file.ref" ||
      { echo "FAIL velmora-field, $p ranks: $out_file differs"; fail=1; ok_field=0; }
    if [[ $p -gt 1 ]] && ! grep -q "processes: ranks: $p," "$fd/field.console"; then
      echo "FAIL velmora-field: no 'ranks: $p'"; fail=1; ok_field=0
    fi
    rm -f "$fd/$out_file"
  done
done
printf '0 0 0\n1 2 x\n' >"$fd/bad.txt"
status=0
(cd "$fd" && timeout 120 "${mpirun_cmd[@]}" -np 3 "$field" --points bad.txt >/dev/null 2>field.err) ||
  status=$?
[[ $status -eq 1 ]] || { echo "FAIL velmora-field bad input: status $status, not 1"; fail=1; ok_field=0; }
[[ $(grep -c 'bad.txt' "$fd/field.err") -eq 1 ]] ||
  { echo "FAIL velmora-field bad input: the message is not given once"; cat "$fd/field.err"; fail=1; ok_field=0; }
[[ ! -e "$fd/bad.csv" && ! -e "$fd/field.csv" ]] || { echo "FAIL velmora-field bad input: a file written"; fail=1; }
[[ $ok_field == 1 ]] && echo "ok velmora-field"
exit $fail
