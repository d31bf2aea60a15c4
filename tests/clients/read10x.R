# Opens the two 10x folders of a vora-T run with Seurat's Read10X, as a user would, and
# prints for each: genes, barcodes, UMIs, non-zero entries, and whether the column names
# are the barcodes of barcodes.tsv.gz and the row names the (made unique) gene names of
# features.tsv.gz. Then builds a Seurat object from the filtered folder.
# usage: Rscript read10x.R OUT_DIR
args <- commandArgs(trailingOnly = TRUE)
suppressPackageStartupMessages(library(Seurat))
for (name in c("filtered_feature_bc_matrix", "raw_feature_bc_matrix")) {
  dir <- file.path(args[1], name)
  m <- Read10X(data.dir = dir)
  barcodes <- readLines(gzfile(file.path(dir, "barcodes.tsv.gz")))
  features <- read.delim(gzfile(file.path(dir, "features.tsv.gz")), header = FALSE,
                         stringsAsFactors = FALSE, quote = "")
  cat(name, nrow(m), ncol(m), sprintf("%.0f", sum(m)), length(m@x),
      identical(colnames(m), barcodes), identical(rownames(m), make.unique(features$V2)), "\n")
}
obj <- CreateSeuratObject(counts = Read10X(file.path(args[1], "filtered_feature_bc_matrix")))
cat("seurat", nrow(obj), ncol(obj), "\n")
