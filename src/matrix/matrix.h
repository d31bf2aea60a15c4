// Barcodes, UMIs and the count matrix: counting (the concurrent barcode table and the UMI
// tables), the result (cell calling, UMI collapsing, the run's figures) and its writers.
#ifndef VORAT_MATRIX_H
#define VORAT_MATRIX_H

#include "matrix/counting.h"
#include "matrix/result.h"
#include "matrix/writers.h"

#endif
