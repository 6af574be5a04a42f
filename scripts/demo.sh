#!/bin/bash
# Installs what is needed, builds the extension and runs the demo.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
build_dir=${QARBIN_BUILD_DIR:-build}
php -n -d extension="$PWD/$build_dir/qarbin.so" examples/demo.php
