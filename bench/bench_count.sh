#!/usr/bin/env bash
# Count benchmark: a whole `vora-T count` run (index loading, mapping, tables, matrix files)
# on a simulated 10X-Chromium 3' v3 data set (default 2,000,000 read pairs on a 60 Mb genome
# with 3,000 genes and 2,000 cells, made by vorat-simulate), with 1 and with 2 threads:
# wall time, CPU time (user + system), read pairs per second over the whole run, over the
# read phase (from the "Loading kmer hash table" line, the hash loading included, to the
# final read count, as time stamps of the run's standard error lines show it) and per CPU
# second, and peak memory (/usr/bin/time -v). The load of the machine (uptime) before and
# after each run is printed with it, as other work on the same cores skews the wall times.
#
# The data set and its index are made once and kept in the work dir; later calls with the
# same parameters reuse them.
#
# Usage: bench/bench_count.sh [work_dir]
#   VORAT_BIN      vora-T to run (default: build/vora-T under the project root)
#   VORAT_SIM      vorat-simulate to run (default: build/tools/vorat-simulate)
#   GENERATOR      random (default): a random genome; human: a human-like one (vorat-simulate
#                  --human-like: interspersed repeat families, some young and nearly identical, also
#                  in 3' UTRs; N runs; long introns), the genomes where the genome check and the
#                  transcript hits cost most
#   GENOME_SIZE    genome bases (default 60000000)
#   N_GENES        genes (default 3000)
#   N_CELLS        true cells (default 2000)
#   N_READS        read pairs (default 2000000)
#   THREADS        thread counts to run, blank-separated (default "1 2")
#   SIM_DIR, VORAT_INDEX  an existing data set of vorat-simulate and its index prefix instead
#                  (for a large genome made once, e.g. by bench/bench_index.sh)
#   PROFILE=1      also sample the last run with `perf record` (Debian's linux-perf) and print
#                  the functions that take the most time
#
# Examples (human-like, 1 Gb and 3.1 Gb, as in the README's figures):
#   GENERATOR=human GENOME_SIZE=1000000000 N_GENES=6500 N_CELLS=1000 N_READS=1000000 THREADS=2 \
#       bench/bench_count.sh /work/bench-data/count-h1000
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BIN=${VORAT_BIN:-$ROOT/build/vora-T}
SIM=${VORAT_SIM:-$ROOT/build/tools/vorat-simulate}
WORK=${1:-$ROOT/bench/out/count}
GENOME_SIZE=${GENOME_SIZE:-60000000}
N_GENES=${N_GENES:-3000}
N_CELLS=${N_CELLS:-2000}
N_READS=${N_READS:-2000000}
THREADS=${THREADS:-1 2}

[ -x "$BIN" ] || { echo "vora-T not found at $BIN (set VORAT_BIN)" >&2; exit 1; }
[ -x "$SIM" ] || { echo "vorat-simulate not found at $SIM (set VORAT_SIM)" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "/usr/bin/time is required" >&2; exit 1; }
mkdir -p "$WORK"
cd "$WORK"

GENERATOR=${GENERATOR:-random}
if [ -n "${SIM_DIR:-}" ]; then
	[ -n "${VORAT_INDEX:-}" ] || { echo "SIM_DIR needs VORAT_INDEX" >&2; exit 1; }
	DATA=$SIM_DIR
	INDEX=$VORAT_INDEX
else
	DATA=sim
	INDEX=idx/bench
	PARAMS="$GENERATOR $GENOME_SIZE $N_GENES $N_CELLS $N_READS"
	if [ ! -s sim/R2.fastq.gz ] || [ "$(cat params.txt 2>/dev/null)" != "$PARAMS" ]; then
		rm -rf sim idx params.txt
		echo "simulating $N_READS read pairs, ${GENOME_SIZE}-base $GENERATOR genome, $N_GENES genes, $N_CELLS cells" >&2
		HUMAN=""
		[ "$GENERATOR" = human ] && HUMAN=--human-like
		"$SIM" $HUMAN --seed 5 --genome-size "$GENOME_SIZE" --genes "$N_GENES" --cells "$N_CELLS" \
			--reads "$N_READS" --version 3 --gzip --out sim >/dev/null
		echo "building the index" >&2
		"$BIN" index -g sim/genome.fa -t sim/genes.gtf -p bench -o idx 2> index.stderr ||
			{ cat index.stderr >&2; exit 1; }
		echo "$PARAMS" > params.txt
	fi
