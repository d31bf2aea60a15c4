#!/usr/bin/env bash
# The Snakemake workflow on a small three-sample study: set up the machine, build, simulate
# three 10X-Chromium 3' libraries of one reference (alpha: v2; beta: v3; gamma: v3 sequenced
# on two lanes), then index, count every sample and summarise them all with one Snakemake
# command, and open the summary page. Everything goes into workflow-demo/ (about 1 GiB,
# mostly the k-mer hash of the index). Run it again to see that nothing is redone.
set -euo pipefail
cd "$(dirname "$0")/.."
SRC=$PWD

scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j "$(nproc)" --target vora-T vorat-simulate

OUT=workflow-demo
mkdir -p "$OUT"
cd "$OUT"

# One genome and annotation (same seed and sizes), three libraries with the artefacts of real
# reads that the workflow's default --trim-adapters removes.
SIM="$SRC/build/tools/vorat-simulate --seed 5 --genome-size 2000000 --genes 300"
SIM="$SIM --tso 0.13 --polya 0.03 --tail-errors 0.05"
simulate() {  # name, options
	if [ ! -f "$1/R2.fastq.gz" ]; then
		echo "== simulating $1 =="
		$SIM "${@:2}" --gzip --out "$1"
	fi
}
simulate alpha --cells 150 --reads 120000 --version 2
simulate beta --cells 100 --reads 80000 --version 3
simulate gamma --cells 120 --reads 100000 --version 3
mkdir -p reference gamma/lanes
cp -p alpha/genome.fa reference/genome.fa
cp -p alpha/genes.gtf reference/genes.gtf
# gamma's reads split into two lanes, as a sequencer delivers them (whole records, in order).
if [ ! -f gamma/lanes/L002_R2.fastq.gz ]; then
	for r in R1 R2; do
		zcat "gamma/$r.fastq.gz" | awk -v lane1="gzip -1 > gamma/lanes/L001_$r.fastq.gz" \
			-v lane2="gzip -1 > gamma/lanes/L002_$r.fastq.gz" '{ print | (NR <= 200000 ? lane1 : lane2) }'
	done
fi

cat > samples.csv <<'EOF'
sample,fastq_1,fastq_2,library_type
alpha,alpha/R1.fastq.gz,alpha/R2.fastq.gz,10xv2
beta,beta/R1.fastq.gz,beta/R2.fastq.gz,10xv3
gamma,gamma/lanes/L001_R1.fastq.gz,gamma/lanes/L001_R2.fastq.gz,10xv3
gamma,gamma/lanes/L002_R1.fastq.gz,gamma/lanes/L002_R2.fastq.gz,10xv3
EOF
cat > config.yaml <<EOF
samples: samples.csv
genome: reference/genome.fa
gtf: reference/genes.gtf
index: index/demo
threads: $(nproc)
EOF

echo "== snakemake =="
snakemake -s "$SRC/workflow/Snakefile" --configfile config.yaml --profile "$SRC/workflow/profiles/local"

PAGE="$PWD/results/samples_summary.html"
echo
echo "Per-sample results: $OUT/results/<sample>/   Table: $OUT/results/samples_summary.tsv"
echo "Summary page:       $PAGE"
if [ -z "${NO_BROWSER:-}" ] && [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && command -v xdg-open >/dev/null; then
	xdg-open "$PAGE" >/dev/null 2>&1 || true
fi
