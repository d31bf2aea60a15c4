#!/usr/bin/env bash
# Peer comparison on simulated data: vora-T count against STARsolo (STAR 2.7.10b from Debian's
# rna-star) and kallisto|bustools (Debian's kallisto 0.48.0 and bustools 0.42.0), all with the same
# number of threads on the same 10X-Chromium 3' v3 reads made by vorat-simulate. One table: per
# tool the wall time, read pairs per second over the whole run and in the steady state, peak
# memory, and the agreement with the simulator's truth.
#
# Columns:
#   wall (s)          wall time of the counting run (index loading included); for kallisto|bustools
#                     the sum of its steps (kallisto bus, bustools sort, [whitelist,] correct, sort,
#                     count); the row "kallisto bus alone" is its first step
#   pairs/s whole     read pairs / that wall time
#   pairs/s steady    vora-T: read pairs / the read phase, from the moment it opens the reads (its
#                     index loaded) to the last "Number of processed reads" line on its standard
#                     error; below the table also from the "Loading kmer hash table" line, the hash
#                     loading included. STARsolo: its Log.final.out "Mapping speed, Million of reads
#                     per hour", which leaves out genome loading and the Solo counting after mapping;
#                     kallisto|bustools: none
#   peak RSS          the largest maximum resident set size of the run's steps (/usr/bin/time -v)
#   cells             the truth's cells that hold a UMI in the tool's matrix
#   UMI share         UMIs of the truth's cells in the tool's matrix / the true UMIs
#   r truth / r union Pearson correlation of per-(cell, gene) counts with the truth, over the truth's
#                     non-zero entries (entries it misses count 0), and over the entries non-zero in
#                     either matrix (counts where the truth has none weigh in too)
# No cell calling for anyone: every tool's matrix of all barcodes (vora-T's raw_feature_bc_matrix,
# STARsolo's Solo.out/Gene/raw, bustools' count of the whole corrected BUS file) is restricted to the
# truth's cell barcodes, so the figures compare counts, not cell calling (bench/peers_truth.py;
# the restricted matrices are written beside each output as <folder>.vs_truth for
# scripts/compare_truth.py). The index builds are timed once, when made, and printed below the table.
#
# The tools as run:
#   vora-T count -x PREFIX -l 1 -t THREADS (no whitelist; it corrects one-base barcode errors itself)
#   STAR --soloType CB_UMI_Simple --soloCBwhitelist None (no barcode correction) --soloCBstart 1
#        --soloCBlen 16 --soloUMIstart 17 --soloUMIlen 12 --soloFeatures Gene, reads R2 then R1,
#        --outSAMtype None (no alignment file), defaults otherwise (unique mappers, 1MM_All UMIs,
#        forward strand); its genome built with genes.gtf, --genomeSAindexNbases scaled to the genome
#        (min(14, log2(size)/2 - 1)) and, from 500 Mb on, a sparse suffix array (STAR_SPARSE) under
#        a 10 GB limit
#   kallisto index on vora-T's spliced transcripts (PREFIX.fasta, named GENE_TRANSCRIPT), the
#        transcript-to-gene map from its names and genes.gtf; kallisto bus -x 10xv3 (which it
#        runs --fr-stranded), bustools sort, whitelist, correct, sort, count --genecounts. Two rows: with
#        `bustools whitelist` made from the data (as a user without a list would run it), and with
#        the truth's cell barcodes as the whitelist (which tells it the answer: there the figures
#        show its counting alone); both share the kallisto bus and first sort steps
#
# Everything is kept in the work dir: the data set when the script makes it, vora-T's index when
# it builds it, STAR's genome and kallisto's index (reused by a later call with the same genome and
# transcripts), and the output and log of every run.
#
# Usage: bench/compare_peers.sh [work_dir]
#   SIM_DIR        data set of vorat-simulate (genome.fa, genes.gtf, R1.fastq.gz, R2.fastq.gz, truth/);
#                  default: made in the work dir by VORAT_SIM with the parameters below
#   VORAT_INDEX    vora-T index prefix of that genome (e.g. idx/h for idx/h.hash); default: built in
#                  the work dir with `vora-T index`
#   VORAT_BIN      vora-T to run (default: build/vora-T under the project root)
#   VORAT_SIM      vorat-simulate to run (default: build/tools/vorat-simulate)
#   GENOME_SIZE    genome bases of the made data set (default 100000000)
#   N_GENES        genes (default 3000)
#   N_CELLS        true cells (default 2000)
#   N_READS        read pairs (default 2000000)
#   THREADS        threads of every run (default 2)
#   STAR_SPARSE    --genomeSAsparseD of STAR's genome (default 1 below 500 Mb, 2 below 2 Gb, else 3)
#   ROUNDS         runs of vora-T, STARsolo and kallisto|bustools, taken in turns (default 1); the
#                  table gives the median of each figure, and lines below it each round's rates.
#                  The host's speed can drift by a fifth between runs: turns and medians keep
#                  that from deciding the comparison.
#   BUS_SORT_MEM   memory buffer of bustools sort (-m; default 1G, room for 30 million records).
#                  bustools sort takes the whole buffer whatever the data: with its own default of
#                  4G, each sort of the 100 Mb set's 1.6 million records took 8 s more and 4 GiB
# The work dir defaults to bench/out/compare_peers, or bench/out/compare_peers-<name of SIM_DIR's
# folder's parent> when SIM_DIR is given.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BIN=${VORAT_BIN:-$ROOT/build/vora-T}
SIM=${VORAT_SIM:-$ROOT/build/tools/vorat-simulate}
GENOME_SIZE=${GENOME_SIZE:-100000000}
N_GENES=${N_GENES:-3000}
N_CELLS=${N_CELLS:-2000}
N_READS=${N_READS:-2000000}
THREADS=${THREADS:-2}
BUS_SORT_MEM=${BUS_SORT_MEM:-1G}
ROUNDS=${ROUNDS:-1}
if [ -n "${SIM_DIR:-}" ]; then
	SIM_DIR=$(cd "$SIM_DIR" && pwd)
	WORK=${1:-$ROOT/bench/out/compare_peers-$(basename "$(dirname "$SIM_DIR")")}
