#!/usr/bin/env bash
# Installs what Torvik needs, builds it and starts the program in the current
# folder, which holds its database file "Torvik.rvd".
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
(cd "$root" && bash tools/packages.sh &&
  cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
  cmake --build build -j"$(nproc)" --target torvik)
exec "$root/build/app/torvik"
