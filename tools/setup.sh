#!/usr/bin/env bash
# Command one: installs missing Debian packages (as root), builds Velmora in
# build/, runs the bundled sphere example in scratch/sphere-translate and
# velmora-rigid on the same sphere in scratch/sphere-rigid.
set -euo pipefail
VELMORA_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$VELMORA_ROOT/tools/deps.sh"

velmora_install_packages
velmora_build

run_dir="$VELMORA_ROOT/scratch/sphere-translate"
mkdir -p "$run_dir"
cp "$VELMORA_ROOT/examples/sphere-translate/input.cnd" \
   "$VELMORA_ROOT/examples/sphere-translate/input.dat" "$run_dir/"
echo
echo "Running build/velmora in $run_dir"
(cd "$run_dir" && "$VELMORA_ROOT/build/velmora")
echo
echo "Done. The program is $VELMORA_ROOT/build/velmora; the example's results are in"
echo "  $run_dir/output.log  (run log)"
echo "  $run_dir/output.dat  (solution per element, total force)"
echo "  $run_dir/output.plt  (Tecplot surface data)"

# The same sphere as a rigid body under a unit force along x: velmora-rigid
# finds its velocity (about 1/(6 pi) = 0.0531) and the surface tractions.
rigid_dir="$VELMORA_ROOT/scratch/sphere-rigid"
mkdir -p "$rigid_dir"
cp "$run_dir/input.cnd" "$run_dir/input.dat" "$rigid_dir/"
echo
echo "Running build/velmora-rigid --force 1,0,0 in $rigid_dir"
"$VELMORA_ROOT/build/velmora-rigid" --dir "$rigid_dir" --force 1,0,0
echo "  $rigid_dir/rigid.json  (velocities, solves)"
echo "  $rigid_dir/rigid.vtu   (surface tractions for ParaView)"
echo
echo "Companion tools (docs/tools.md): $VELMORA_ROOT/build/velmora-mesh (models),"
echo "  velmora-post (forces, ParaView surface file), velmora-field (flow in the fluid),"
echo "  velmora-rigid (rigid bodies: mobility, resistance)"
