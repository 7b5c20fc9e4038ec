#!/usr/bin/env bash
# Gmsh's boolean demo geometries through the whole chain: every .geo file of
# gmsh-doc's demos/boolean folder is meshed by velmora-mesh with --size 0.1,
# every body translating with U = (1, 0, 0), and solved by velmora, one
# geometry at a time, each in its own scratch folder.
#
#   bench/closed_bodies.sh [BINDIR] [OUTFILE]
#
#   BINDIR   folder holding velmora-mesh and velmora (default: build/ of the repo)
#   OUTFILE  tab-separated table written at the end
#            (default: scratch/closed_bodies.tsv of the repo)
#
# Records per geometry: elements, nodes, bodies (and how many of them are
# open surfaces), the exit status and time of the mesh step, the exit status
# of velmora (0 converged, 3 not converged, 1 error, 124/137 killed by the
# time limit), GMRES iterations, backward errors (rinfo(1) on the
# preconditioned system, rinfo(2) on the unpreconditioned one), wall time,
# peak memory, the total force and a note (the message of a refused mesh,
# the solver's last line after an error, open bodies, faulty mesh edges).
# Failures are recorded, never skipped.  A markdown table is printed at the
# end.
#
# Needs gmsh-doc (apt-get install gmsh-doc) and velmora-mesh built with Gmsh.
#
# Settings (environment):
#   GEO_DIR          folder of the .geo files (default: gmsh-doc's
#                    demos/boolean, found with dpkg -L)
#   WORK_DIR         scratch folder, one sub-folder per geometry, emptied
#                    before each run (default: OUTFILE less .tsv, plus .d)
#   SIZE             largest element edge, velmora-mesh --size (0.1)
#   MESH_TIMEOUT     seconds allowed to the mesh step (600)
#   SOLVE_TIMEOUT    seconds allowed to velmora (600)
#   OMP_NUM_THREADS  threads of both programs (1: the benchmark machine is shared)
#   ONLY             space-separated geometry names to run (default: all)
#   KEEP_BIG         0 deletes input.dat, output.dat and output.plt after each
#                    run, keeping the logs (default 1: keep everything)
set -u
set -o pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BINDIR="${1:-$ROOT/build}"
OUTFILE="${2:-$ROOT/scratch/closed_bodies.tsv}"
SIZE="${SIZE:-0.1}"
MESH_TIMEOUT="${MESH_TIMEOUT:-600}"
SOLVE_TIMEOUT="${SOLVE_TIMEOUT:-600}"
KEEP_BIG="${KEEP_BIG:-1}"
export OMP_NUM_THREADS="${OMP_NUM_THREADS:-1}"

die() { echo "closed_bodies.sh: $*" >&2; exit 1; }

# Absolute paths: each step runs inside its geometry's folder.
[ -d "$BINDIR" ] || die "no folder $BINDIR"
BINDIR="$(cd "$BINDIR" && pwd)"
for exe in velmora-mesh velmora; do
  [ -x "$BINDIR/$exe" ] || die "$BINDIR/$exe is missing"
done
mkdir -p "$(dirname "$OUTFILE")" || die "cannot create the folder of $OUTFILE"
OUTFILE="$(cd "$(dirname "$OUTFILE")" && pwd)/$(basename "$OUTFILE")"
WORK_DIR="${WORK_DIR:-${OUTFILE%.tsv}.d}"
mkdir -p "$WORK_DIR" || die "cannot create $WORK_DIR"
WORK_DIR="$(cd "$WORK_DIR" && pwd)"

# The demo folder of gmsh-doc (its location has moved between releases).
if [ -z "${GEO_DIR:-}" ]; then
  GEO_DIR="$(dpkg -L gmsh-doc 2>/dev/null | grep '/demos/boolean$' | head -n 1)"
  [ -n "$GEO_DIR" ] || GEO_DIR=/usr/share/doc/gmsh-doc/doc/gmsh/demos/boolean
fi
[ -d "$GEO_DIR" ] || die "no folder $GEO_DIR (apt-get install gmsh-doc, or set GEO_DIR)"

# Files the .geo files import (STEP models, possibly gzipped), unpacked once
# into WORK_DIR/_data and linked into every geometry's folder.
DATA="$WORK_DIR/_data"
rm -rf "$DATA" && mkdir -p "$DATA"
for f in "$GEO_DIR"/*; do
  [ -f "$f" ] || continue
  b="$(basename "$f")"
  case "$b" in
    *.geo | *.geo.gz) ;;
    *.gz) gunzip -c "$f" > "$DATA/${b%.gz}" ;;
    *) cp "$f" "$DATA/$b" ;;
  esac
done

# The geometries: *.geo and gzipped *.geo.gz, by name.
NAMES=()
for f in "$GEO_DIR"/*.geo "$GEO_DIR"/*.geo.gz; do
  [ -f "$f" ] || continue
  b="$(basename "$f")"
  NAMES+=("${b%%.geo*}")
done
[ ${#NAMES[@]} -gt 0 ] || die "no .geo file in $GEO_DIR"
mapfile -t NAMES < <(printf '%s\n' "${NAMES[@]}" | LC_ALL=C sort -u)
if [ -n "${ONLY:-}" ]; then
  read -r -a NAMES <<< "$ONLY"
fi

# One field of the TSV: no tabs or newlines, "-" when empty.
field() {
  local s
  s="$(printf '%s' "$1" | tr '\t\r\n' '   ' | sed 's/  */ /g; s/^ //; s/ $//')"
  printf '%s' "${s:--}"
}

