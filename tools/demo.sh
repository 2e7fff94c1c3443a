#!/usr/bin/env bash
# The demo: grows as the library's capabilities land.
set -euo pipefail
build=${1:-build/release}
"$build/tools/dezsign" --version
