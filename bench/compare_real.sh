#!/usr/bin/env bash
# Real-data comparison: vora-T without and with --trim-adapters against STARsolo (STAR from
# Debian's rna-star) on the real 10X-Chromium 3' v3 PBMC reads of ../shared/data and the real
# GRCh38 chromosome 21 region with its Ensembl annotation. The reads come from the whole of
# chromosome 21, so reads of copies elsewhere land on the region with several mismatches:
# STARsolo is run as it comes (up to 10 mismatches) and with at most 3. Both tools count every barcode (no
# whitelist, no cell calling: vora-T's raw_feature_bc_matrix, STARsolo's raw matrix), so the
# figures compare UMIs per gene. Prints the UMIs per gene side by side (genes with a UMI in
# any run), the totals, the share of the peer's UMIs reached in total and in the genes with
# 10 or more peer UMIs, and the share of read pairs that the trimming touched.
#
# The two indexes and the STARsolo runs are made once and kept in the work dir.
#
# Usage: bench/compare_real.sh [work_dir]
#   VORAT_BIN   vora-T to run (default: build/vora-T under the project root)
#   DATA        the shared data folder (default: ../shared/data beside the project root)
#   THREADS     threads of every run (default 2)
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BIN=${VORAT_BIN:-$ROOT/build/vora-T}
DATA=${DATA:-$ROOT/../shared/data}
WORK=${1:-$ROOT/bench/out/compare_real}
THREADS=${THREADS:-2}

FA=$DATA/grch38-chr21-region/chr21-region.fa
GTF=$DATA/grch38-chr21-region/chr21-region.gtf
READS=$DATA/pbmc5k-v3-chr21/Chromium_3p_GEX_Human_PBMC_chr21_100000_S1
R1="${READS}_L001_R1_001.fastq.gz ${READS}_L002_R1_001.fastq.gz"
R2="${READS}_L001_R2_001.fastq.gz ${READS}_L002_R2_001.fastq.gz"

[ -x "$BIN" ] || { echo "vora-T not found at $BIN (set VORAT_BIN)" >&2; exit 1; }
for f in "$FA" "$GTF" ${R1} ${R2}; do
	[ -r "$f" ] || { echo "missing $f (set DATA)" >&2; exit 1; }
done
command -v STAR > /dev/null || { echo "STAR not found (Debian package rna-star)" >&2; exit 1; }
PY=/usr/bin/python3
[ -x "$PY" ] || PY=python3
mkdir -p "$WORK"
cd "$WORK"

if [ ! -s idx/region.hash ]; then
	echo "== vora-T index" >&2
	"$BIN" index -g "$FA" -t "$GTF" -p region -o idx 2> index.err || { cat index.err >&2; exit 1; }
fi
for mode in plain trim; do
	opts=""
	[ "$mode" = trim ] && opts="--trim-adapters"
	echo "== vora-T count ($mode)" >&2
	rm -rf "vorat-$mode"
	# shellcheck disable=SC2086
	"$BIN" count -x idx/region -l 1 -t "$THREADS" -o "vorat-$mode" --log "vorat-$mode.log" $opts \
		-1 ${R1} -2 ${R2} 2> "vorat-$mode.err" || { cat "vorat-$mode.err" >&2; exit 1; }
done

if [ ! -s star_idx/SA ]; then
	echo "== STAR genomeGenerate" >&2
	rm -rf star_idx
	mkdir -p star_idx
	STAR --runMode genomeGenerate --runThreadN "$THREADS" --genomeDir star_idx --genomeFastaFiles "$FA" \
		--sjdbGTFfile "$GTF" --genomeSAindexNbases 9 --outFileNamePrefix star_idx/ > star_idx.log 2>&1 ||
		{ cat star_idx.log >&2; exit 1; }
