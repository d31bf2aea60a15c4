"""Opens the HDF5 outputs of a vora-T run as a user would -- the two 10x matrices with h5py,
matrix.h5ad with anndata.read_h5ad -- and prints each matrix as a canonical text:

  == OUT_DIR/FILE
  shape ROWS COLUMNS             (genes x barcodes; the AnnData matrix transposed)
  b BARCODE                      one per column
  f FEATURE                      one per row: id, name, type and genome of the 10x files;
                                 var index and gene_name of the AnnData file
  e ROW COLUMN COUNT             1-based, column by column
  o BARCODE TOTAL GENES          AnnData only: the obs columns
  u JSON / j JSON                AnnData only: uns["summary"] and summary.json (floats to 6 places)

plus one line of the element types.

usage: read_h5.py OUT_DIR...
"""
import json
import sys

import anndata
import h5py
import numpy as np
import scipy.sparse


def dump(path, shape, barcodes, features, indptr, indices, data):
    print("==", path)
    print("shape", shape[0], shape[1])
    for b in barcodes:
        print("b", b)
    for f in features:
        print("f", f)
    for c in range(len(indptr) - 1):
        for k in range(indptr[c], indptr[c + 1]):
            print("e", indices[k] + 1, c + 1, data[k])


def text(values):
    return [v.decode() for v in values]


def plain(value):
    """uns values as JSON values: dicts, lists, ints, floats rounded as summary.json has them."""
    if isinstance(value, dict):
        return {k: plain(v) for k, v in value.items()}
    if isinstance(value, np.ndarray):
        return [plain(v) for v in value.tolist()]
    if isinstance(value, list):
        return [plain(v) for v in value]
    if isinstance(value, (bool, np.bool_)):
        return bool(value)
    if isinstance(value, (int, np.integer)):
        return int(value)
    if isinstance(value, (float, np.floating)):
        return round(float(value), 6)
    return str(value)


def show(out):
    for name in ("filtered_feature_bc_matrix.h5", "raw_feature_bc_matrix.h5"):
        with h5py.File(out + "/" + name, "r") as h5:
            m = h5["matrix"]
            feat = m["features"]
            features = ["\t".join(row) for row in zip(text(feat["id"][:]), text(feat["name"][:]),
                                                     text(feat["feature_type"][:]), text(feat["genome"][:]))]
            dump(out + "/" + name, m["shape"][:], text(m["barcodes"][:]), features, m["indptr"][:],
                 m["indices"][:], m["data"][:])
            print("types", m["data"].dtype, m["indices"].dtype, m["indptr"].dtype, m["shape"].dtype,
                  m["data"].compression, text(feat["_all_tag_keys"][:]), list(h5.keys()))

    a = anndata.read_h5ad(out + "/matrix.h5ad")
    # tocoo() is most users' first step; scipy refuses index arrays of two integer types.
    coo = a.X.tocoo()
    x = scipy.sparse.csc_matrix((coo.data, (coo.col, coo.row)), shape=(a.n_vars, a.n_obs))  # genes x cells
    features = [i + "\t" + n for i, n in zip(a.var_names, a.var["gene_name"])]
    dump(out + "/matrix.h5ad", x.shape, list(a.obs_names), features, x.indptr, x.indices, x.data)
    for barcode, total, genes in zip(a.obs_names, a.obs["total_counts"], a.obs["n_genes_by_counts"]):
        print("o", barcode, total, genes)
    print("types", type(a.X).__name__, a.X.dtype, a.X.indices.dtype, a.X.indptr.dtype, a.obs_names.name,
          a.var_names.name)
    with open(out + "/summary.json") as f:
        summary = json.load(f)
    print("u", json.dumps(plain(a.uns["summary"]), sort_keys=True))
    print("j", json.dumps(plain(summary), sort_keys=True))


for arg in sys.argv[1:]:
    show(arg)
