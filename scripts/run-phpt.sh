#!/bin/bash
# Runs one .phpt file with the engine's run-tests.php against a built module.
# usage: run-phpt.sh PHP_CONFIG QARBIN_SO TEST.phpt
set -u
php_config=$1 module=$2 test=$3
php_bin=$("$php_config" --php-binary)
run_tests=$("$php_config" --extension-dir)/build/run-tests.php
[ -f "$run_tests" ] || run_tests=$(dirname "$("$php_config" --include-dir)")/../lib/php/build/run-tests.php
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# run-tests.php writes its .out/.diff files next to the test: work on a copy.
cp "$test" "$work/"
# Fixtures a test reads live beside it.
[ -d "$(dirname "$test")/fixtures" ] && cp -r "$(dirname "$test")/fixtures" "$work/"
out=$(NO_INTERACTION=1 TEST_PHP_EXECUTABLE=$php_bin "$php_bin" -n "$run_tests" -q --no-color --no-progress --show-diff \
      -p "$php_bin" -n -d "extension=$module" "$work/$(basename "$test")" 2>&1)
rc=$?
if echo "$out" | grep -q "^PASS "; then
    exit 0
elif echo "$out" | grep -q "^SKIP "; then
    echo "$out" | grep "^SKIP "
    exit 77
fi
echo "$out"
[ $rc -ne 0 ] && exit $rc
exit 1
