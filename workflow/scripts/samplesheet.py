"""Sample sheet of the vora-T workflow: reading and checking.

The sheet is a CSV file with the header line

    sample,fastq_1,fastq_2,library_type

and one line per lane: the sample name, its read-1 file (barcode and UMI), its read-2 file
(cDNA) and the library type (10xv2, 10xv3, 10xv4, 10x5v2, 10x5v3, multiome-gex or auto). A sample sequenced on several lanes has one
line per lane, all with the same sample name and library type; its lanes are counted
together in one run. Relative file paths are taken from the sheet's own directory.

Every fault of the sheet is found before any job starts; each is reported on a line of its
own that names the sheet, the line and the sample, so that one look fixes them all.
"""

import csv
import os
import re

COLUMNS = ["sample", "fastq_1", "fastq_2", "library_type"]

# The `vora-T count` option of each library type: the two of `-l` as they were, the other
# kits by `--chemistry` (auto: decided from the reads).
LIBRARY_TYPES = {
    "10xv2": "-l 0",
    "10xv3": "-l 1",
    "10xv4": "--chemistry 10xv4",
    "10x5v2": "--chemistry 10x5v2",
    "10x5v3": "--chemistry 10x5v3",
    "multiome-gex": "--chemistry multiome-gex",
    "auto": "--chemistry auto",
}

# Sample names become folder and file names (and wildcard values): keep them plain.
SAMPLE_NAME = re.compile(r"^[A-Za-z0-9][A-Za-z0-9_.-]*$")
# Names of the study-wide files, which sit beside the samples' result folders.
RESERVED_NAMES = ("samples_summary.tsv", "samples_summary.html")


class SampleSheetError(Exception):
    """Faults of a sample sheet, one message per fault in `messages`."""

    def __init__(self, messages):
        super().__init__("\n".join(messages))
        self.messages = messages


class Sample:
    """One sample: its lanes as parallel lists of read-1 and read-2 files."""

    def __init__(self, name, library_type, line):
        self.name = name
        self.library_type = library_type
        self.line = line          # first line of the sample in the sheet
        self.fastq_1 = []
        self.fastq_2 = []
        self.unpaired = []        # (line, missing column) of lanes with one read file only

    @property
    def library_option(self):
        return LIBRARY_TYPES[self.library_type]


def _resolve(base, path):
    return os.path.normpath(path if os.path.isabs(path) else os.path.join(base, path))


def read_sample_sheet(path):
    """The samples of the sheet at `path`, in order of first appearance, as a dict
    name -> Sample; raises SampleSheetError listing every fault found."""
    try:
        with open(path, newline="", encoding="utf-8-sig") as f:  # spreadsheet exports may start with a BOM
            rows = list(csv.reader(f))
    except OSError as e:
        raise SampleSheetError(["sample sheet %s: cannot be read (%s)" % (path, e.strerror)])
    except (csv.Error, UnicodeDecodeError) as e:
        raise SampleSheetError(["sample sheet %s: not a CSV text (%s)" % (path, e)])

    rows = [(n, [c.strip() for c in r]) for n, r in enumerate(rows, 1) if any(c.strip() for c in r)]
    if not rows:
        raise SampleSheetError(["sample sheet %s: empty, expected the header %s" % (path, ",".join(COLUMNS))])
    header_line, header = rows[0]
    if header != COLUMNS:
        raise SampleSheetError(["sample sheet %s line %d: header is '%s', expected '%s'"
                                % (path, header_line, ",".join(header), ",".join(COLUMNS))])
    if len(rows) == 1:
        raise SampleSheetError(["sample sheet %s: no sample lines after the header" % path])

    base = os.path.dirname(path)
    errors = []
    samples = {}
    seen_files = {}  # resolved path -> line of first use

    def fault(line, name, text):
        errors.append("sample sheet %s line %d (sample '%s'): %s" % (path, line, name, text))

    for line, cells in rows[1:]:
        if len(cells) != len(COLUMNS):
            errors.append("sample sheet %s line %d: %d fields, expected %d (%s)"
                          % (path, line, len(cells), len(COLUMNS), ",".join(COLUMNS)))
            continue
        name, r1, r2, lib = cells
        if not SAMPLE_NAME.match(name):
            fault(line, name, "sample name must be letters, digits, '_', '-' or '.', starting with a letter or digit")
            continue
        if name in RESERVED_NAMES:
            fault(line, name, "sample name is taken by the study summary")
            continue
        if lib.lower() not in LIBRARY_TYPES:
            fault(line, name, "unknown library type '%s' (known: %s)" % (lib, ", ".join(LIBRARY_TYPES)))
            continue
        lib = lib.lower()
        sample = samples.get(name)
        if sample is None:
            sample = samples[name] = Sample(name, lib, line)
        elif sample.library_type != lib:
            fault(line, name, "library type %s differs from %s on line %d" % (lib, sample.library_type, sample.line))
            continue
        if not r1 and not r2:
            fault(line, name, "fastq_1 and fastq_2 are both empty")
            continue
        if bool(r1) != bool(r2):
            sample.unpaired.append((line, "fastq_2" if r1 else "fastq_1"))
        for column, given, files in (("fastq_1", r1, sample.fastq_1), ("fastq_2", r2, sample.fastq_2)):
            if not given:
                continue
            resolved = _resolve(base, given)
            files.append(resolved)
            if resolved in seen_files:
                fault(line, name, "duplicate lane: %s '%s' is already used on line %d"
                      % (column, given, seen_files[resolved]))
                continue
            seen_files[resolved] = line
            if not os.path.isfile(resolved):
                fault(line, name, "%s file '%s' not found" % (column, resolved))

    # A lane needs both reads of its pairs: the read-1 and read-2 lists of a sample must match.
    for sample in samples.values():
        if sample.unpaired:
            line, missing = sample.unpaired[0]
            fault(line, sample.name, "%d fastq_1 files but %d fastq_2 files (no %s on this line)"
                  % (len(sample.fastq_1), len(sample.fastq_2), missing))
    if errors:
        raise SampleSheetError(errors)
    return samples
