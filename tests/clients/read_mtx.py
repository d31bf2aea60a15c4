"""Reads the matrices of a vora-T run with scipy, as a user would, and prints for each
file: rows, columns, sum and non-zero entries.

usage: read_mtx.py OUT_DIR
"""
import sys

import scipy.io

FILES = ("matrix.mtx", "filtered_feature_bc_matrix/matrix.mtx.gz", "raw_feature_bc_matrix/matrix.mtx.gz")

for name in FILES:
    m = scipy.io.mmread(sys.argv[1] + "/" + name).tocsc()
    print(name, m.shape[0], m.shape[1], int(m.sum()), m.nnz)