else
	WORK=${1:-$ROOT/bench/out/compare_peers}
fi
if [ -n "${VORAT_INDEX:-}" ]; then
	VORAT_INDEX=$(cd "$(dirname "$VORAT_INDEX")" && pwd)/$(basename "$VORAT_INDEX")
fi
PY=/usr/bin/python3
[ -x "$PY" ] || PY=python3

[ -x "$BIN" ] || { echo "vora-T not found at $BIN (set VORAT_BIN)" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "/usr/bin/time is required" >&2; exit 1; }
for tool in STAR kallisto bustools; do
	command -v "$tool" > /dev/null || { echo "$tool not found (Debian packages rna-star, kallisto, bustools)" >&2; exit 1; }
done
mkdir -p "$WORK"
WORK=$(cd "$WORK" && pwd)
cd "$WORK"

# --- the data set and vora-T's index -------------------------------------------------------
if [ -z "${SIM_DIR:-}" ]; then
	[ -x "$SIM" ] || { echo "vorat-simulate not found at $SIM (set VORAT_SIM)" >&2; exit 1; }
	PARAMS="$GENOME_SIZE $N_GENES $N_CELLS $N_READS"
	if [ ! -s sim/R2.fastq.gz ] || [ "$(cat params.txt 2>/dev/null)" != "$PARAMS" ]; then
		rm -rf sim vorat_idx params.txt
		echo "== simulating $N_READS read pairs, ${GENOME_SIZE}-base genome, $N_GENES genes, $N_CELLS cells" >&2
		"$SIM" --seed 5 --genome-size "$GENOME_SIZE" --genes "$N_GENES" --cells "$N_CELLS" \
			--reads "$N_READS" --version 3 --gzip --out sim > /dev/null
		echo "$PARAMS" > params.txt
	fi
	SIM_DIR=$WORK/sim
fi
for f in genome.fa genes.gtf R1.fastq.gz R2.fastq.gz truth/matrix.mtx truth/barcodes.tsv truth/features.tsv; do
	[ -r "$SIM_DIR/$f" ] || { echo "missing $SIM_DIR/$f (set SIM_DIR)" >&2; exit 1; }
