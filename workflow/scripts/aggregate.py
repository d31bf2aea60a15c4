#!/usr/bin/env python3
"""Study-wide summary of vora-T count runs.

Reads the summary.json of every sample and writes
  - a tab-separated table, one line per sample (samples_summary.tsv), and
  - one self-contained HTML page (no network, no script): the same figures as a table and
    every sample's barcode-rank ("knee") plot side by side, all on the same axes so that
    samples compare at a glance.

    aggregate.py --tsv OUT.tsv --html OUT.html --sample NAME LIBRARY LANES SUMMARY_JSON ...
"""

import argparse
import html
import json
import math
import sys

# Columns of the table: (TSV name, group heading on the page, heading, value from (sample
# record, summary)). The page splits them in two tables, reads and cells, at "cells".
COLUMNS = [
    ("sample", "", "Sample", lambda s, j: s["name"]),
    ("library_type", "", "Library", lambda s, j: s["library"]),
    ("lanes", "", "Lanes", lambda s, j: s["lanes"]),
    ("reads_total", "Reads", "Total", lambda s, j: j["reads"]["total"]),
    ("reads_exonic", "Reads", "Exonic", lambda s, j: j["reads"]["exonic"]),
    ("reads_nonexonic", "Reads", "Nonexonic", lambda s, j: j["reads"].get("nonexonic")),
    ("reads_intronic", "Reads", "Intronic", lambda s, j: j["reads"].get("intronic")),
    ("reads_intergenic", "Reads", "Intergenic", lambda s, j: j["reads"].get("intergenic")),
    ("reads_unmapped", "Reads", "Unmapped", lambda s, j: j["reads"]["unmapped"]),
    ("trimmed_tso", "Trimmed", "Oligo", lambda s, j: j.get("trimmed_reads", {}).get("tso")),
    ("trimmed_polya", "Trimmed", "Poly(A)", lambda s, j: j.get("trimmed_reads", {}).get("polya")),
    ("trimmed_quality", "Trimmed", "3' end", lambda s, j: j.get("trimmed_reads", {}).get("quality")),
    ("trimmed_too_short", "Trimmed", "Too short", lambda s, j: j.get("trimmed_reads", {}).get("too_short")),
    ("cells", "", "Cells", lambda s, j: j["cells"]),
    ("median_umis_per_cell", "Per cell (median)", "UMIs", lambda s, j: j["median_umis_per_cell"]),
    ("median_genes_per_cell", "Per cell (median)", "Genes", lambda s, j: j["median_genes_per_cell"]),
    ("umis_in_cells", "In cells", "UMIs", lambda s, j: j["umis_in_cells"]),
    ("fraction_exonic_reads_in_cells", "In cells", "Exonic reads", lambda s, j: j["fraction_exonic_reads_in_cells"]),
    ("sequencing_saturation", "", "Saturation", lambda s, j: j["sequencing_saturation"]),
    ("barcodes_detected", "", "Barcodes", lambda s, j: j["barcodes_detected"]),
]

# Colours of the samples' curves and table marks, in turn.
PALETTE = ["#1f6fb4", "#d9730d", "#2a9d55", "#c0392b", "#7b4fb0", "#8c5a3c", "#d0458f", "#5f6b73",
           "#a1a51c", "#1aa0b0"]


def load(samples):
    """Each sample record with its parsed summary, in the given order."""
    rows = []
    for name, library, lanes, path in samples:
        try:
            with open(path) as f:
                summary = json.load(f)
            for key in ("reads", "cells", "barcode_rank"):
                if key not in summary:
                    raise ValueError("no '%s' member" % key)
        except (OSError, ValueError) as e:
            sys.exit("[ERROR] %s: not a vora-T run summary (%s)" % (path, e))
        rows.append(({"name": name, "library": library, "lanes": int(lanes)}, summary))
    return rows


def used_columns(rows):
    """The table's columns without those that no sample has (nonexonic or intronic)."""
    return [c for c in COLUMNS if any(c[3](s, j) is not None for s, j in rows)]


def tsv_text(rows, columns):
    out = ["\t".join(c[0] for c in columns)]
    for s, j in rows:
        values = (c[3](s, j) for c in columns)
        out.append("\t".join("NA" if v is None else str(v) for v in values))
    return "\n".join(out) + "\n"


def shown(name, value):
    """A figure as the page shows it: grouped digits, fractions in per cent."""
    if value is None:
        return "&#8211;"
    if name in ("sequencing_saturation", "fraction_exonic_reads_in_cells"):
        return "%.1f&#160;%%" % (100.0 * value)
    if isinstance(value, float):
        return "{:,.1f}".format(value)
    if isinstance(value, int):
        return "{:,}".format(value)
    return html.escape(str(value))


