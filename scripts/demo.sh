#!/bin/bash
# Installs what is needed, builds the extension, takes the tour of the API
# and ends with nearest neighbours on Fashion-MNIST, drawn into a PNG.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh --demo
build_dir=${QARBIN_BUILD_DIR:-build}
php -n -d extension="$PWD/$build_dir/qarbin.so" examples/demo.php
echo
php -n -d extension="$PWD/$build_dir/qarbin.so" -d extension=gd examples/fashion_demo.php "$build_dir/fashion_neighbours.png"