done
FA=$SIM_DIR/genome.fa
GTF=$SIM_DIR/genes.gtf
R1=$SIM_DIR/R1.fastq.gz
R2=$SIM_DIR/R2.fastq.gz
TRUTH=$SIM_DIR/truth
# What the peer indexes are made from; a change rebuilds them.
SOURCE="$(readlink -f "$FA") $(stat -c '%s %Y' "$FA") $(readlink -f "$GTF") $(stat -c '%s %Y' "$GTF")"

# Runs a step under /usr/bin/time -v: step NAME command...; its output and messages go to
# NAME.log, the wall time (s) to NAME.wall and the peak RSS (KiB) to NAME.rss.
step() {
	local name=$1
	shift
	local start end
	start=$(date +%s.%N)
	/usr/bin/time -v -o "$name.time" "$@" > "$name.log" 2>&1 || { tail -20 "$name.log" >&2; exit 1; }
	end=$(date +%s.%N)
	awk -v s="$start" -v e="$end" 'BEGIN { printf "%.3f\n", e - s }' > "$name.wall"
	grep 'Maximum resident set size' "$name.time" | awk '{print $NF}' > "$name.rss"
}

if [ -z "${VORAT_INDEX:-}" ]; then
	VORAT_INDEX=$WORK/vorat_idx/sim
	if [ ! -s "$VORAT_INDEX.hash" ] || [ "$(cat vorat_idx/source.txt 2>/dev/null)" != "$SOURCE" ]; then
		echo "== vora-T index" >&2
		rm -rf vorat_idx
		mkdir -p vorat_idx
		step vorat_idx/build "$BIN" index -g "$FA" -t "$GTF" -p sim -o vorat_idx
		echo "$SOURCE" > vorat_idx/source.txt
	fi
fi
if [ ! -s "$VORAT_INDEX.hash" ] || [ ! -s "$VORAT_INDEX.fasta" ]; then
	echo "no vora-T index at $VORAT_INDEX (.hash, .fasta)" >&2
	exit 1
fi

PAIRS=$(zcat "$R1" | awk 'END { print NR / 4 }')
GENOME_BASES=$(grep -v '^>' "$FA" | tr -d '\n' | wc -c)

# --- peer indexes ---------------------------------------------------------------------------
if [ ! -s star_idx/SA ] || [ "$(cat star_idx/source.txt 2>/dev/null)" != "$SOURCE" ]; then
	rm -rf star_idx
	mkdir -p star_idx
	nbases=$(awk -v n="$GENOME_BASES" 'BEGIN { b = int(log(n) / log(2) / 2 - 1); print (b > 14 ? 14 : b) }')
	sparse=${STAR_SPARSE:-$(awk -v n="$GENOME_BASES" 'BEGIN { print (n < 5e8 ? 1 : n < 2e9 ? 2 : 3) }')}
	echo "== STAR genomeGenerate (SAindexNbases $nbases, SAsparseD $sparse)" >&2
	step star_idx/build STAR --runMode genomeGenerate --runThreadN "$THREADS" --genomeDir star_idx \
		--genomeFastaFiles "$FA" --sjdbGTFfile "$GTF" --genomeSAindexNbases "$nbases" \
		--genomeSAsparseD "$sparse" --limitGenomeGenerateRAM 10000000000 --outFileNamePrefix star_idx/
	echo "$SOURCE" > star_idx/source.txt
fi

KSOURCE="$(readlink -f "$VORAT_INDEX.fasta") $(stat -c '%s %Y' "$VORAT_INDEX.fasta") $SOURCE"
if [ ! -s kallisto_idx/transcripts.idx ] || [ "$(cat kallisto_idx/source.txt 2>/dev/null)" != "$KSOURCE" ]; then
	echo "== kallisto index" >&2
	rm -rf kallisto_idx
	mkdir -p kallisto_idx
	# Transcript-to-gene map: vora-T names each transcript GENE_TRANSCRIPT by the GTF's gene_id
	# and transcript_id.
	"$PY" - "$GTF" "$VORAT_INDEX.fasta" > kallisto_idx/t2g.txt << 'EOF'
