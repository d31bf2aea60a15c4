# Opens the two 10x HDF5 matrices of vora-T runs with Seurat's Read10X_h5, as a user would,
# and prints each as a canonical text: "== OUT_DIR/FILE", "shape ROWS COLUMNS", "b BARCODE"
# per column, "f NAME" per row (the gene names made unique), "e ROW COLUMN COUNT" per entry,
# 1-based, column by column.
# usage: Rscript read10x_h5.R OUT_DIR...
for (dir in commandArgs(trailingOnly = TRUE)) {
  for (name in c("filtered_feature_bc_matrix.h5", "raw_feature_bc_matrix.h5")) {
    m <- Seurat::Read10X_h5(file.path(dir, name))
    s <- Matrix::summary(m)
    s <- s[order(s$j, s$i), , drop = FALSE]
    writeLines(c(paste0("== ", dir, "/", name), paste("shape", nrow(m), ncol(m)), sprintf("b %s", colnames(m)),
                 sprintf("f %s", rownames(m)), sprintf("e %d %d %d", s$i, s$j, as.integer(s$x))))
  }
}
