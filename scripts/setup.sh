#!/bin/bash
# Installs what the build and the tests need (Debian packages only) and
# builds qarbin.so under build/. Quick when everything is already there.
# usage: setup.sh [--demo]   (--demo: also the Fashion-MNIST data and PHP's GD)
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake g++ make php8.2-dev php8.2-cli php8.2-cgi php8.2-fpm libfcgi-bin libgtest-dev libbenchmark-dev libsimdjson-dev libicu-dev libstemmer-dev libsqlite3-dev php8.2-sqlite3)
if [ "${1:-}" = "--demo" ]; then packages+=(dataset-fashion-mnist php8.2-gd); fi
missing=()
for p in "${packages[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    SUDO=""
    [ "$(id -u)" -ne 0 ] && SUDO=sudo
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# The package demo searches apt's English package descriptions.
if [ "${1:-}" = "--demo" ] && ! ls /var/lib/apt/lists/*_i18n_Translation-en* >/dev/null 2>&1; then
    SUDO=""
    [ "$(id -u)" -ne 0 ] && SUDO=sudo
    $SUDO apt-get update -qq -o Acquire::Languages=en
fi

build_dir=${QARBIN_BUILD_DIR:-build}
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Release ${QARBIN_CMAKE_ARGS:-} >/dev/null
cmake --build "$build_dir" -j"$(nproc)"
