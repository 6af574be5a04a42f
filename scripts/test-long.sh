#!/bin/bash
# Longer reliability runs, beyond what `bash scripts/test.sh` does in CI:
#   1. fuzz   libFuzzer over segment files (clang 14, ASan + UBSan) for N
#             minutes, seeded with valid segments of every encoding; any
#             crash is copied to tests/fuzz/crashes/, where the unit suite
#             replays it from then on
#   2. kill   the killed-writer and many-process .phpt tests with many more
#             rounds and records
#   3. san    every unit program built with ASan + UBSan
#   4. asan   the whole .phpt suite against a qarbin.so built with ASan +
#             UBSan (a small LD_PRELOAD shim drops RTLD_DEEPBIND, which
#             Debian's PHP passes to dlopen and the sanitizer refuses)
#   5. valgrind  the whole .phpt suite under valgrind (run-tests.php -m)
#   6. tsan   the unit tests of the graph build on threads and of the batch
#             search built with ThreadSanitizer
#
# usage: bash scripts/test-long.sh [STEP...]      (default: every step)
#   QARBIN_FUZZ_MINUTES  fuzzing time, default 10
#   QARBIN_KILL_ROUNDS   kill rounds per storage mode, default 200
#   QARBIN_PROC_SCALE    records per worker multiplier, default 4
# Installs clang-14, libclang-rt-14-dev and valgrind from Debian when they
# are missing. Builds in ${QARBIN_LONG_PREFIX:-build-long}-fuzz, -san and
# -asan, and the plain module in ${QARBIN_BUILD_DIR:-build} through setup.sh.
# Ends with one line per step and fails when any step failed.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
steps=("$@")
[ ${#steps[@]} -eq 0 ] && steps=(fuzz kill san asan valgrind tsan)
minutes=${QARBIN_FUZZ_MINUTES:-10}
jobs=$(nproc)
prefix=${QARBIN_LONG_PREFIX:-build-long}
build=${QARBIN_BUILD_DIR:-build}
log=$root/$prefix.log
: >"$log"
declare -A result

need=()
for p in clang-14 libclang-rt-14-dev valgrind; do dpkg -s "$p" >/dev/null 2>&1 || need+=("$p"); done
if [ ${#need[@]} -gt 0 ]; then
    SUDO=""
    [ "$(id -u)" -ne 0 ] && SUDO=sudo
    $SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need[@]}" >/dev/null
fi
./scripts/setup.sh >>"$log" 2>&1 || { echo "setup failed (see $log)"; exit 1; }

php_bin=$(php-config --php-binary)
run_tests=$(php-config --extension-dir)/build/run-tests.php

# Runs the .phpt files given (default: all) with run-tests.php against a
# module, extra run-tests options first. Prints "PASSED FAILED SKIPPED";
# memory errors and leaks (LEAK) and broken tests (BORK) count as failed.
phpt_suite() {
    local module=$1 opts=$2
    shift 2
    local work out
    work=$(mktemp -d)
    out=$(mktemp)
    local files=("$@")
    [ ${#files[@]} -eq 0 ] && mapfile -t files < <(find tests/php -name '*.phpt' | sort)
    for f in "${files[@]}"; do
        local d
        d="$work/$(dirname "${f#tests/php/}")"
        mkdir -p "$d"
        cp "$f" "$d/"
        [ -d "$(dirname "$f")/fixtures" ] && cp -r "$(dirname "$f")/fixtures" "$d/"
    done
    # shellcheck disable=SC2086
    QARBIN_SOURCE_DIR=$root NO_INTERACTION=1 TEST_PHP_EXECUTABLE=$php_bin "$php_bin" -n "$run_tests" -q --no-color --no-progress \
        --show-diff -j"$jobs" $opts -p "$php_bin" -n -d "extension=$module" "$work" >"$out" 2>&1
    cat "$out" >>"$log"
    find "$work" -name '*.mem' -exec sh -c 'echo "== $1"; head -60 "$1"' _ {} \; >>"$log"
    echo "$(grep -c '^PASS ' "$out") $(grep -c -E '^(FAIL|LEAK|BORK) ' "$out") $(grep -c '^SKIP ' "$out")"
    rm -rf "$work" "$out"
}

for step in "${steps[@]}"; do
    echo "== $step" | tee -a "$log"
    case $step in
    fuzz)
        CXX=clang++-14 cmake -S . -B $prefix-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQARBIN_FUZZ=ON \
            -DQARBIN_TESTS=OFF >>"$log" 2>&1 &&
            cmake --build $prefix-fuzz --target fuzz_segment fuzz_seeds -j"$jobs" >>"$log" 2>&1 ||
            { result[$step]="build failed"; continue; }
        rm -rf $prefix-fuzz/seeds $prefix-fuzz/artifacts
        mkdir -p $prefix-fuzz/corpus $prefix-fuzz/artifacts
        $prefix-fuzz/fuzz_seeds $prefix-fuzz/seeds >>"$log"
        fdir=$(mktemp -d /dev/shm/qarbin_fuzz_XXXXXX 2>/dev/null || mktemp -d)
        TMPDIR=$fdir $prefix-fuzz/fuzz_segment -max_total_time=$((minutes * 60)) -rss_limit_mb=2048 \
            -max_len=200000 -timeout=30 -print_final_stats=1 -artifact_prefix=$prefix-fuzz/artifacts/ \
            $prefix-fuzz/corpus $prefix-fuzz/seeds >$prefix-fuzz/fuzz.log 2>&1
        rm -rf "$fdir"
        execs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' $prefix-fuzz/fuzz.log | grep -o '[0-9]*$')
        crashes=$(find $prefix-fuzz/artifacts -type f | wc -l)
        mkdir -p tests/fuzz/crashes
        for f in $prefix-fuzz/artifacts/*; do [ -f "$f" ] && cp "$f" tests/fuzz/crashes/; done
        result[$step]="$minutes min, ${execs:-?} executions, $crashes crashes (copied to tests/fuzz/crashes)"
        [ "$crashes" -eq 0 ] || result[$step]+=" FAILED"
        ;;
    kill)
        rel=$root/$prefix-figures.log
        : >"$rel"
        out=$(QARBIN_KILL_ROUNDS=${QARBIN_KILL_ROUNDS:-200} QARBIN_PROC_SCALE=${QARBIN_PROC_SCALE:-4} \
            QARBIN_RELIABILITY_LOG=$rel phpt_suite "$root/$build/qarbin.so" "" \
            tests/php/reliability/killed_writer.phpt tests/php/reliability/many_processes.phpt)
        result[$step]="passed/failed/skipped $out; $(tr '\n' ' ' <"$rel")"
        [ "$(echo "$out" | cut -d" " -f2)" = 0 ] || result[$step]+=" FAILED"
        ;;
    san)
        cmake -S . -B $prefix-san -DCMAKE_BUILD_TYPE=Debug -DQARBIN_SANITIZE=ON >>"$log" 2>&1 &&
            cmake --build $prefix-san --target unit_math unit_segment unit_index unit_store -j"$jobs" >>"$log" 2>&1 ||
            { result[$step]="build failed"; continue; }
        bad=0
        for u in math segment index store; do $prefix-san/unit_$u >>"$log" 2>&1 || bad=$((bad + 1)); done
        result[$step]="$((4 - bad)) of 4 unit programs clean"
        [ $bad -eq 0 ] || result[$step]+=" FAILED"
        ;;
    asan)
        cmake -S . -B $prefix-asan -DCMAKE_BUILD_TYPE=Debug -DQARBIN_SANITIZE_MODULE=ON -DQARBIN_TESTS=OFF \
            >>"$log" 2>&1 && cmake --build $prefix-asan --target qarbin -j"$jobs" >>"$log" 2>&1 ||
            { result[$step]="build failed"; continue; }
        cat >$prefix-asan/deepbind_shim.c <<'EOF'
#define _GNU_SOURCE
#include <dlfcn.h>
/* The sanitizer runtime refuses RTLD_DEEPBIND; PHP passes it to every
   extension it loads. */
void* dlopen(const char* file, int mode) {
    static void* (*real)(const char*, int);
    if (!real) real = (void* (*)(const char*, int))dlsym(RTLD_NEXT, "dlopen");
    return real(file, mode & ~RTLD_DEEPBIND);
}
EOF
        gcc -shared -fPIC -O1 -o $prefix-asan/deepbind_shim.so $prefix-asan/deepbind_shim.c -ldl
        preload="$root/$prefix-asan/deepbind_shim.so:$(gcc -print-file-name=libasan.so):$(gcc -print-file-name=libubsan.so)"
        # Count only what this step writes: earlier steps share the log.
        log_start=$(($(stat -c %s "$log") + 1))
        out=$(LD_PRELOAD=$preload ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 \
            USE_ZEND_ALLOC=0 ZEND_DONT_UNLOAD_MODULES=1 phpt_suite "$root/$prefix-asan/qarbin.so" "--set-timeout 1800")
        reports=$(tail -c +"$log_start" "$log" | grep -c -E 'ERROR: AddressSanitizer|runtime error:' || true)
        result[$step]="passed/failed/skipped $out, sanitizer reports $reports"
        [ "$(echo "$out" | cut -d" " -f2)" = 0 ] && [ "$reports" -eq 0 ] || result[$step]+=" FAILED"
        ;;
    tsan)
        cmake -S . -B $prefix-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQARBIN_TSAN=ON >>"$log" 2>&1 &&
            cmake --build $prefix-tsan --target unit_index unit_store -j"$jobs" >>"$log" 2>&1 ||
            { result[$step]="build failed"; continue; }
        log_start=$(($(stat -c %s "$log") + 1))
        bad=0
        # halt_on_error: a race fails the program, not only the report.
        TSAN_OPTIONS=halt_on_error=1 $prefix-tsan/unit_index --gtest_filter='HnswParallel*:HnswSteps*' >>"$log" 2>&1 ||
            bad=$((bad + 1))
        TSAN_OPTIONS=halt_on_error=1 $prefix-tsan/unit_store --gtest_filter='StoreBatch*' >>"$log" 2>&1 ||
            bad=$((bad + 1))
        reports=$(tail -c +"$log_start" "$log" | grep -c 'WARNING: ThreadSanitizer' || true)
        result[$step]="$((2 - bad)) of 2 unit programs clean, ThreadSanitizer reports $reports"
        [ $bad -eq 0 ] && [ "$reports" -eq 0 ] || result[$step]+=" FAILED"
        ;;
    valgrind)
        # PCRE JIT code gives valgrind false reports of uninitialised reads.
        out=$(phpt_suite "$root/$build/qarbin.so" "-m --set-timeout 3600 -d pcre.jit=0")
        result[$step]="passed/failed/skipped $out (memory errors and leaks count as failures)"
        [ "$(echo "$out" | cut -d" " -f2)" = 0 ] || result[$step]+=" FAILED"
        ;;
    *)
        result[$step]="unknown step"
        ;;
    esac
    echo "${result[$step]}" | tee -a "$log"
done

echo "== summary (details in $log)"
rc=0
for step in "${steps[@]}"; do
    echo "$step: ${result[$step]}"
    # Only a step's own verdict counts: "passed/failed/skipped" is a label.
    case ${result[$step]} in *FAILED | "build failed" | unknown*) rc=1 ;; esac
done
exit $rc
