#!/usr/bin/env bash
# Command two: installs missing Debian packages (as root), builds Velmora in
# build/, makes the Python module importable and runs both test suites
# (CTest, then pytest on python/tests).
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