fi

# Seconds since the epoch, with fractions, of the moment each stderr line of the run arrived.
stamp_lines() {
	while IFS= read -r line; do printf '%s %s\n' "$(date +%s.%N)" "$line"; done
}

printf '%-8s %9s %8s %14s %14s %12s %12s   %s\n' threads "wall (s)" "CPU (s)" "pairs/s whole" "pairs/s reads" "pairs/CPU s" "peak RSS" "load before -> after"
for t in $THREADS; do
	load=$(uptime | sed 's/.*load average: //')
	rm -rf "out-t$t" "t$t.log"
	start=$(date +%s.%N)
	{ /usr/bin/time -v "$BIN" count -x "$INDEX" -l 1 -t "$t" -o "out-t$t" --log "t$t.log" \
		-1 "$DATA/R1.fastq.gz" -2 "$DATA/R2.fastq.gz" 2>&1 >/dev/null | stamp_lines > "t$t.stderr"; } ||
		{ cat "t$t.stderr" >&2; exit 1; }
	end=$(date +%s.%N)
	grep -q 'Exit status: 0' "t$t.stderr" || { cat "t$t.stderr" >&2; exit 1; }
	total=$(grep -a 'Total number of reads' "t$t.stderr" | awk '{print $NF}')
	rss=$(grep 'Maximum resident set size' "t$t.stderr" | awk '{print $NF}')
	cpu=$(grep -E '(User|System) time \(seconds\)' "t$t.stderr" | awk '{s += $NF} END {print s}')
	load="$load -> $(uptime | sed 's/.*load average: //')"
	map_from=$(grep -a 'Loading kmer hash table' "t$t.stderr" | awk '{print $1}')
	map_to=$(grep -a 'Number of processed reads: [0-9]*$' "t$t.stderr" | tail -1 | awk '{print $1}')
	awk -v t="$t" -v s="$start" -v e="$end" -v n="$total" -v a="$map_from" -v b="$map_to" -v r="$rss" -v l="$load" \
		-v c="$cpu" 'BEGIN { w = e - s; m = b - a;
		         printf "%-8s %9.1f %8.1f %14.0f %14.0f %12.0f %8.0f MiB   %s\n", t, w, c, n / w, n / m, n / c, r / 1024, l }'
done
echo
if [ -n "${SIM_DIR:-}" ]; then
	echo "data: $(grep -c '' <(zcat "$DATA/R2.fastq.gz") | awk '{print $1 / 4}') read pairs of $SIM_DIR; index $INDEX"
else
	echo "data: $(grep -c '' <(zcat sim/R2.fastq.gz) | awk '{print $1 / 4}') read pairs; $GENERATOR genome of $GENOME_SIZE bases; $N_GENES genes; $N_CELLS cells"
fi
echo "vora-T: $BIN"
for t in $THREADS; do
	echo "statistics, $t thread(s):"
	grep -a '\[INFO\] Number\|\[INFO\] Total' "t$t.stderr" | cut -d' ' -f2-
done

if [ "${PROFILE:-0}" = 1 ]; then
	t=${THREADS##* }
	command -v perf >/dev/null || { echo "PROFILE=1 needs perf (Debian's linux-perf)" >&2; exit 1; }
	rm -rf out-profile
	perf record -o perf.data "$BIN" count -x "$INDEX" -l 1 -t "$t" -o out-profile --log profile.log \
		-1 "$DATA/R1.fastq.gz" -2 "$DATA/R2.fastq.gz" >/dev/null 2>profile.stderr
	echo
	echo "time shares, $t thread(s), the whole run (perf record):"
	perf report -i perf.data --no-children --stdio 2>/dev/null | grep -E '^ +[0-9]+\.[0-9]+%' | head -15 |
		awk '{printf "  %7s  %s\n", $1, $NF}'
fi