# Seconds since the epoch with fractions.
now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b - a }'; }

HEADER="geometry	elements	nodes	bodies	open_bodies	mesh_rc	mesh_s	velmora_rc	status	iterations	be_precond	be_unprecond	wall_s	velmora_wall_s	peak_MB	force	note"
ROWS=()

echo "closed_bodies.sh: ${#NAMES[@]} geometries from $GEO_DIR, --size $SIZE, OMP_NUM_THREADS=$OMP_NUM_THREADS" >&2
echo "closed_bodies.sh: binaries $BINDIR, scratch $WORK_DIR" >&2

for name in "${NAMES[@]}"; do
  d="$WORK_DIR/$name"
  rm -rf "$d" && mkdir -p "$d"
  if [ -f "$GEO_DIR/$name.geo" ]; then
    cp "$GEO_DIR/$name.geo" "$d/"
  elif [ -f "$GEO_DIR/$name.geo.gz" ]; then
    gunzip -c "$GEO_DIR/$name.geo.gz" > "$d/$name.geo"
  else
    ROWS+=("$name	-	-	-	-	-	-	-	missing	-	-	-	-	-	-	-	no $name.geo in $GEO_DIR")
    continue
  fi
  for f in "$DATA"/*; do
    [ -e "$f" ] && ln -s "$f" "$d/$(basename "$f")"
  done

  elements=- nodes=- bodies=- open=- mesh_rc=- mesh_s=- vrc=- status=- its=- be1=- be2=-
  wall=- vwall=- peak=- force=- note=""

  # --- Mesh step: translation with U = (1, 0, 0) for every body, given
  # explicitly so that the conditions do not hang on a default.
  echo "closed_bodies.sh: $name: meshing ..." >&2
  t0="$(now)"
  ( cd "$d" && timeout -k 30 "$MESH_TIMEOUT" "$BINDIR/velmora-mesh" "$name.geo" \
      --size "$SIZE" --velocity 1,0,0 > mesh.out 2> mesh.err )
  mesh_rc=$?
  mesh_s="$(elapsed "$t0" "$(now)")"
  read -r elements nodes bodies < <(sed -n \
    's/^Wrote .*input\.dat: \([0-9]*\) elements, \([0-9]*\) nodes, \([0-9]*\) bod.*/\1 \2 \3/p' \
    "$d/mesh.out" | head -n 1)
  elements="${elements:--}" nodes="${nodes:--}" bodies="${bodies:--}"
  if [ "$bodies" != "-" ]; then
    open="$(grep -c '^  body [0-9]*: .*, open' "$d/mesh.out")"
    [ "$open" -gt 0 ] && note="$open open bod$([ "$open" -eq 1 ] && echo y || echo ies)"
  fi

  if [ "$mesh_rc" -ne 0 ] || [ ! -s "$d/input.dat" ]; then
    case "$mesh_rc" in
      124 | 137) status=mesh-timeout; note="mesh step over ${MESH_TIMEOUT} s" ;;
      *) status=mesh-refused
         note="$(grep -v '^velmora-mesh: note:' "$d/mesh.err" | tail -n 1)"
         [ -n "$note" ] || note="$(tail -n 1 "$d/mesh.err")" ;;
    esac
  else
    # --- Solve step, no arguments, in the geometry's folder.
    echo "closed_bodies.sh: $name: $elements elements, solving ..." >&2
    its="" be1="" be2=""
    t0="$(now)"
    if [ -x /usr/bin/time ]; then
      ( cd "$d" && /usr/bin/time -f '%e %M' -o time.txt \
          timeout -k 30 "$SOLVE_TIMEOUT" "$BINDIR/velmora" > console.txt 2> console.err )
    else
      ( cd "$d" && timeout -k 30 "$SOLVE_TIMEOUT" "$BINDIR/velmora" > console.txt 2> console.err )
    fi
    vrc=$?
    wall="$(elapsed "$t0" "$(now)")"
    [ -f "$d/time.txt" ] && peak="$(tail -n 1 "$d/time.txt" | awk 'NF == 2 { printf "%.0f", $2 / 1024 }')"
    peak="${peak:--}"
    case "$vrc" in
      0) status=converged ;;
      3) status=not-converged ;;
      1) status=error ;;
      2) status=usage ;;
      124 | 137) status=timeout ;;
      *) status="exit-$vrc" ;;
    esac

    # GMRES report of output.log: " info(1) = a  info(2) = its" and
    # " rinfo(1) = be  rinfo(2) = be".
    log="$d/output.log"
    if [ -f "$log" ]; then
      its="$(sed -n 's/^ *info(1) *= *[-0-9]* *info(2) *= *\([0-9]*\).*/\1/p' "$log" | tail -n 1)"
      read -r be1 be2 < <(sed -n \
        's/^ *rinfo(1) *= *\([^ ]*\) *rinfo(2) *= *\([^ ]*\).*/\1 \2/p' "$log" | tail -n 1)
    fi
    # Not converged: the console's last line names iterations and backward error.
    if [ -z "${its:-}" ]; then
      read -r its be1 < <(sed -n \
        's/.*GMRES stopped after \([0-9]*\) iterations at a backward error of \([^ ,]*\).*/\1 \2/p' \
        "$d/console.txt" | tail -n 1)
    fi
    # Killed or stopped early: the last row of the convergence history so far
    # ("  N  Arnoldi-b.e.  True-b.e.|--"), from the console or the log.
    if [ -z "${its:-}" ]; then
      read -r its be1 < <(cat "$d/console.txt" "$log" 2>/dev/null |
        awk '/Calling the GMRES solver/ { on = 1 }
             on && $1 ~ /^[0-9]+$/ && $2 ~ /^[0-9.]+E[-+][0-9]+$/ { n = $1; b = $2 }
             END { if (n != "") print n, b }')
      [ -n "${its:-}" ] && note="${note:+$note; }history cut at iteration $its (Arnoldi b.e.)"
    fi
    its="${its:--}" be1="${be1:--}" be2="${be2:--}"

    # Total force: the line after " Total force acting on the body is:".
    force="$(awk 'f { print; exit } /Total force acting on the body is:/ { f = 1 }' "$d/console.txt")"
    force="$(field "$force")"
    vwall="$(sed -n 's/.*wall-clock time used = *[^ ]* (sec), *\([^ ]*\) (sec).*/\1/p' "$d/console.txt" | tail -n 1)"
    vwall="${vwall:--}"

    # Faulty edges found by the solver's mesh check.
    fault="$(sed -n 's/^ *Warning: \([0-9]*\) of the \([0-9]*\) edges of the mesh are at fault.*/\1 of \2 edges at fault/p' \
      "$d/console.txt" | head -n 1)"
    [ -n "$fault" ] && note="${note:+$note; }$fault"
    # An error or refusal: the last line the solver wrote on either stream.
    if [ "$vrc" -ne 0 ] && [ "$vrc" -ne 3 ] && [ "$vrc" -ne 124 ] && [ "$vrc" -ne 137 ]; then
      last="$(cat "$d/console.err" 2>/dev/null | grep -v '^Command exited' | tail -n 1)"
      [ -n "$last" ] || last="$(grep -v '^ *$' "$d/console.txt" | tail -n 1)"
      note="${note:+$note; }$last"
    fi
    [ "$status" = timeout ] && note="${note:+$note; }over ${SOLVE_TIMEOUT} s"

    if [ "$KEEP_BIG" = 0 ]; then
      rm -f "$d/input.dat" "$d/output.dat" "$d/output.plt"
    fi
  fi

  row="$(field "$name")	$(field "$elements")	$(field "$nodes")	$(field "$bodies")	$(field "$open")"
  row="$row	$(field "$mesh_rc")	$(field "$mesh_s")	$(field "$vrc")	$(field "$status")	$(field "$its")"
  row="$row	$(field "$be1")	$(field "$be2")	$(field "$wall")	$(field "$vwall")	$(field "$peak")"
  row="$row	$(field "$force")	$(field "$note")"
  ROWS+=("$row")
  echo "closed_bodies.sh: $name: $status, iterations $its, b.e. $be1, ${wall} s" >&2
done

# --- The TSV, then the markdown table on standard output.
{
  echo "$HEADER"
  printf '%s\n' "${ROWS[@]}"
} > "$OUTFILE"

# Backward error and force shortened to 3 digits; the TSV keeps them whole.
echo "| geometry | elements | bodies (open) | mesh rc | mesh s | velmora rc | status | iterations | backward error | velmora s | peak MB | force | note |"
echo "| --- | ---: | ---: | ---: | ---: | ---: | --- | ---: | ---: | ---: | ---: | --- | --- |"
printf '%s\n' "${ROWS[@]}" | awk -F '\t' '
  function g(x) { return (x == "-" || x == "") ? x : sprintf("%.3g", x) }
  {
    be = g($11)
    nf = split($16, f, " ")
    force = $16
    if (nf == 3) force = g(f[1]) " " g(f[2]) " " g(f[3])
    gsub(/\|/, "\\|", $17)
    printf "| %s | %s | %s (%s) | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s |\n",
      $1, $2, $4, $5, $6, $7, $8, $9, $10, be, $13, $15, force, $17
  }'
echo
echo "Written: $OUTFILE (scratch: $WORK_DIR)"
