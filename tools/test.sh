#!/usr/bin/env bash
# Command two: installs missing Debian packages (as root), builds Velmora in
# build/, makes the Python module importable and runs both test suites
# (CTest, then pytest on python/tests), then builds the MPI build in
# build-mpi/ and runs its tests (runs of 1 to 4 processes).
set -euo pipefail
VELMORA_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$VELMORA_ROOT/tools/deps.sh"

velmora_install_packages
velmora_build
cd "$VELMORA_ROOT/build"
ctest --output-on-failure -j2

# The Python module's suite, on the package just built.
cd "$VELMORA_ROOT"
PYTHONPATH="$VELMORA_ROOT/build/python" "$VELMORA_PYTHON3" -m pytest -q -p no:cacheprovider \
  python/tests

# The MPI build: runs of several processes against build/velmora.
velmora_build_mpi
cd "$VELMORA_ROOT/build-mpi"
ctest --output-on-failure -L mpi
