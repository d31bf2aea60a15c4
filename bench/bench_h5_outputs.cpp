// Memory and time of the HDF5 stage of a count run (filtered_feature_bc_matrix.h5,
// raw_feature_bc_matrix.h5, matrix.h5ad) on a large synthetic barcode table: by default
// 5,000 cells of 2,000 UMIs each over 20,000 genes and 1,000,000 other barcodes of 1 to 3
// UMIs, the shape of a droplet run with about a million raw barcodes.
//
// The table is built as the read phase leaves it, then the matrix files and the summary are
// written as a count run writes them ("text"), and then, unless the mode is "text", the HDF5
// stage ("all"). Printed: the peak resident memory (VmHWM) after building the table, after
// the text outputs, and the peak during the HDF5 stage alone (the peak is reset before it
// through /proc/self/clear_refs), with the time of each step, and the whole run's peak.
// bench_h5_outputs.sh runs it in both modes under /usr/bin/time -v.
//
// Usage: bench_h5_outputs OUT_DIR [text|all] [cells] [other_barcodes] [genes] [umis_per_cell]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>
#include "matrix/matrix.h"

static long status_kib(const char *field)
{
	FILE *fp = fopen("/proc/self/status", "r");
	if (!fp) return -1;
	char line[256];
	long value = -1;
	size_t n = strlen(field);
	while (fgets(line, sizeof line, fp))
		if (strncmp(line, field, n) == 0) value = atol(line + n + 1);
	fclose(fp);
	return value;
}

static double seconds_since(std::chrono::steady_clock::time_point start)
{
	return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

static uint64_t random_code(std::mt19937_64 &rng, int len)
{
	uint64_t code = 0;
	for (int i = 0; i < len; ++i) code = code * 5 + rng() % 4;
	return code;
}

static uint32_t insert_barcode(BarcodeTable *table, uint64_t code)
{
	for (;;) {
		uint32_t slot = barcode_table_insert(table, code);
		if (slot != TABLE_FULL) return slot;
		barcode_table_grow(table);
	}
}

int main(int argc, char **argv)
{
	if (argc < 2) {
		fprintf(stderr, "usage: %s OUT_DIR [text|all] [cells] [other_barcodes] [genes] [umis_per_cell]\n", argv[0]);
		return 1;
	}
	const std::string out_dir = argv[1];
	const bool with_hdf5 = argc < 3 || strcmp(argv[2], "text") != 0;
	const uint32_t cells = argc > 3 ? (uint32_t)atol(argv[3]) : 5000;
	const uint32_t others = argc > 4 ? (uint32_t)atol(argv[4]) : 1000000;
	const uint32_t genes = argc > 5 ? (uint32_t)atol(argv[5]) : 20000;
	const uint32_t umis_per_cell = argc > 6 ? (uint32_t)atol(argv[6]) : 2000;

	std::vector<char> ids((size_t)genes * 24, 0), names((size_t)genes * 16, 0);
	for (uint32_t g = 0; g < genes; ++g) {
		snprintf(&ids[(size_t)g * 24], 24, "ENSG%011u", g);
		snprintf(&names[(size_t)g * 16], 16, "GENE%u", g);
	}
	AnnotationInfo ann{};
	ann.gene_count = genes;
	ann.gene_id_width = 24;
	ann.gene_name_width = 16;
	ann.gene_ids = ids.data();
	ann.gene_names = names.data();

	auto start = std::chrono::steady_clock::now();
	std::mt19937_64 rng(42);
	BarcodeTable *table = barcode_table_create(1);
	std::geometric_distribution<uint32_t> skew(0.001);  // a few genes carry most UMIs
	for (uint32_t b = 0; b < cells + others; ++b) {
		uint32_t slot = insert_barcode(table, random_code(rng, 16));
		uint32_t umis = b < cells ? umis_per_cell : 1 + (uint32_t)(rng() % 3);
		for (uint32_t u = 0; u < umis; ++u)
			barcode_add_umi(table, slot, (random_code(rng, 12) << GENE_BITS) | (skew(rng) % genes));
	}
	printf("table: %u cells x %u UMIs, %u other barcodes, %u genes: %.1f s, peak %ld MiB\n", cells, umis_per_cell,
	       others, genes, seconds_since(start), status_kib("VmHWM:") / 1024);

	const OutputPlace place{out_dir.c_str(), "VoraT", "bench"};
	start = std::chrono::steady_clock::now();
	CountResult result{};
	result.settings = CountSettings{16, 12, 0, 0, nullptr, 0};
	result.ann = &ann;
	BarcodeList list;
	call_cells(table, &list, &result);
	collapse_barcode_umis(&list, 2, &result);
	summarize_run(&list, &result);
	result.reads.total = result.reads.exonic = (int64_t)result.summary.reads_recorded;
	const MatrixSummary &summary = result.summary;
	for (auto writer : {write_barcodes_tsv, write_features_tsv, write_matrix_bin, write_matrix_mtx,
	                    write_filtered_matrix_dir, write_raw_matrix_dir, write_run_summary})
		writer(&place, &result);
	const long text_peak = status_kib("VmHWM:");
	printf("text outputs: %u cells, %u raw barcodes: %.1f s, peak %ld MiB, resident now %ld MiB\n",
	       summary.cell_count, summary.raw_barcode_count, seconds_since(start), text_peak / 1024,
	       status_kib("VmRSS:") / 1024);
	if (!with_hdf5) return 0;

	FILE *clear = fopen("/proc/self/clear_refs", "w");
	bool reset = clear && fputs("5", clear) >= 0;
	if (clear) reset = fclose(clear) == 0 && reset;
	start = std::chrono::steady_clock::now();
	write_tenx_h5_files(&place, &result);
	write_anndata(&place, &result);
	release_barcode_list(&list);
	const long stage_peak = status_kib("VmHWM:");
	printf("HDF5 stage: %.1f s, peak during the stage %ld MiB%s\n", seconds_since(start), stage_peak / 1024,
	       reset ? "" : " (peak not reset: whole-process peak)");
	printf("whole run with the HDF5 files: peak %ld MiB\n", std::max(text_peak, stage_peak) / 1024);
	return 0;
}
