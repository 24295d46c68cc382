#!/usr/bin/env bash
# Installs the dependencies, builds the release program and starts it (arguments go to zentrova).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release --target zentrova regtool
# As an installer would: the configuration's defaults where the store has no value yet.
bash scripts/install-defaults.sh build/release/tools/regtool/regtool "${1:-}" || true
exec build/release/app/zentrova "$@"