import re, sys
names = {}
with open(sys.argv[1]) as f:
    for line in f:
        if line.startswith("#"):
            continue
        fields = line.rstrip("\n").split("\t")
        if len(fields) < 9 or fields[2] not in ("transcript", "exon"):
            continue
        attr = dict(re.findall(r'(\S+) "([^"]*)"', fields[8]))
        if "gene_id" in attr and "transcript_id" in attr:
            gid = attr["gene_id"]
            names[gid + "_" + attr["transcript_id"]] = (gid, attr.get("gene_name", gid))
with open(sys.argv[2]) as f:
    for line in f:
        if line.startswith(">"):
            tx = line[1:].split()[0]
            if tx not in names:
                sys.exit("transcript %s of the index is not in the GTF" % tx)
            print("%s\t%s\t%s" % (tx, names[tx][0], names[tx][1]))
EOF
	step kallisto_idx/build kallisto index -i kallisto_idx/transcripts.idx "$VORAT_INDEX.fasta"
	echo "$KSOURCE" > kallisto_idx/source.txt
fi

# --- the runs -------------------------------------------------------------------------------
# Seconds since the epoch, with fractions, of the moment each stderr line of the run arrived.
stamp_lines() {
	while IFS= read -r line; do printf '%s %s\n' "$(date +%s.%N)" "$line"; done
}

