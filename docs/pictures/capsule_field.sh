#!/usr/bin/env bash
# The picture of docs/tools.md: the tutorial's capsule (translating with
# U = (1, 0, 0) and rotating with Omega = (0, 0, 0.5)), meshed through Gmsh,
# solved, and evaluated by velmora-field on the plane z = 0; pressure on the
# plane and streamlines of the flow relative to the translating body,
# rendered offscreen by VTK (Debian python3-vtk9; without a display it runs
# under xvfb-run from the xvfb package).  Missing packages, those of the
# build and those of the pictures (tools/deps.sh), are installed first.
#
#   docs/pictures/capsule_field.sh [OUT.png]     (default docs/pictures/capsule_field.png)
# Settings (environment): BUILD (build), WORK (a temporary folder).
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
BUILD="${BUILD:-$ROOT/build}"
VELMORA_ROOT="$ROOT"
source "$ROOT/tools/deps.sh"
VELMORA_PACKAGES+=("${VELMORA_PICTURE_PACKAGES[@]}")
velmora_install_packages
OUT="$(realpath -m "${1:-$ROOT/docs/pictures/capsule_field.png}")"
WORK="${WORK:-$(mktemp -d)}"
mkdir -p "$WORK/run"
cat > "$WORK/capsule.geo" <<'GEO'
// A capsule: a cylinder of radius 0.5 and length 2 along x with hemispherical ends.
SetFactory("OpenCASCADE");
Cylinder(1) = {-1, 0, 0, 2, 0, 0, 0.5};
Sphere(2) = {-1, 0, 0, 0.5};
Sphere(3) = {1, 0, 0, 0.5};
BooleanUnion{ Volume{1}; Delete; }{ Volume{2, 3}; Delete; }
Physical Surface("capsule") = Surface{:};
GEO
cd "$WORK/run"
"$BUILD/velmora-mesh" ../capsule.geo --size 0.15 --group capsule --velocity 1,0,0 \
    --rotation 0,0,0.5 --mu 1 --new-cnd
"$BUILD/velmora" > solve.txt
"$BUILD/velmora-post" > post.txt
"$BUILD/velmora-field" --plane -3,-2,0,6,0,0,0,4,0,301,201 --out slice
render=(/usr/bin/python3 "$ROOT/docs/pictures/render_field.py" . slice.vti "$OUT" 3 1,0,0)
if [ -z "${DISPLAY:-}" ] && command -v xvfb-run > /dev/null; then
  xvfb-run -a -s "-screen 0 1280x1024x24" "${render[@]}"
else
  "${render[@]}"
fi
echo "wrote $OUT"
