#!/usr/bin/env bash
# Index build benchmark: wall time and peak memory (/usr/bin/time -v) of `vora-T index`.
#
# Two kinds of input:
#   GENERATOR=plain (default): a generated genome (default 60 Mb in 3 sequences, with N runs,
#     soft-masked stretches and repeated segments) and annotation (default 4,000 genes,
#     1-3 transcripts each, both strands).
#   GENERATOR=human: vorat-simulate --human-like (human chromosome proportions, centromere-like
#     N runs, interspersed repeats, segmental duplications, about 3 isoforms per gene), with
#     reads; then a short `vora-T count` against the index is measured as well.
#
# One index run per BWT_MODES entry: auto (the program chooses), plain (whole-text divbwt64),
# blockwise (blocks of BWT_BLOCK bases); then the same with --no-bwt (the difference is the
# BWT step). Every .bwt built is compared with the first one: the choice must not change it.
#
# Usage: bench/bench_index.sh [work_dir]
#   VORAT_BIN   vora-T to run (default: build/vora-T under the project root)
#   SIM_BIN     vorat-simulate (default: build/tools/vorat-simulate)
#   GENOME_MB   genome size in megabases (default 60)
#   N_GENES     number of genes (default 4000)
#   N_READS     read pairs for the count run of GENERATOR=human (default 2000000)
#   BWT_MODES   e.g. "auto", "plain blockwise" (default auto)
#   BWT_BLOCK   block size of the blockwise mode, in bases (default 536870912)
# Human-scale runs (keep the data outside the repository, and nice them on a shared machine):
#   GENERATOR=human GENOME_MB=1000 N_GENES=6500 BWT_MODES="plain blockwise" nice -n 5 bench/bench_index.sh /work/bench-data/h1000
#   GENERATOR=human GENOME_MB=3100 N_GENES=20000 BWT_MODES=auto nice -n 5 bench/bench_index.sh /work/bench-data/h3100
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BIN=${VORAT_BIN:-$ROOT/build/vora-T}
WORK=${1:-$ROOT/bench/out/index}
SIM=${SIM_BIN:-$ROOT/build/tools/vorat-simulate}
GENOME_MB=${GENOME_MB:-60}
N_GENES=${N_GENES:-4000}
N_READS=${N_READS:-2000000}
GENERATOR=${GENERATOR:-plain}
BWT_MODES=${BWT_MODES:-auto}
BWT_BLOCK=${BWT_BLOCK:-536870912}

[ -x "$BIN" ] || { echo "vora-T not found at $BIN (set VORAT_BIN)" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "/usr/bin/time is required" >&2; exit 1; }
mkdir -p "$WORK"
cd "$WORK"

if [ "$GENERATOR" = human ]; then
	[ -x "$SIM" ] || { echo "vorat-simulate not found at $SIM (set SIM_BIN)" >&2; exit 1; }
	if [ ! -s genome.fa ] || [ "$(cat params.txt 2>/dev/null)" != "human $GENOME_MB $N_GENES $N_READS" ]; then
		echo "generating a human-like ${GENOME_MB} Mb genome, ${N_GENES} genes, ${N_READS} read pairs in $WORK" >&2
		/usr/bin/time -v "$SIM" --human-like --seed 3 --genome-size "$((GENOME_MB * 1000000))" --genes "$N_GENES" \
			--cells 1000 --reads "$N_READS" --version 3 --gzip --out sim 2> generate.stderr ||
			{ cat generate.stderr >&2; exit 1; }
		mv sim/genome.fa sim/genes.gtf .
		echo "human $GENOME_MB $N_GENES $N_READS" > params.txt
	fi
elif [ ! -s genome.fa ] || [ ! -s genes.gtf ] || [ "$(cat params.txt 2>/dev/null)" != "$GENOME_MB $N_GENES" ]; then
	echo "generating ${GENOME_MB} Mb genome and ${N_GENES} genes in $WORK" >&2
	python3 - "$GENOME_MB" "$N_GENES" <<'EOF'
import os, random, sys