# Seconds since the epoch when the count run (the process of /usr/bin/time and its child, whose
# command lines hold "count -x PREFIX") first holds file $1 open: vora-T opens the reads once its
# index is loaded. The two processes are found once; their open files are then polled every
# 10 ms with shell builtins, so the poll takes next to no time from the run.
opened_at() {
	local pids="" pid fd
	while [ "$(echo "$pids" | wc -w)" -lt 2 ]; do
		pids=$(pgrep -f -- "count -x $VORAT_INDEX -l 1") || true
		sleep 0.01
	done
	for ((;;)); do
		local alive=0
		for pid in $pids; do
			[ -d "/proc/$pid" ] && alive=1
			for fd in /proc/"$pid"/fd/*; do
				if [ "$fd" -ef "$1" ]; then date +%s.%N; return; fi
			done
		done
		[ "$alive" = 1 ] || return 0
		sleep 0.01
	done
}

load_before=$(uptime | sed 's/.*load average: //')
run_vorat() {
	echo "== vora-T count (round $1 of $ROUNDS)" >&2
	rm -rf vorat vorat.log vorat.stderr vorat.reads_opened
	opened_at "$R2" > vorat.reads_opened &
	poller=$!
	start=$(date +%s.%N)
	{ /usr/bin/time -v "$BIN" count -x "$VORAT_INDEX" -l 1 -t "$THREADS" -o vorat --log vorat.log \
		-1 "$R1" -2 "$R2" 2>&1 > /dev/null | stamp_lines > vorat.stderr; } || { tail -20 vorat.stderr >&2; exit 1; }
	end=$(date +%s.%N)
	wait "$poller" || true
	grep -q 'Exit status: 0' vorat.stderr || { tail -20 vorat.stderr >&2; exit 1; }
	awk -v s="$start" -v e="$end" 'BEGIN { printf "%.3f\n", e - s }' > vorat.wall
	grep 'Maximum resident set size' vorat.stderr | awk '{print $NF}' > vorat.rss
	map_from=$(grep -a 'Loading kmer hash table' vorat.stderr | awk '{print $1}')
	map_to=$(grep -a 'Number of processed reads: [0-9]*$' vorat.stderr | tail -1 | awk '{print $1}')
	awk -v a="$map_from" -v b="$map_to" 'BEGIN { printf "%.3f\n", b - a }' > vorat.readphase
	[ -s vorat.reads_opened ] || { echo "the run never opened $R2" >&2; exit 1; }
	awk -v b="$map_to" '{ printf "%.3f\n", b - $1 }' vorat.reads_opened > vorat.mapphase
}

run_star() {
	echo "== STARsolo (round $1 of $ROUNDS)" >&2
	rm -rf star
	mkdir -p star
	step star/run STAR --runThreadN "$THREADS" --genomeDir star_idx --readFilesCommand zcat \
		--readFilesIn "$R2" "$R1" --soloType CB_UMI_Simple --soloCBwhitelist None --soloCBstart 1 \
		--soloCBlen 16 --soloUMIstart 17 --soloUMIlen 12 --soloBarcodeReadLength 0 --soloFeatures Gene \
		--outSAMtype None --outFileNamePrefix star/
}

run_kb() {
	echo "== kallisto|bustools (round $1 of $ROUNDS)" >&2
	rm -rf kb
	mkdir -p kb
	step kb/bus kallisto bus -i kallisto_idx/transcripts.idx -o kb -x 10xv3 -t "$THREADS" "$R1" "$R2"
	step kb/sort bustools sort -t "$THREADS" -m "$BUS_SORT_MEM" -T kb/tmp -o kb/sorted.bus kb/output.bus
	# Two whitelists: bustools' own from the data, and the truth's cell barcodes.
	for wl in bustools truth; do
		mkdir -p "kb/$wl"
		steps="bus sort"
		if [ "$wl" = truth ]; then
			cp "$TRUTH/barcodes.tsv" kb/truth/whitelist.txt
		else
			step kb/$wl/whitelist bustools whitelist -o kb/$wl/whitelist.txt kb/sorted.bus
			steps="$steps $wl/whitelist"
		fi
		step kb/$wl/correct bustools correct -w kb/$wl/whitelist.txt -o kb/$wl/corrected.bus kb/sorted.bus
		step kb/$wl/sort bustools sort -t "$THREADS" -m "$BUS_SORT_MEM" -T kb/tmp -o kb/$wl/corrected.sorted.bus \
			kb/$wl/corrected.bus
		step kb/$wl/count bustools count -o kb/$wl/genes -g kallisto_idx/t2g.txt -e kb/matrix.ec \
			-t kb/transcripts.txt --genecounts kb/$wl/corrected.sorted.bus
		steps="$steps $wl/correct $wl/sort $wl/count"
		echo "$steps" > "kb/$wl/steps"
		for s in $steps; do cat "kb/$s.wall"; done | awk '{ s += $1 } END { printf "%.3f\n", s }' > "kb/$wl/pipeline.wall"
		for s in $steps; do cat "kb/$s.rss"; done | sort -n | tail -1 > "kb/$wl/pipeline.rss"
	done
}

# The median of column $1 of file $2.
median() {
	sort -g -k "$1,$1" "$2" | awk -v c="$1" '{ v[NR] = $c } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

rm -f vorat.rounds star.rounds kb.rounds
for ((round = 1; round <= ROUNDS; ++round)); do
	run_vorat "$round"
	echo "$(cat vorat.wall) $(cat vorat.mapphase) $(cat vorat.readphase) $(cat vorat.rss)" >> vorat.rounds
	run_star "$round"
	echo "$(cat star/run.wall) $(grep 'Mapping speed, Million of reads per hour' star/Log.final.out |
		awk -F'|' '{ print $2 + 0 }') $(cat star/run.rss)" >> star.rounds
	run_kb "$round"
	echo "$(cat kb/bustools/pipeline.wall) $(cat kb/truth/pipeline.wall) $(cat kb/bus.wall)" >> kb.rounds
done
for f in 1:wall 2:mapphase 3:readphase 4:rss; do median "${f%%:*}" vorat.rounds > "vorat.${f#*:}"; done
median 1 star.rounds > star/run.wall
median 3 star.rounds > star/run.rss
star_speed=$(median 2 star.rounds)
for f in 1:bustools/pipeline 2:truth/pipeline 3:bus; do median "${f%%:*}" kb.rounds > "kb/${f#*:}.wall"; done

echo "== agreement with the truth" >&2
"$PY" "$ROOT/bench/peers_truth.py" "$TRUTH" vorat=vorat:vorat/raw_feature_bc_matrix \
	star=star:star/Solo.out/Gene/raw kb=bus:kb/bustools/genes kbtruth=bus:kb/truth/genes > agreement.tsv

# --- the table ------------------------------------------------------------------------------
agree() { awk -F'\t' -v t="$1" '$1 == t { printf "%6d %9.3f %8.4f %8.4f", $2, $3, $4, $5 }' agreement.tsv; }
row() { # label wall steady_seconds_or_rate rss_kib agreement_label
	awk -v l="$1" -v w="$2" -v s="$3" -v r="$4" -v n="$PAIRS" -v a="$5" 'BEGIN {
		steady = (s == "-") ? "-" : sprintf("%.0f", s);
		printf "%-24s %9.1f %14.0f %15s %10.0f MiB  %s\n", l, w, n / w, steady, r / 1024, a }'
}
{
	echo "read pairs: $PAIRS; genome: $GENOME_BASES bases; threads: $THREADS; truth cells: $(grep -c '' "$TRUTH/barcodes.tsv")"
	echo "machine: $(nproc) cores, $(free -g | awk '/^Mem:/ {print $2}') GiB; load average before the runs $load_before," \
		"after $(uptime | sed 's/.*load average: //')"
	printf '%-24s %9s %14s %15s %14s  %6s %9s %8s %8s\n' tool "wall (s)" "pairs/s whole" "pairs/s steady" "peak RSS" \
		cells "UMI share" "r truth" "r union"
	row "vora-T count" "$(cat vorat.wall)" "$(awk -v n="$PAIRS" '{ print n / $1 }' vorat.mapphase)" \
		"$(cat vorat.rss)" "$(agree vorat)"
	row "STARsolo" "$(cat star/run.wall)" "$(awk -v m="$star_speed" 'BEGIN { print m * 1e6 / 3600 }')" \
		"$(cat star/run.rss)" "$(agree star)"
	row "kallisto|bustools" "$(cat kb/bustools/pipeline.wall)" - "$(cat kb/bustools/pipeline.rss)" "$(agree kb)"
	row "  truth as whitelist" "$(cat kb/truth/pipeline.wall)" - "$(cat kb/truth/pipeline.rss)" "$(agree kbtruth)"
	row "  kallisto bus alone" "$(cat kb/bus.wall)" - "$(cat kb/bus.rss)" ""
	echo "steady: vora-T from opening the reads to the last read count ($(cat vorat.mapphase) s; from loading" \
		"its k-mer hash $(cat vorat.readphase) s, $(awk -v n="$PAIRS" '{ printf "%.0f", n / $1 }' vorat.readphase) pairs/s);" \
		"STARsolo: Log.final.out mapping speed ($star_speed M reads/h, genome loading and Solo counting left out)"
	if [ "$ROUNDS" -gt 1 ]; then
		echo "medians of $ROUNDS rounds in turns; steady pairs/s per round, vora-T / STARsolo:" \
			"$(paste -d' ' vorat.rounds star.rounds | awk -v n="$PAIRS" '{ v = n / $2; st = $6 * 1e6 / 3600
				printf "%s%.0f / %.0f (%.2fx)", (NR > 1 ? "; " : ""), v, st, v / st }')"
		echo "whole-run pairs/s per round, vora-T / kallisto|bustools:" \
			"$(paste -d' ' vorat.rounds kb.rounds | awk -v n="$PAIRS" '{ v = n / $1; k = n / $5
				printf "%s%.0f / %.0f (%.2fx)", (NR > 1 ? "; " : ""), v, k, v / k }')"
	fi
	echo "kallisto|bustools steps (wall s, last round): $(for s in $(cat kb/bustools/steps) truth/correct truth/sort truth/count; do
		printf '%s %s  ' "$s" "$(cat "kb/$s.wall")"; done)"
	echo "bustools whitelist: $(grep -c '' kb/bustools/whitelist.txt) barcodes; bustools sort -m $BUS_SORT_MEM"
	echo "index builds (wall s, peak RSS MiB; made once and kept):"
	for b in vorat_idx/build star_idx/build kallisto_idx/build; do
		if [ -s "$b.wall" ]; then
			printf '  %-16s %9.1f s %8.0f MiB\n' "${b%%/*}" "$(cat "$b.wall")" "$(awk '{ print $1 / 1024 }' "$b.rss")"
		fi
	done
	echo "data: $SIM_DIR; vora-T: $BIN, index $VORAT_INDEX"
} | tee table.txt
