#!/usr/bin/env bash
# The whole benchmark in one command (about 30 minutes on 2 cores):
#   bench/run.sh [build dir]            (default: build-bench, Release)
# Builds the extension and bench/ann_bench, unpacks Fashion-MNIST into
# bench/data (with the cached exact top-10 lists), runs every figure and
# writes bench/RESULTS.md and bench/recall_qps.png. The graph goals compare
# with the bench/RESULTS.md committed before the run.
# SYNTH_N (default 100000) sets the size of the clustered sets (the
# 500-cluster graph set has half as many); COMPACT_N (default 1000000) the
# store size of the compaction figures.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-bench}
data=$root/bench/data
out=$root/bench/RESULTS.md
png=$root/bench/recall_qps.png
synth_n=${SYNTH_N:-100000}
fm=/usr/share/datasets/fashion-mnist

need=()
[ -f "$fm/train-images-idx3-ubyte.gz" ] || need+=(dataset-fashion-mnist)
command -v gnuplot >/dev/null || need+=(gnuplot-nox)
if [ ${#need[@]} -gt 0 ]; then
    if [ "$(id -u)" = 0 ]; then
        apt-get install -y "${need[@]}"
    else
        echo "missing packages: ${need[*]} (apt-get install them)" >&2
        exit 1
    fi
fi

start=$(date +%s)
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DQARBIN_BENCH=ON >/dev/null
cmake --build "$build" --target qarbin ann_bench bench_compact -j2 >/dev/null

mkdir -p "$data"
for f in train-images t10k-images; do
    [ -s "$data/$f.idx" ] || gunzip -c "$fm/$f-idx3-ubyte.gz" >"$data/$f.idx"
done
rm -f "$data/goals.md"
# The graph goals compare with the last committed run: keep its RESULTS.md
# before this run overwrites it, and extract its graph figures (commit, ms
# per query and recall per set and ef, graph build seconds).
git -C "$root" show HEAD:bench/RESULTS.md >"$data/previous_RESULTS.md" 2>/dev/null ||
    cp "$out" "$data/previous_RESULTS.md" 2>/dev/null || : >"$data/previous_RESULTS.md"
awk -F'|' '
function trim(s) { gsub(/^[ \t]+|[ \t]+$/, "", s); return s }
/^Written by .*commit / { c = $0; sub(/.*commit /, "", c); sub(/\.$/, "", c); print "from\t" c }
/^\*\*/ { s = $0; sub(/^\*\*/, "", s); sub(/\*\*.*/, "", s); sub(/, one segment$/, "", s); set = s; next }
/^#/ || /^Build and memory/ { set = "" }
set != "" && /^\| *[0-9]+ *\| *[0-9.]+ *\|/ { print "graph\t" set "\t" trim($2) "\t" trim($3) "\t" trim($5) }
/^\| data \|/ { col = 0; for (i = 2; i < NF; i++) if (trim($i) == "build s") col = i; next }
col && /^\|/ && !/^\|---/ { n = trim($2); sub(/, one segment$/, "", n); print "build\t" n "\t" trim($col); next }
col && !/^\|/ { col = 0 }
' "$data/previous_RESULTS.md" >"$data/previous_graph.tsv"
frag=$(mktemp -d)
trap 'rm -rf "$frag"' EXIT

declare -A took load
step() {  # step <name> <command...>: output into $frag/<name>.md, time and load kept
    local name=$1 t0
    shift
    t0=$(date +%s)
    load[$name]=$(cut -d' ' -f1 /proc/loadavg)
    echo "== $name" >&2
    "$@" >"$frag/$name.md"
    took[$name]=$(( $(date +%s) - t0 ))
}

php_ext=(php -n -d memory_limit=-1 -d "extension=$build/qarbin.so")
jit=(-d zend_extension=opcache -d opcache.enable_cli=1 -d opcache.jit=tracing -d opcache.jit_buffer_size=64M)

step scan "$build/ann_bench" scan "$data" "synth_n=$synth_n"
step graph "$build/ann_bench" graph "$data" "synth_n=$synth_n" "previous=$data/previous_graph.tsv"
step shm "$build/ann_bench" shm "$data"
step filter "$build/ann_bench" filter "$data" "synth_n=$synth_n"
step writes env QARBIN_BENCH_GOALS="$data/goals.md" "${php_ext[@]}" "$root/bench/php_writes.php"
step requests env QARBIN_BENCH_GOALS="$data/goals.md" "${php_ext[@]}" "$root/bench/php_requests.php"
step compact env QARBIN_BENCH_GOALS="$data/goals.md" "${php_ext[@]}" "$root/bench/php_compact.php" "${COMPACT_N:-1000000}"
step retrieval env QARBIN_BENCH_GOALS="$data/goals.md" "${php_ext[@]}" "$root/bench/php_retrieval.php" "$synth_n" "${FIND_N:-1000000}"
step text env QARBIN_BENCH_GOALS="$data/goals.md" "${php_ext[@]}" -d extension=sqlite3 "$root/bench/php_text.php" "${TEXT_N:-70000}"
step threads env QARBIN_BENCH_GOALS="$data/goals.md" "${php_ext[@]}" "$root/bench/php_threads.php" "$synth_n" "$data/train-images.idx"
step php_nojit "${php_ext[@]}" "$root/bench/php_search.php" "$data" "without JIT"
step php_jit "${php_ext[@]}" "${jit[@]}" "$root/bench/php_search.php" "$data" "with tracing JIT"
step format "$build/bench_compact" 30000
step rawcos env QARBIN_BENCH_GOALS="$data/goals.md" "${php_ext[@]}" "$root/bench/php_raw_cosine.php" "$synth_n" 384

# One line per block of recall_qps.tsv (blocks in file order): one colour
# per data set, solid for one segment, dashed for the default store.
plot=""
i=0
sets=0
declare -A colour
while IFS= read -r name; do
    base=${name% one segment}
    base=${base% default store}
    [ -n "${colour[$base]:-}" ] || colour[$base]=$((sets += 1))
    dash=1
    [[ $name == *" default store" ]] && dash=2
    plot+="${plot:+, }'$data/recall_qps.tsv' index $i using 3:4 with linespoints lw 2 pt 7 ps 0.8"
    plot+=" lc ${colour[$base]} dt $dash title '$name'"
    i=$((i + 1))
done < <(awk -F'\t' 'NF == 4 && $1 != prev { print $1; prev = $1 }' "$data/recall_qps.tsv")
gnuplot -e "outfile='$png'" -e "plotcmd=\"$plot\"" "$root/bench/plot.gnuplot"

total=$(( $(date +%s) - start ))
cpu=$(lscpu | sed -n 's/^Model name:[[:space:]]*//p' | head -1)
cores=$(nproc)
tpc=$(lscpu | sed -n 's/^Thread(s) per core:[[:space:]]*//p' | head -1)
mem=$(awk '/MemTotal/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo)
{
    echo "# qarbin benchmarks"
    echo
    echo "Written by \`bench/run.sh\` on $(date -u '+%Y-%m-%d %H:%M UTC'), commit $(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo unknown)."
    echo
    echo "Machine: $cpu, $cores cores available (${tpc:-?} thread(s) per core), $mem memory, $(uname -sr);"
    echo "$(c++ --version | head -1), $(php -n -v | head -1 | cut -d' ' -f1-2). The machine is shared, so figures move by"
    echo "several percent between runs; every ratio below compares figures of this one run. Whole run: $((total / 60)) min $((total % 60)) s."
    echo
    echo "Data: Fashion-MNIST from Debian's dataset-fashion-mnist as ann-benchmarks' fashion-mnist-784-euclidean"
    echo "(60 000 training images as the base, pixels 0-255 as floats; the first 1 000 of the 10 000 test images as"
    echo "queries, 300 of them for the exhaustive-scan recall, to keep the run under 30 minutes), and its L2-normalised"
    echo "form for cosine and dot product. Clustered Gaussian sets of dimension 384 and 1536 with $synth_n vectors each"
    echo "(1 000 centres, fixed seeds), and for graph search two of dimension 128: $((synth_n / 2)) vectors in 500 clusters and"
    echo "$synth_n in 1 000. Graph figures on the clustered sets (cosine) use 200 queries. Exact top-10 lists come from a"
    echo "double-precision brute force, computed once and cached in bench/data/. Graph figures that compare with the"
    echo "previous run take its numbers from the bench/RESULTS.md committed before this run (kept as"
    echo "bench/data/previous_RESULTS.md)."
    echo
    echo "Peers: the comparison figures against hnswlib and FAISS are left out, since this project's rules do not"
    echo "allow installing or running other vector-search implementations. Every table therefore shows the"
    echo "extension's own figures, the bandwidth floor, the pure-PHP loop and the previous run only; graph goals"
    echo "are set against fixed recall figures and the previous run, and the goal stated relative to FAISS cannot"
    echo "be evaluated."
    echo
    echo "## Goals"
    echo
    echo "| goal | measured | verdict |"
    echo "|---|---|---|"
    cat "$data/goals.md"
    echo "| scan and quantization figures vs FAISS | peers not run | not evaluable |"
    echo
    echo "## Figures"
    echo
    cat "$frag/scan.md" "$frag/graph.md"
    echo "![recall@10 against queries per second](recall_qps.png)"
    echo
    echo "### 3. Writes: batchSet records per second from PHP, dimension 128"
    echo
    echo "Batches of 10 000 records; each mode's default segment size (memory: qarbin.mem_initial_capacity 4096 slots;"
    echo "disk and shm: 10 000 000 slots); disk under $(php -n -r 'echo sys_get_temp_dir();'), removed after each round."
    echo "Median of 3 rounds, each into a new store."
    echo
    echo "| mode | records | records/s | us/record | segments |"
    echo "|---|---:|---:|---:|---:|"
    cat "$frag/writes.md"
    echo
    cat "$frag/compact.md"
    cat "$frag/shm.md"
    cat "$frag/filter.md"
    echo "### 6. From PHP: search latency against a pure-PHP loop"
    echo
    echo "The first 10 000 Fashion-MNIST training images, cosine, top 10, 40 queries per round for the extension and"
    echo "3 for the pure-PHP loop (score all, arsort, slice), median of 3 rounds. Graph search at the default"
    echo "precision 50 (the graph is built by the first search, not timed here). JIT run: opcache.jit=tracing,"
    echo "jit_buffer_size 64M. The last column checks that the exhaustive search returns the pure-PHP top 10."
    echo
    echo "| PHP | extension exhaustive us | extension graph us | pure PHP ms | PHP / exhaustive | PHP / graph | same top 10 |"
    echo "|---|---:|---:|---:|---:|---:|---:|"
    cat "$frag/php_nojit.md" "$frag/php_jit.md"
    echo
    echo "### 7. Requests of one worker process: open, one get, one search"
    echo
    echo "A shared store of 100 000 random 64-dimension vectors (Euclidean, graph built beforehand), opened read-only"
    echo "by each request of a php-cgi process that serves 4 requests (php-cgi -T 4); each request times its open,"
    echo "one get of a random key and one top-10 search at the default precision. The disk row opens a disk store of"
    echo "the same records and gets one key (no search). Request 1 is a fresh process. Medians over 5 processes, in ms."
    echo
    echo "| handle | request 1 | request 2 | request 3 | request 4 |"
    echo "|---|---:|---:|---:|---:|"
    cat "$frag/requests.md"
    echo
    cat "$frag/retrieval.md"
    cat "$frag/threads.md"
    cat "$frag/text.md"
    echo "### 11. The compact segment format (core/segment/format_compact.h, the default) against the fixed slots"
    echo
    echo "bench/bench_compact: records written straight into a compact region and into fixed slots; resident pages"
    echo "counted with mincore. Graph bytes are the node and link-pool share, the same in both formats (not measured)."
    echo
    sed 's/^## /#### /' "$frag/format.md"
    echo
    echo "#### Graph search on raw cosine vectors against the same vectors fed as unit vectors (bench/php_raw_cosine.php)"
    echo
    echo "Clustered vectors with norms from 0.5 to 4, 1 000 queries at precision 50, queries per second, median of 5."
    echo
    echo "| store | raw QPS | unit QPS | raw / unit |"
    echo "|---|---:|---:|---:|"
    cat "$frag/rawcos.md"
    echo
    [ -f "$root/bench/notes.md" ] && cat "$root/bench/notes.md" && echo
    echo "## Time per step"
    echo
    echo "With the 1-minute load average when the step began (2 cores; other jobs share the machine)."
    echo
    for k in scan graph shm filter writes requests compact retrieval text threads php_nojit php_jit format rawcos; do echo "- $k: ${took[$k]} s, load ${load[$k]}"; done
} >"$out"
echo "wrote $out and $png in $total s" >&2
