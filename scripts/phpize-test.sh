#!/bin/bash
# Builds qarbin.so the way PECL and PIE do (phpize, ./configure, make) in a
# copy of the source tree and runs "make test" there, the .phpt suite against
# that module. Exits non-zero when the build or any test fails.
# usage: phpize-test.sh [PHP_CONFIG [WORK_DIR]]
set -uo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
php_config=$(command -v "${1:-php-config}") || { echo "php-config not found: ${1:-php-config}"; exit 1; }
work=${2:-$src/build/phpize}
# phpize of the same engine: /usr/bin/php-config8.2 goes with /usr/bin/phpize8.2.
phpize="$(dirname "$php_config")/$(basename "$php_config" | sed 's/php-config/phpize/')"
[ -x "$phpize" ] || phpize=$(command -v phpize) || { echo "phpize not found (install php8.2-dev)"; exit 1; }

# phpize writes many files into the tree it runs in: build in a fresh copy of
# the files a release carries (tracked and new, not ignored ones).
rm -rf "$work" && mkdir -p "$work" || exit 1
if git -C "$src" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    (cd "$src" && git ls-files --cached --others --exclude-standard -z |
        while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done |
        tar -cf - --null -T -) | tar -xf - -C "$work" || exit 1
else
    (cd "$src" && tar -cf - --exclude='./build*' .) | tar -xf - -C "$work" || exit 1
fi

cd "$work" || exit 1
log=$work/build.log
if ! { "$phpize" && ./configure --enable-qarbin --with-php-config="$php_config" && make -j"$(nproc)"; } >"$log" 2>&1; then
    tail -40 "$log"
    echo "phpize build failed (full log: $log)"
    exit 1
fi
echo "built $work/modules/qarbin.so with phpize"
NO_INTERACTION=1 make test 2>&1 | tee "$work/test.log" | grep -E "^(FAIL|SKIP|BORK|LEAK|WARN)|^Tests (failed|passed|skipped)|^Number of tests"
rc=${PIPESTATUS[0]}
grep -q "^Tests failed *: *0 " "$work/test.log" || rc=1
grep -Eq "^Tests passed *: *[1-9]" "$work/test.log" || rc=1
[ "$rc" -eq 0 ] || { grep -A30 "^FAILED TEST SUMMARY" "$work/test.log"; echo "make test failed (log: $work/test.log)"; }
exit "$rc"
