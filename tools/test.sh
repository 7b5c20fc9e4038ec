#!/usr/bin/env bash
# Command two: installs missing Debian packages (as root), builds Velmora in
# build/ and runs the test suite.
set -euo pipefail
VELMORA_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$VELMORA_ROOT/tools/deps.sh"

velmora_install_packages
velmora_build
cd "$VELMORA_ROOT/build"
ctest --output-on-failure -j2
