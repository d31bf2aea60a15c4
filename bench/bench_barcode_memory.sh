#!/usr/bin/env bash
# Memory per observed barcode: peak memory (/usr/bin/time -v) of a `vora-T count` run whose
# read pairs carry N_BARCODES distinct barcodes with one or two reads each (the noise of a
# deep 10X-Chromium 3' library), against the same reads spread over BASE_BARCODES barcodes.
# The difference of the two peaks over the difference of the barcodes seen is the cost of one
# barcode, its barcode-table slot included (16 bytes a slot, at most half of the slots used).
#
# The cDNA reads come from vorat-simulate (a small genome, so that the index is small); the
# read-1 files are written here: barcode i is a fixed bijective scramble of i (all distinct),
# UMIs are pseudo-random. The data set and index are made once and kept in the work dir.
#
# Usage: bench/bench_barcode_memory.sh [work_dir]
#   VORAT_BIN      vora-T to run (default: build/vora-T under the project root)
#   VORAT_SIM      vorat-simulate to run (default: build/tools/vorat-simulate)
#   N_BARCODES     distinct barcodes of the noise run (default 5000000)
#   BASE_BARCODES  barcodes of the baseline run (default 2000)
#   THREADS        worker threads (default 2)
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BIN=${VORAT_BIN:-$ROOT/build/vora-T}
SIM=${VORAT_SIM:-$ROOT/build/tools/vorat-simulate}
WORK=${1:-$ROOT/bench/out/barcode_memory}
N_BARCODES=${N_BARCODES:-5000000}
BASE_BARCODES=${BASE_BARCODES:-2000}
THREADS=${THREADS:-2}
# Barcodes of one and of two reads alternate: 1.5 read pairs per barcode.
N_READS=$(( N_BARCODES * 3 / 2 ))

[ -x "$BIN" ] || { echo "vora-T not found at $BIN (set VORAT_BIN)" >&2; exit 1; }
[ -x "$SIM" ] || { echo "vorat-simulate not found at $SIM (set VORAT_SIM)" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "/usr/bin/time is required" >&2; exit 1; }
mkdir -p "$WORK"
cd "$WORK"

if [ "$(cat params 2>/dev/null)" != "$N_BARCODES" ]; then
	rm -rf sim idx params R1_*.fastq
	echo "simulating $N_READS read pairs ..." >&2
	"$SIM" --seed 7 --genome-size 2000000 --genes 300 --cells 100 --reads "$N_READS" --version 2 --out sim 2>sim.err
	"$BIN" index -g sim/genome.fa -t sim/genes.gtf -p sim -o idx 2>index.err
	echo "$N_BARCODES" >params
fi

# Read-1 file: pair k gets barcode b(k) of `barcodes` distinct ones, each used once or twice.
write_r1() {  # barcodes output
	awk -v nb="$1" -v nr="$N_READS" 'BEGIN {
		split("A C G T", base, " ");
		srand(3);
		k = 0;
		for (i = 0; k < nr; ++i) {
			reads = 1 + i % 2;
			for (r = 0; r < reads && k < nr; ++r) {
				x = ((i % nb) * 2654435761 + 12345) % 4294967296;   # bijective on 32 bits
				bc = "";
				for (j = 0; j < 16; ++j) { bc = bc base[1 + x % 4]; x = int(x / 4); }
				umi = "";
				for (j = 0; j < 10; ++j) umi = umi base[1 + int(rand() * 4)];
				printf "@r%d\n%s%s\n+\nIIIIIIIIIIIIIIIIIIIIIIIIII\n", k, bc, umi;
				++k;
			}
		}
	}' >"$2"
}
[ -s R1_noise.fastq ] || write_r1 "$N_BARCODES" R1_noise.fastq
[ -s R1_base.fastq ] || write_r1 "$BASE_BARCODES" R1_base.fastq

run() {  # name r1
	rm -rf "out-$1"
	/usr/bin/time -v "$BIN" count -x idx/sim -l 0 -t "$THREADS" -o "out-$1" -1 "$2" -2 sim/R2.fastq \
		--log "$1.log" 2>"$1.err"
	local kb barcodes
	kb=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$1.err")
	barcodes=$(awk -F': ' '/"barcodes_detected"/ {gsub(/,/, "", $2); print $2}' "out-$1/summary.json")
	echo "$1 $kb $barcodes"
}

read -r _ base_kb base_bc < <(run base R1_base.fastq)
read -r _ noise_kb noise_bc < <(run noise R1_noise.fastq)
echo "baseline: ${base_bc} barcodes, peak ${base_kb} kB"
echo "noise:    ${noise_bc} barcodes, peak ${noise_kb} kB"
awk -v a="$base_kb" -v b="$noise_kb" -v x="$base_bc" -v y="$noise_bc" 'BEGIN {
	per = (b - a) * 1024 / (y - x);
	printf "bytes per barcode: %.1f (peak difference over barcode difference)\n", per;
}'
