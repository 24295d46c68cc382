#!/usr/bin/env bash
# Installs the dependencies, builds the release program and starts it (arguments go to zentrova).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release --target zentrova
exec build/release/app/zentrova "$@"