fi
# STARsolo as it comes (up to 10 mismatches per read), and limited to 3 mismatches, about what
# vora-T's score floor lets through on a 90-base read.
for run in star:10 star3:3; do
	dir=${run%%:*}
	[ -s "$dir/Solo.out/Gene/raw/matrix.mtx" ] && continue
	echo "== STARsolo ($dir)" >&2
	rm -rf "$dir"
	mkdir -p "$dir"
	# shellcheck disable=SC2086
	STAR --runThreadN "$THREADS" --genomeDir star_idx --readFilesCommand zcat \
		--readFilesIn "$(echo ${R2} | tr ' ' ,)" "$(echo ${R1} | tr ' ' ,)" \
		--soloType CB_UMI_Simple --soloCBwhitelist None --soloCBlen 16 --soloUMIstart 17 --soloUMIlen 12 \
		--soloBarcodeReadLength 0 --outFilterMismatchNmax "${run#*:}" --outSAMtype None \
		--outFileNamePrefix "$dir/" > "$dir.log" 2>&1 || { cat "$dir.log" >&2; exit 1; }
done

"$PY" - vorat-plain vorat-trim star/Solo.out/Gene/raw star3/Solo.out/Gene/raw vorat-trim.err << 'EOF'
import gzip, re, sys

def opener(path):
    return gzip.open(path, "rt") if path.endswith(".gz") else open(path)

def gene_umis(folder, gz):
    sfx = ".gz" if gz else ""
    with opener(f"{folder}/features.tsv{sfx}") as f:
        genes = [l.rstrip("\n").split("\t")[:2] for l in f]
    totals = [0] * len(genes)
    with opener(f"{folder}/matrix.mtx{sfx}") as f:
        header = True
        for line in f:
            if line.startswith("%"):
                continue
            if header:
                header = False
                continue
            g, _, c = line.split()
            totals[int(g) - 1] += int(c)
    return {gid: (name, totals[i]) for i, (gid, name) in enumerate(genes)}

plain = gene_umis(sys.argv[1] + "/raw_feature_bc_matrix", True)
trim = gene_umis(sys.argv[2] + "/raw_feature_bc_matrix", True)
star = gene_umis(sys.argv[3], False)
star3 = gene_umis(sys.argv[4], False)
def peer(table, g):
    return table.get(g, ("", 0))[1]
ids = [g for g in plain if plain[g][1] or trim[g][1] or peer(star, g) or peer(star3, g)]
ids.sort(key=lambda g: -peer(star, g))
print(f"{'gene':<18} {'name':<14} {'STARsolo':>9} {'STAR<=3mm':>9} {'vora-T':>9} {'trimmed':>9} {'share':>7} {'<=3mm':>7}")
sums = [0, 0, 0, 0]
def ratio(a, b):
    return f"{a / b:7.3f}" if b else "      -"
for g in ids:
    s, s3, p, t = peer(star, g), peer(star3, g), plain[g][1], trim[g][1]
    sums[0] += s; sums[1] += s3; sums[2] += p; sums[3] += t
    print(f"{g:<18} {plain[g][0]:<14} {s:9d} {s3:9d} {p:9d} {t:9d} {ratio(t, s)} {ratio(t, s3)}")
print(f"{'total':<33} {sums[0]:9d} {sums[1]:9d} {sums[2]:9d} {sums[3]:9d} {ratio(sums[3], sums[0])} {ratio(sums[3], sums[1])}")
for label, table, total in (("STARsolo", star, sums[0]), ("STARsolo <= 3 mismatches", star3, sums[1])):
    print(f"share of {label} UMIs: total {sums[2] / max(1, total):.3f} without trimming, "
          f"{sums[3] / max(1, total):.3f} with")
    big = [g for g in ids if peer(table, g) >= 10]
    if big:
        worst = min(big, key=lambda g: trim[g][1] / peer(table, g))
        print(f"  genes with >= 10 of its UMIs: {len(big)}; lowest share with trimming "
              f"{trim[worst][1] / peer(table, worst):.3f} ({trim[worst][0]})")
err = open(sys.argv[5]).read()
def stat(label):
    m = re.search(r"\[INFO\] " + re.escape(label) + r"\s*:\s*(\d+)", err)
    return int(m.group(1)) if m else 0
total = stat("Total number of reads")
for label in ("Number of TSO-trimmed reads", "Number of poly(A)-trimmed reads", "Number of quality-trimmed reads",
              "Number of reads too short to map"):
    print(f"{label}: {stat(label)} of {total} read pairs ({100.0 * stat(label) / max(1, total):.1f} %)")
EOF
