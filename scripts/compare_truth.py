#!/usr/bin/env python3
"""Compare a vora-T count result with the truth written by vorat-simulate.

usage: compare_truth.py RESULT_DIR TRUTH_DIR [--min-recall R] [--min-precision P] [--min-ratio X]

Both directories hold matrix.mtx, barcodes.tsv and features.tsv (genes in the same order).
Prints cell-calling recall and precision, and for the cells found in both, the share of
true UMIs recovered and the correlation of per-cell totals and of per-(cell, gene) counts.
Exits 1 when a given threshold is not met.
"""
import math
import sys


def read_matrix(d):
    with open(d + "/barcodes.tsv") as f:
        barcodes = [line.rstrip("\n") for line in f]
    with open(d + "/features.tsv") as f:
        genes = [line.split("\t")[0] for line in f]
    counts = {}
    with open(d + "/matrix.mtx") as f:
        header_seen = False
        for line in f:
            if line.startswith("%"):
                continue
            fields = line.split()
            if not header_seen:
                header_seen = True
                continue
            g, b, c = int(fields[0]), int(fields[1]), int(fields[2])
            counts[(barcodes[b - 1], genes[g - 1])] = c
    return barcodes, genes, counts


def pearson(xs, ys):
    n = len(xs)
    if n < 2:
        return float("nan")
    mx, my = sum(xs) / n, sum(ys) / n
    sxy = sum((x - mx) * (y - my) for x, y in zip(xs, ys))
    sxx = sum((x - mx) ** 2 for x in xs)
    syy = sum((y - my) ** 2 for y in ys)
    return sxy / math.sqrt(sxx * syy) if sxx > 0 and syy > 0 else float("nan")


def main(argv):
    if len(argv) < 3:
        sys.stderr.write(__doc__)
        return 2
    limits = {"--min-recall": 0.0, "--min-precision": 0.0, "--min-ratio": 0.0, "--min-corr": -1.0}
    args = argv[3:]
    for i in range(0, len(args) - 1, 2):
        limits[args[i]] = float(args[i + 1])
    res_bc, _, res = read_matrix(argv[1])
    true_bc, _, truth = read_matrix(argv[2])
    found, real = set(res_bc), set(true_bc)
    both = found & real
    recall = len(both) / len(real) if real else 1.0
    precision = len(both) / len(found) if found else 1.0
    tot_res = {b: 0 for b in both}
    tot_true = {b: 0 for b in both}
    for (b, g), c in res.items():
        if b in both:
            tot_res[b] += c
    for (b, g), c in truth.items():
        if b in both:
            tot_true[b] += c
    keys = [k for k in truth if k[0] in both]
    ratio = sum(tot_res.values()) / max(1, sum(tot_true.values()))
    cell_corr = pearson([tot_true[b] for b in both], [tot_res[b] for b in both])
    entry_corr = pearson([truth[k] for k in keys], [res.get(k, 0) for k in keys])
    print("cells: %d called, %d true, %d in both" % (len(found), len(real), len(both)))
    print("cell calling: recall %.3f, precision %.3f" % (recall, precision))
    print("UMIs recovered in shared cells: %.3f of the true count" % ratio)
    print("correlation with truth: per-cell totals %.3f, per-(cell, gene) counts %.3f" % (cell_corr, entry_corr))
    ok = (recall >= limits["--min-recall"] and precision >= limits["--min-precision"]
          and ratio >= limits["--min-ratio"] and (entry_corr >= limits["--min-corr"] or limits["--min-corr"] < 0))
    if not ok:
        print("below the expected accuracy")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
