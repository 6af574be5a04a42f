#!/bin/bash
# Builds everything and runs every test: the C++ unit tests of core/, the
# .phpt suite against the built module, and (test phpize.make_test) a phpize
# build in a copy of the tree with "make test" running the same suite, all
# through CTest. Ends with a line "N passed, N failed, N skipped" and fails
# when any test fails.
set -uo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh || { echo "0 passed, 1 failed"; exit 1; }

build_dir=${QARBIN_BUILD_DIR:-build}
log=$(mktemp)
(cd "$build_dir" && ctest --output-on-failure -j"$(nproc)" "$@") 2>&1 | tee "$log"
rc=${PIPESTATUS[0]}

summary=$(grep -E "tests passed, [0-9]+ tests failed out of [0-9]+" "$log" | tail -1)
skipped=$(grep -c -E "^[[:space:]]*[0-9]+ - .*\(Skipped\)$" "$log" || true)
rm -f "$log"
if [ -z "$summary" ]; then
    echo "0 passed, 1 failed"
    exit 1
fi
failed=$(echo "$summary" | sed -E 's/.*tests passed, ([0-9]+) tests failed out of ([0-9]+).*/\1/')
total=$(echo "$summary" | sed -E 's/.*tests passed, ([0-9]+) tests failed out of ([0-9]+).*/\2/')
echo "$((total - failed - skipped)) passed, $failed failed, $skipped skipped"
[ "$rc" -eq 0 ] && [ "$failed" -eq 0 ]
