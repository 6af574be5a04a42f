#!/usr/bin/env bash
# Graph search of this tree against another commit's, on the same stored
# graphs: the hits must be identical (keys and score bits, every query and
# precision), then both search alternately and the median queries per second
# of each are compared. Not a test: a check and a measurement to run by hand.
#   bench/compare_graph.sh <commit> [sets...]     (default sets: c10k128 c100k128 c100k384 fm-cos fm-l2)
# Environment: FORMAT (7), PAIRS (5 alternating runs each), QUERIES (1000),
# EFS (10,20,40,80,160,320), WORK (/tmp/qarbin-compare-$USER).
# The graphs are built once by the other commit's build (save=), so a change
# of the build itself is measured by graph_speed's build figure instead.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
base=${1:?commit to compare with}
shift
sets=("$@")
[ ${#sets[@]} -gt 0 ] || sets=(c10k128 c100k128 c100k384 fm-cos fm-l2)
format=${FORMAT:-7}
pairs=${PAIRS:-5}
queries=${QUERIES:-1000}
efs=${EFS:-10,20,40,80,160,320}
work=${WORK:-/tmp/qarbin-compare-$(id -un)}

mkdir -p "$work" "$root/bench/data"
for f in train-images t10k-images; do
    [ -s "$root/bench/data/$f.idx" ] || gunzip -c "/usr/share/datasets/fashion-mnist/$f-idx3-ubyte.gz" >"$root/bench/data/$f.idx"
done

# The other commit's tree, with this tree's benchmark program.
if [ ! -x "$work/base/build/graph_speed" ] || [ "$(cat "$work/base/commit" 2>/dev/null)" != "$(git -C "$root" rev-parse "$base")" ]; then
    rm -rf "$work/base"
    mkdir -p "$work/base/src"
    GIT_INDEX_FILE="$work/base/index" git -C "$root" read-tree "$base"
    GIT_INDEX_FILE="$work/base/index" git -C "$root" checkout-index -a --prefix="$work/base/src/"
    cp "$root/bench/graph_speed.cpp" "$work/base/src/bench/"
    cmake -S "$work/base/src" -B "$work/base/build" -DCMAKE_BUILD_TYPE=Release -DQARBIN_BENCH=ON >/dev/null
    cmake --build "$work/base/build" --target graph_speed -j2 >/dev/null
    git -C "$root" rev-parse "$base" >"$work/base/commit"
fi
cmake -S "$root" -B "$root/build-bench" -DCMAKE_BUILD_TYPE=Release -DQARBIN_BENCH=ON >/dev/null
cmake --build "$root/build-bench" --target graph_speed -j2 >/dev/null
old=$work/base/build/graph_speed
new=$root/build-bench/graph_speed
common=(fm="$root/bench/data" queries="$queries" efs="$efs")

qps() {  # the QPS column of one run's table, one "ef qps" line per precision
    awk -F'|' '/^\| [0-9]/ { gsub(/ /, ""); print $2, $4 }'
}

echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
for s in "${sets[@]}"; do
    seg=$work/$s.v$format
    [ -s "$seg" ] || "$old" set="$s" format="$format" save="$seg" efs=10 rounds=1 queries=10 fm="$root/bench/data" >/dev/null
    "$old" set="$s" load="$seg" rounds=1 dump="$work/$s.old" "${common[@]}" >/dev/null
    "$new" set="$s" load="$seg" rounds=1 dump="$work/$s.new" "${common[@]}" >/dev/null
    if cmp -s "$work/$s.old" "$work/$s.new"; then same=identical; else same=DIFFERENT; fi
    : >"$work/$s.times"
    for ((i = 0; i < pairs; i++)); do
        "$old" set="$s" load="$seg" rounds=1 "${common[@]}" | qps | sed 's/^/old /' >>"$work/$s.times"
        "$new" set="$s" load="$seg" rounds=1 "${common[@]}" | qps | sed 's/^/new /' >>"$work/$s.times"
    done
    recall=$("$new" set="$s" load="$seg" rounds=1 "${common[@]}" | awk -F'|' '/^\| [0-9]/ { gsub(/ /, ""); printf "%s:%s ", $2, $3 }')
    echo "## $s (format $format, $queries queries, $pairs alternating runs each): hits $same"
    echo "recall@10 by precision: $recall"
    echo "| precision | previous QPS (median) | this QPS (median) | ratio |"
    echo "|---|---|---|---|"
    awk '{ k = $2 " " $1; v[k, ++n[k]] = $3; efs[$2] = 1 }
         function med(k,   m, i, j, t, a) { m = n[k]; for (i = 1; i <= m; i++) a[i] = v[k, i];
             for (i = 1; i <= m; i++) for (j = i + 1; j <= m; j++) if (a[j] < a[i]) { t = a[i]; a[i] = a[j]; a[j] = t }
             return a[int((m + 1) / 2)] }
         END { for (e in efs) { o = med(e " old"); w = med(e " new"); printf "%d %d %d %.2f\n", e, o, w, w / o } }' \
        "$work/$s.times" | sort -n | awk '{ printf "| %s | %s | %s | %sx |\n", $1, $2, $3, $4 }'
done
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