# One knee plot: size and plot area in SVG units.
W, H, LEFT, RIGHT, TOP, BOTTOM = 380, 262, 58, 352, 14, 214


def decades(v):
    """Exponent of the smallest power of ten (at least 10) not below v."""
    k = 1
    while 10 ** k < v:
        k += 1
    return k


def power_label(k):
    return "{:,}".format(10 ** k) if k <= 6 else "1e%d" % k


def knee_svg(name, colour, summary, x_dec, y_dec):
    points = summary["barcode_rank"]["points"]
    cutoff = summary["barcode_rank"]["cutoff_rank"]

    def x(rank):
        return LEFT + (RIGHT - LEFT) * math.log10(max(rank, 1)) / x_dec

    def y(umis):
        return BOTTOM - (BOTTOM - TOP) * math.log10(max(umis, 1)) / y_dec

    out = ['<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" viewBox="0 0 %d %d" role="img">'
           % (W, H, W, H),
           "<title>Barcode rank plot of %s</title>" % html.escape(name),
           '<rect class="frame" x="%d" y="%d" width="%d" height="%d"/>' % (LEFT, TOP, RIGHT - LEFT, BOTTOM - TOP)]
    for k in range(x_dec + 1):
        gx = LEFT + (RIGHT - LEFT) * k / x_dec
        out.append('<line class="grid" x1="%.1f" y1="%d" x2="%.1f" y2="%d"/>' % (gx, TOP, gx, BOTTOM))
        out.append('<text x="%.1f" y="%d" text-anchor="middle">%s</text>' % (gx, BOTTOM + 15, power_label(k)))
    for k in range(y_dec + 1):
        gy = BOTTOM - (BOTTOM - TOP) * k / y_dec
        out.append('<line class="grid" x1="%d" y1="%.1f" x2="%d" y2="%.1f"/>' % (LEFT, gy, RIGHT, gy))
        out.append('<text x="%d" y="%.1f" text-anchor="end">%s</text>' % (LEFT - 5, gy + 4, power_label(k)))
    out.append('<text x="%d" y="%d" text-anchor="middle">Barcode rank</text>' % ((LEFT + RIGHT) // 2, BOTTOM + 36))
    mid = (TOP + BOTTOM) // 2
    out.append('<text x="13" y="%d" text-anchor="middle" transform="rotate(-90 13 %d)">UMIs</text>' % (mid, mid))

    # Cells up to the cut-off, the other barcodes from there on, so the two lines meet.
    split = sum(1 for rank, _ in points if rank <= cutoff)
    cells = points[:split]
    rest = points[max(split - 1, 0):]
    for part, style in ((rest, 'class="curve background"'), (cells, 'class="curve" stroke="%s"' % colour)):
        if len(part) > 1:
            out.append('<polyline %s points="%s"/>'
                       % (style, " ".join("%.1f,%.1f" % (x(r), y(u)) for r, u in part)))
    if cutoff > 0:
        cx = x(cutoff)
        out.append('<line class="cutoff" x1="%.1f" y1="%d" x2="%.1f" y2="%d"/>' % (cx, TOP, cx, BOTTOM))
        anchor, lx = ("end", cx - 5) if cx > (LEFT + RIGHT) / 2 else ("start", cx + 5)
        out.append('<text class="cutoff-label" x="%.1f" y="%d" text-anchor="%s">%s cells</text>'
                   % (lx, TOP + 16, anchor, "{:,}".format(cutoff)))
    out.append("</svg>")
    return "\n".join(out)


STYLE = """
body { font-family: sans-serif; margin: 2em; color: #222; }
h1 { font-size: 1.5em; margin-bottom: 0.2em; }
p.note { color: #555; margin-top: 0; }
table { border-collapse: collapse; margin-bottom: 2em; font-size: 0.9em; }
th, td { padding: 0.3em 0.55em; border-bottom: 1px solid #ddd; }
thead th { text-align: right; font-weight: 600; color: #444; vertical-align: bottom; white-space: nowrap; }
thead tr:last-child th, thead th[rowspan] { border-bottom: 2px solid #bbb; }
thead th.group { text-align: center; border-bottom: 1px solid #bbb; }
thead tr:first-child th:first-child, tbody th { text-align: left; }
tbody th { font-weight: 600; white-space: nowrap; }
td { text-align: right; font-variant-numeric: tabular-nums; white-space: nowrap; }
tbody tr:nth-child(even) { background: #f7f7f7; }
.mark { display: inline-block; width: 0.8em; height: 0.8em; border-radius: 0.2em; margin-right: 0.4em; }
.plots { display: flex; flex-wrap: wrap; gap: 1em; }
figure { margin: 0; padding: 0.5em; border: 1px solid #ddd; border-radius: 0.4em; }
figcaption { font-weight: 600; margin: 0 0 0.2em 0.3em; }
figcaption span { font-weight: normal; color: #555; }
svg text { font-size: 11px; fill: #333; }
svg .frame { fill: none; stroke: #999; }
svg .grid { stroke: #e8e8e8; }
svg .curve { fill: none; stroke-width: 2.2; }
svg .background { stroke: #aaa; }
svg .cutoff { stroke: #555; stroke-dasharray: 5 4; stroke-width: 1.2; }
svg .cutoff-label { fill: #444; }
"""


def table_html(table_id, rows, columns):
    """One table of the page: the sample (with its colour) and `columns[1:]`."""
    out = ['<table id="%s">' % table_id, '<thead><tr>']
    # Two heading lines: a group heading over its columns, lone columns over both lines.
    second = []
    for i, c in enumerate(columns):
        if not c[1]:
            out.append('<th rowspan="2">%s</th>' % c[2])
        elif i == 0 or columns[i - 1][1] != c[1]:
            span = sum(1 for d in columns if d[1] == c[1])
            out.append('<th colspan="%d" class="group">%s</th>' % (span, c[1]))
        if c[1]:
            second.append('<th>%s</th>' % c[2])
    out.append('</tr><tr>%s</tr></thead>' % "".join(second))
    out.append('<tbody>')
    for i, (s, j) in enumerate(rows):
        mark = '<span class="mark" style="background: %s"></span>' % PALETTE[i % len(PALETTE)]
        cells = ['<th>%s%s</th>' % (mark, html.escape(s["name"]))]
        cells += ['<td>%s</td>' % shown(c[0], c[3](s, j)) for c in columns[1:]]
        out.append('<tr>%s</tr>' % "".join(cells))
    out.append('</tbody></table>')
    return out


def html_text(rows, columns):
    x_dec = decades(max([p[0] for _, j in rows for p in j["barcode_rank"]["points"]] + [10]))
    y_dec = decades(max([p[1] for _, j in rows for p in j["barcode_rank"]["points"]] + [10]))
    total_cells = sum(j["cells"] for _, j in rows)
    out = ['<!DOCTYPE html>',
           '<html xmlns="http://www.w3.org/1999/xhtml" lang="en">',
           '<head>', '<meta charset="utf-8"/>', '<title>vora-T: %d samples</title>' % len(rows),
           '<style>%s</style>' % STYLE, '</head>', '<body>',
           '<h1>vora-T: %d samples, %s cells</h1>' % (len(rows), "{:,}".format(total_cells))]
    split = next(i for i, c in enumerate(columns) if c[0] == "cells")
    out += ['<h2>Reads</h2>'] + table_html("reads", rows, columns[:split])
    out += ['<h2>Cells</h2>'] + table_html("cells", rows, columns[:1] + columns[split:])
    out.append('<p class="note">Saturation: 1 &#8722; distinct UMIs / exonic reads recorded. Barcodes: '
               'every barcode detected (the length of its rank plot).</p>')
    out.append('<h2>Barcode rank plots</h2>')
    out.append('<p class="note">Distinct UMIs of every barcode by rank (log scales, the same for every '
               'sample); coloured: the barcodes called cells, up to the dashed cut-off.</p>')
    out.append('<div class="plots">')
    for i, (s, j) in enumerate(rows):
        out.append('<figure id="knee-%s">' % html.escape(s["name"]))
        out.append('<figcaption>%s <span>%s, %s cells</span></figcaption>'
                   % (html.escape(s["name"]), html.escape(s["library"]), "{:,}".format(j["cells"])))
        out.append(knee_svg(s["name"], PALETTE[i % len(PALETTE)], j, x_dec, y_dec))
        out.append('</figure>')
    out += ['</div>', '</body>', '</html>']
    return "\n".join(out) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tsv", required=True)
    parser.add_argument("--html", required=True)
    parser.add_argument("--sample", nargs=4, action="append", required=True,
                        metavar=("NAME", "LIBRARY", "LANES", "SUMMARY_JSON"))
    args = parser.parse_args()
    rows = load(args.sample)
    columns = used_columns(rows)
    for path, text in ((args.tsv, tsv_text(rows, columns)), (args.html, html_text(rows, columns))):
        try:
            with open(path, "w") as f:
                f.write(text)
        except OSError as e:
            sys.exit("[ERROR] %s: cannot be written (%s)" % (path, e.strerror))


if __name__ == "__main__":
    main()
