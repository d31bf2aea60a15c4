#!/usr/bin/env python3
"""Agreement of count matrices from vora-T and its peers with the truth written by vorat-simulate.

usage: peers_truth.py TRUTH_DIR LABEL=FORMAT:PATH ...

FORMAT is one of
  vorat  a 10x matrix folder of vora-T (raw_feature_bc_matrix: matrix.mtx.gz, barcodes.tsv.gz,
         features.tsv.gz; genes are rows),
  star   a STARsolo matrix folder (Solo.out/Gene/raw: matrix.mtx, barcodes.tsv, features.tsv),
  bus    the output prefix of `bustools count --genecounts` (PREFIX.mtx with cells as rows,
         PREFIX.barcodes.txt, PREFIX.genes.txt).

Every matrix is restricted to the truth's cell barcodes (no cell calling) and its genes put in the
truth's features.tsv order; the result is written beside the input as a plain folder
(matrix.mtx, barcodes.tsv, features.tsv) that scripts/compare_truth.py reads as well:
<vorat folder>.vs_truth, <star folder>.vs_truth, <bus prefix>.vs_truth.

Prints one tab-separated line per matrix: label, the truth's cells that hold a UMI in it, UMIs in
the truth's cells as a share of the true UMIs, the Pearson correlation of per-(cell, gene) counts
over the truth's non-zero entries (as compare_truth.py computes it) and over every entry that is
non-zero in either matrix (so that counts in genes or cells with no true UMI weigh in too).
"""
import gzip
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "scripts"))
from compare_truth import pearson, read_matrix  # noqa: E402


def opener(path):
    return gzip.open(path, "rt") if path.endswith(".gz") else open(path)


def lines(path):
    with opener(path) as f:
        return [line.rstrip("\n") for line in f]


def mtx_entries(path):
    """(row, column, value) of a Matrix Market coordinate file, 1-based."""
    with opener(path) as f:
        header_seen = False
        for line in f:
            if line.startswith("%"):
                continue
            if not header_seen:
                header_seen = True
                continue
            r, c, v = line.split()
            yield int(r), int(c), int(float(v))


def load(fmt, path):
    """Counts keyed by (barcode, gene id)."""
    if fmt == "vorat":
        barcodes = lines(path + "/barcodes.tsv.gz")
        genes = [line.split("\t")[0] for line in lines(path + "/features.tsv.gz")]
        cells_are_rows, mtx = False, path + "/matrix.mtx.gz"
    elif fmt == "star":
        barcodes = lines(path + "/barcodes.tsv")
        genes = [line.split("\t")[0] for line in lines(path + "/features.tsv")]
        cells_are_rows, mtx = False, path + "/matrix.mtx"
    elif fmt == "bus":
        barcodes = lines(path + ".barcodes.txt")
        genes = [line.split("\t")[0] for line in lines(path + ".genes.txt")]
        cells_are_rows, mtx = True, path + ".mtx"
    else:
        raise SystemExit("unknown format " + fmt)
    counts = {}
    for r, c, v in mtx_entries(mtx):
        b, g = (r, c) if cells_are_rows else (c, r)
        key = (barcodes[b - 1], genes[g - 1])
        counts[key] = counts.get(key, 0) + v
    return counts


def write_folder(out, barcodes, features, counts):
    os.makedirs(out, exist_ok=True)
    bi = {b: i + 1 for i, b in enumerate(barcodes)}
    gi = {g.split("\t")[0]: i + 1 for i, g in enumerate(features)}
    entries = sorted((bi[b], gi[g], c) for (b, g), c in counts.items() if c)
    with open(out + "/barcodes.tsv", "w") as f:
        f.writelines(b + "\n" for b in barcodes)
    with open(out + "/features.tsv", "w") as f:
        f.writelines(g + "\n" for g in features)
    with open(out + "/matrix.mtx", "w") as f:
        f.write("%%MatrixMarket matrix coordinate integer general\n")
        f.write("%d\t%d\t%d\n" % (len(features), len(barcodes), len(entries)))
        f.writelines("%d\t%d\t%d\n" % (g, b, c) for b, g, c in entries)


def main(argv):
    if len(argv) < 3:
        sys.stderr.write(__doc__)
        return 2
    truth_dir = argv[1]
    true_bc, true_genes, truth = read_matrix(truth_dir)
    features = lines(truth_dir + "/features.tsv")
    cells, genes = set(true_bc), set(true_genes)
    true_total = sum(truth.values())
    for arg in argv[2:]:
        label, rest = arg.split("=", 1)
        fmt, path = rest.split(":", 1)
        res = {k: c for k, c in load(fmt, path.rstrip("/")).items() if k[0] in cells and k[1] in genes}
        write_folder(path.rstrip("/") + ".vs_truth", true_bc, features, res)
        share = sum(res.values()) / max(1, true_total)
        found = len({b for b, _ in res})
        keys = list(truth)
        r_truth = pearson([truth[k] for k in keys], [res.get(k, 0) for k in keys])
        union = keys + [k for k in res if k not in truth]
        r_union = pearson([truth.get(k, 0) for k in union], [res.get(k, 0) for k in union])
        print("%s\t%d\t%.4f\t%.4f\t%.4f" % (label, found, share, r_truth, r_union))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