genome_mb, n_genes = int(sys.argv[1]), int(sys.argv[2])
rng = random.Random(17)
total = genome_mb * 1000000
lengths = [total // 2, total // 3, total - total // 2 - total // 3]
table = bytes.maketrans(bytes(range(256)), b"ACGT" * 64)
chroms = []
for i, n in enumerate(lengths):
    s = bytearray(os.urandom(n).translate(table))
    # repeated segments (a few hundred copies of 1-5 kb), N runs, soft-masked stretches
    for _ in range(n // 200000):
        a = rng.randrange(n - 5000); l = rng.randrange(1000, 5000); b = rng.randrange(n - l)
        s[b:b + l] = s[a:a + l]
    for _ in range(n // 2000000):
        a = rng.randrange(n - 20000); l = rng.randrange(1000, 20000)
        s[a:a + l] = b"N" * l
    for _ in range(n // 100000):
        a = rng.randrange(n - 3000); l = rng.randrange(100, 3000)
        s[a:a + l] = bytes(s[a:a + l]).lower()
    chroms.append(("chr%d" % (i + 1), bytes(s)))

with open("genome.fa", "wb") as f:
    for name, s in chroms:
        f.write(b">" + name.encode() + b" generated\n")
        for i in range(0, len(s), 60):
            f.write(s[i:i + 60] + b"\n")

with open("genes.gtf", "w") as f:
    f.write("#!generated annotation\n")
    for g in range(n_genes):
        ci = rng.randrange(len(chroms)); name, s = chroms[ci]
        strand = "+" if rng.random() < 0.5 else "-"
        start = rng.randrange(1, len(s) - 200000)
        exons = []
        pos = start
        for _ in range(rng.randint(1, 10)):
            l = rng.randint(50, 400)
            exons.append((pos, pos + l - 1))
            pos += l + rng.randint(100, 5000)
        gid = "GENE%05d" % g
        f.write("%s\tgen\tgene\t%d\t%d\t.\t%s\t.\tgene_id \"%s\"; gene_name \"G%d\";\n"
                % (name, exons[0][0], exons[-1][1], strand, gid, g))
        for t in range(rng.randint(1, 3)):
            keep = [e for e in exons if rng.random() < 0.8] or exons[:1]
            tid = "%s.T%d" % (gid, t)
            attr = "gene_id \"%s\"; transcript_id \"%s\";" % (gid, tid)
            f.write("%s\tgen\ttranscript\t%d\t%d\t.\t%s\t.\t%s\n" % (name, keep[0][0], keep[-1][1], strand, attr))
            for a, b in keep:
                f.write("%s\tgen\texon\t%d\t%d\t.\t%s\t.\t%s\n" % (name, a, b, strand, attr))
EOF
	echo "$GENOME_MB $N_GENES" > params.txt
fi

run() {
	local label=$1; shift
	/usr/bin/time -v "$BIN" "$@" 2> "$label.stderr" || { cat "$label.stderr" >&2; exit 1; }
	local wall rss
	wall=$(grep 'Elapsed (wall clock)' "$label.stderr" | awk '{print $NF}')
	rss=$(grep 'Maximum resident set size' "$label.stderr" | awk '{print $NF}')
	printf '%-22s wall %-10s peak RSS %8.1f MiB\n' "$label" "$wall" "$(echo "$rss / 1024" | bc -l)"
}

echo "vora-T: $BIN"
[ "$GENERATOR" = human ] && grep -h 'Elapsed (wall clock)\|Maximum resident' generate.stderr | sed 's/^\s*/generator: /'
echo "genome: $(grep -v '>' genome.fa | tr -d '\n' | wc -c) bases in $(grep -c '>' genome.fa) sequences; transcripts: $(awk -F'\t' '$3=="transcript"' genes.gtf | wc -l)"
first=""
for mode in $BWT_MODES; do
	case $mode in
	auto) unset VORAT_BWT_BLOCK ;;
	plain) export VORAT_BWT_BLOCK=0 ;;
	blockwise) export VORAT_BWT_BLOCK=$BWT_BLOCK ;;
	*) echo "unknown BWT mode $mode" >&2; exit 1 ;;
	esac
	run "index-$mode" index -g genome.fa -t genes.gtf -p "bench-$mode" -o idx
	if [ -z "$first" ]; then
		first=$mode
	else
		cmp -s "idx/bench-$first.bwt" "idx/bench-$mode.bwt" || { echo "index-$mode: .bwt differs from index-$first" >&2; exit 1; }
		rm -f "idx/bench-$mode.bwt"
	fi
done
unset VORAT_BWT_BLOCK
run index-no-bwt index --no-bwt -g genome.fa -t genes.gtf -p "bench-$first" -o idx
grep -h 'Number of' "index-$first.stderr"
ls -l idx/bench-"$first".{bwt,info,hash} | awk '{printf "%-24s %12.0f bytes\n", $NF, $5}'
if [ "$GENERATOR" = human ]; then
	run count count -x "idx/bench-$first" -1 sim/R1.fastq.gz -2 sim/R2.fastq.gz -l 1 -t 2 -o count-out --log count.log
fi
