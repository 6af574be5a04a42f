# Recall@10 against queries per second, called by bench/run.sh with
# outfile and plotcmd (one line per block of recall_qps.tsv).
set terminal pngcairo size 760,480 font ",10" noenhanced
set output outfile
set title "qarbin HNSW search, one thread, M 16, efConstruction 200, ef 10..320 (hnswlib and FAISS not run)\nsolid: one segment holding every record; dashed: a memory store at default settings (4096-slot segments)"
set xlabel "recall@10"
set ylabel "queries per second"
set datafile separator "\t"
set logscale y
set grid
set key bottom left
eval "plot " . plotcmd
