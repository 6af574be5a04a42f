#!/bin/bash
# Installs what is needed, builds the extension, takes the tour of the API
# goes on with nearest neighbours on Fashion-MNIST, drawn into a PNG, and
# ends with full-text and hybrid search over Debian's package descriptions.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh --demo
build_dir=${QARBIN_BUILD_DIR:-build}
php -n -d extension="$PWD/$build_dir/qarbin.so" examples/demo.php
echo
php -n -d extension="$PWD/$build_dir/qarbin.so" -d extension=gd examples/fashion_demo.php "$build_dir/fashion_neighbours.png"
echo
php -n -d extension="$PWD/$build_dir/qarbin.so" -d extension=sqlite3 examples/packages_demo.php
