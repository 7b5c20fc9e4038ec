# Shared by tools/setup.sh and tools/test.sh (sourced, not run): the Debian
# packages Velmora needs, their installation, and the Release build in build/.
# VELMORA_ROOT must be set to the repository root before sourcing.

VELMORA_PACKAGES=(cmake g++ make libopenblas-dev libopenmpi-dev openmpi-bin libgtest-dev libbenchmark-dev libgmsh-dev gmsh zlib1g-dev libmuparser-dev python3-meshio
  pybind11-dev python3-dev python3-numpy python3-pytest python3-tqdm python3-matplotlib)

# The Python the module is built for and installed into: Debian's own, whose
# packages (numpy, pytest, tqdm, matplotlib) the list above installs.
VELMORA_PYTHON3="${VELMORA_PYTHON3:-/usr/bin/python3}"
[[ -x "$VELMORA_PYTHON3" ]] || VELMORA_PYTHON3="$(command -v python3 || true)"

# Only for the pictures of the documentation (docs/pictures/*.sh): VTK's
# Python module for the offscreen rendering, and a virtual X server for
# machines without a display.  docs/pictures/capsule_field.sh installs them.
VELMORA_PICTURE_PACKAGES=(python3-vtk9 xvfb xauth)

# Installs with apt-get whatever of VELMORA_PACKAGES is missing; does nothing
# (and needs no root) when all are present.
velmora_install_packages() {
  if ! command -v dpkg-query >/dev/null 2>&1; then
    echo "Not a Debian system: make sure these are installed: ${VELMORA_PACKAGES[*]}" >&2
    return 0
  fi
  local missing=() p
  for p in "${VELMORA_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  ((${#missing[@]} == 0)) && return 0
  echo "Installing missing Debian packages: ${missing[*]}"
  local as_root=()
  if ((EUID != 0)); then
    if command -v sudo >/dev/null 2>&1; then
      as_root=(sudo)
    else
      echo "error: installing packages needs root; run as root or install: ${missing[*]}" >&2
      return 1
    fi
  fi
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -q --no-install-recommends "${missing[@]}"
}

# Configures build/ (Release) and builds everything: the velmora program,
# the test suite and the benchmarks.
velmora_build() {
  cmake -S "$VELMORA_ROOT" -B "$VELMORA_ROOT/build" -DCMAKE_BUILD_TYPE=Release \
    ${VELMORA_PYTHON3:+-DPython_EXECUTABLE="$VELMORA_PYTHON3"}
  cmake --build "$VELMORA_ROOT/build" -j "$(nproc)"
  velmora_install_python
}

# Configures build-mpi/ (Release, -DVELMORA_MPI=ON: mpirun -np P
# build-mpi/velmora) and builds the programs, without the test suite,
# benchmarks or Python module; its tests compare its runs of several
# processes with build/velmora's.
velmora_build_mpi() {
  cmake -S "$VELMORA_ROOT" -B "$VELMORA_ROOT/build-mpi" -DCMAKE_BUILD_TYPE=Release -DVELMORA_MPI=ON \
    -DVELMORA_TESTS=OFF -DVELMORA_BENCH=OFF -DVELMORA_PYTHON=OFF \
    -DVELMORA_SERIAL_EXE="$VELMORA_ROOT/build/velmora"
  cmake --build "$VELMORA_ROOT/build-mpi" -j "$(nproc)" --target velmora velmora-mesh velmora-rigid velmora-field
}

# Makes "import velmora" work for $VELMORA_PYTHON3: a velmora.pth naming
# build/python in its site-packages (the system's when writable, as root;
# the user's otherwise).  The package stays in build/, so a rebuild needs
# no reinstall; deleting velmora.pth undoes it.
velmora_install_python() {
  local pkg="$VELMORA_ROOT/build/python"
  [[ -n "$VELMORA_PYTHON3" && -d "$pkg/velmora" ]] || {
    echo "The Python module was not built (pybind11-dev missing?)" >&2
    return 0
  }
  local site
  site="$("$VELMORA_PYTHON3" -c 'import site; print(site.getsitepackages()[0])')"
  if ! { mkdir -p "$site" 2>/dev/null && [[ -w "$site" ]]; }; then
    site="$("$VELMORA_PYTHON3" -c 'import site; print(site.getusersitepackages())')"
    mkdir -p "$site"
  fi
  echo "$pkg" > "$site/velmora.pth"
  echo "Python: import velmora works for $VELMORA_PYTHON3 ($site/velmora.pth -> $pkg)"
}
