#!/usr/bin/env bash
# The whole job on a small simulated 10X-Chromium 3' v3 library: set up the machine,
# build, simulate reads with a known truth, build the index, count, and compare.
# Everything goes into demo-out/ (about 1 GiB, mostly the k-mer hash of the index).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j "$(nproc)" --target vora-T vorat-simulate

OUT=demo-out
THREADS=$(nproc)
rm -rf "$OUT"
mkdir -p "$OUT"

echo "== simulating 300 cells, 400,000 read pairs (v3) with the artefacts of real reads =="
build/tools/vorat-simulate --seed 7 --genome-size 4000000 --genes 400 --cells 300 --reads 400000 \
	--version 3 --gzip --tso 0.1 --polya 0.05 --tail-errors 0.05 --out "$OUT/sim"

echo "== building the index =="
build/vora-T index -g "$OUT/sim/genome.fa" -t "$OUT/sim/genes.gtf" -p demo -o "$OUT/index"

echo "== counting =="
build/vora-T count -x "$OUT/index/demo" -l 1 -t "$THREADS" -o "$OUT/result" --log "$OUT/result.log" \
	--trim-adapters -1 "$OUT/sim/R1.fastq.gz" -2 "$OUT/sim/R2.fastq.gz"

echo "== comparison with the simulated truth =="
python3 scripts/compare_truth.py "$OUT/result" "$OUT/sim/truth"
echo
echo "Count matrix: $OUT/result/matrix.mtx (genes: $OUT/result/features.tsv, cells: $OUT/result/barcodes.tsv)"
if [ -d "$OUT/result/filtered_feature_bc_matrix" ]; then
	echo "For Seurat:   Read10X(\"$OUT/result/filtered_feature_bc_matrix\")"
fi
if [ -f "$OUT/result/matrix.h5ad" ]; then
	echo "In Python:    anndata.read_h5ad(\"$OUT/result/matrix.h5ad\")"
	echo "In R:         Seurat::Read10X_h5(\"$OUT/result/filtered_feature_bc_matrix.h5\")"
fi
if [ -f "$OUT/result/summary.html" ]; then
	echo "Run summary:  $OUT/result/summary.html"
fi
