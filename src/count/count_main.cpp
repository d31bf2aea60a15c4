// The count command: options, run header, index loading, the read pipeline, then the
// stages of the result (cell calling, UMI collapsing, the summary figures) and its writers.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <thread>
#include <vector>
#include "count/count.h"

// The index of the run: loaded once, read-only while the threads run.
static GenomeBwt genome_bwt;
static GenomeSequences genome_names;
static std::vector<uint64_t> seq_offset;  // text position of each genome sequence
static AnnotationInfo annotation;
static KmerHash kmer_hash;
static MappingIndex mapping_index;

// Open the log and write the run header (time to both, version and command to the log).
static void write_run_header(const CountOptions *opt, int argc, char **argv)
{
	time_t now = time(nullptr);
	char when[64];
	ctime_r(&now, when);
	when[strcspn(when, "\n")] = 0;

	log_open(opt->log_path);
	report("Current Time : %s\n", when);
	log_print("VERSION: %d.%d\n", VORAT_VERSION_MAJOR, VORAT_VERSION_MINOR);
	log_print("COMMAND: ");
	for (int i = 0; i < argc; ++i) log_print("%s ", argv[i]);
	log_print("\n");
}

// Load .bwt, .info and .hash of the index prefix and publish the run-wide settings.
static const MappingIndex *load_count_index(const CountOptions *opt)
{
	char path[PATH_BUFFER_SIZE];
	report("Loading BWT...\n");
	build_path(path, opt->index_prefix, ".bwt", "");
	load_genome_bwt(path, &genome_bwt);
	const bool plain = getenv(PLAIN_MAPPING_ENV) != nullptr;
	if (!plain) build_genome_kmer_table(&genome_bwt, genome_kmer_table_k(genome_bwt.seq_len));

	report("Loading transcripts and genes info...\n");
	build_path(path, opt->index_prefix, ".info", "");
	// Mapping finds transcripts by their offsets: the per-base table is only checked.
	load_annotation_info(path, &genome_names, &annotation, false);
	if (!plain) index_transcript_starts(&annotation);

	report("Loading kmer hash table...\n");
	build_path(path, opt->index_prefix, ".hash", "");
	load_kmer_hash(path, &kmer_hash, !plain);
	if (!kmer_positions_fit(&kmer_hash, annotation.tx_offset[annotation.tx_count]))
		fatal("[ERROR] The k-mer hash [%s] does not belong to the transcripts of the index [%s]\n", path,
		      opt->index_prefix);

	mapping_index.ann = &annotation;
	mapping_index.hash = &kmer_hash;
	mapping_index.bwt = &genome_bwt;
	mapping_index.count_intron = opt->count_intron;
	mapping_index.plain = plain;
	mapping_index.exonic_only = !plain && !opt->dump_align;
	// The genome sequences of the annotation, end to end, are the BWT's text when their lengths
	// add up to it (the guesses are checked against the text anyway).
	seq_offset.assign(genome_names.seq_count + 1, 0);
	for (uint32_t i = 0; i < genome_names.seq_count; ++i) seq_offset[i + 1] = seq_offset[i] + genome_names.seq_lengths[i];
	mapping_index.seq_offset = !plain && seq_offset.back() == genome_bwt.seq_len ? seq_offset.data() : nullptr;
	return &mapping_index;
}

// The post-processing needs only the gene tables: drop the k-mer hash, the BWT and tx_seq.
static void release_mapping_index()
{
	release_kmer_hash(&kmer_hash);
	release_genome_bwt(&genome_bwt);
	free(annotation.tx_seq);
	annotation.tx_seq = nullptr;
}

static void print_read_stats(const CountResult *result)
{
	const ReadStats *stats = &result->reads;
	report("[INFO] Total number of reads               : %10ld\n", (long)stats->total);
	report("[INFO] Number of exonic mapped reads       : %10ld\n", (long)stats->exonic);
	if (result->settings.count_intron) {
		report("[INFO] Number of intronic reads            : %10ld\n", (long)stats->intronic);
		report("[INFO] Number of intergenic reads          : %10ld\n", (long)stats->intergenic);
	} else {
		report("[INFO] Number of nonexonic reads           : %10ld\n", (long)stats->intergenic);
	}
	report("[INFO] Number of unmapped reads            : %10ld\n", (long)stats->unmapped);
	if (result->settings.whitelist) {
		report("[INFO] Number of reads on the barcode list     : %10ld\n", (long)stats->barcode_on_list);
		report("[INFO] Number of reads with a corrected barcode: %10ld\n", (long)stats->barcode_corrected);
		report("[INFO] Number of reads with an invalid barcode : %10ld\n", (long)stats->barcode_invalid);
		report("[INFO] Number of reads with a filtered UMI     : %10ld\n", (long)stats->umi_filtered);
	}
	if (result->settings.trim_adapters) {
		report("[INFO] Number of TSO-trimmed reads         : %10ld\n", (long)stats->tso_trimmed);
		report("[INFO] Number of poly(A)-trimmed reads     : %10ld\n", (long)stats->polya_trimmed);
		report("[INFO] Number of quality-trimmed reads     : %10ld\n", (long)stats->quality_trimmed);
		report("[INFO] Number of reads too short to map    : %10ld\n", (long)stats->too_short);
	}
}

// The kit as the summary reports it: the --chemistry name, or with a whitelist alone the name
// of the -l layout; none for runs with -l alone (their summary stays as it was).
static const char *chemistry_name(const CountOptions *opt)
{
	if (opt->chemistry || !opt->whitelist) return opt->chemistry;
	return opt->lib_type.umi_len == LIBRARY_TYPES[0].umi_len ? CHEMISTRIES[0].name : CHEMISTRIES[1].name;
}

// The whitelist, read before the index.
static void load_listed_barcodes(const CountOptions *opt, Whitelist *list)
{
	report("Loading barcode whitelist...\n");
	load_whitelist(opt->whitelist, opt->lib_type.barcode_len, list);
	report("[INFO] Barcode whitelist: %llu barcodes of %d bases\n", (unsigned long long)list->codes.size(),
	       list->length);
}

// The reference's name in the outputs: the last part of the index path prefix.
static const char *genome_name(const char *index_prefix)
{
	const char *slash = strrchr(index_prefix, '/');
	return slash ? slash + 1 : index_prefix;
}

// The writers, which read the result alone: with more than one thread the text outputs are
// written side by side, the HDF5 files (whose library is not thread-safe) on one thread.
static void write_outputs(const OutputPlace *place, const CountResult *result, int n_threads)
{
	typedef void (*Writer)(const OutputPlace *, const CountResult *);
	static const Writer TEXT_WRITERS[] = {
		write_barcodes_tsv, write_features_tsv, write_matrix_bin, write_matrix_mtx,
		write_filtered_matrix_dir, write_raw_matrix_dir, write_run_summary,
	};
	static const Writer HDF5_WRITERS[] = {write_tenx_h5_files, write_anndata};
	const uint64_t n_text = sizeof TEXT_WRITERS / sizeof *TEXT_WRITERS;
	parallel_chunks(n_threads, n_text + 1, 1, [&](uint64_t job, uint64_t, int) {
		if (job < n_text) {
			TEXT_WRITERS[job](place, result);
		} else {
			for (Writer w : HDF5_WRITERS) w(place, result);
		}
	});
}

void run_count(int argc, char **argv)
{
	CountOptions opt = parse_count_options(argc - 2, argv + 2);
	write_run_header(&opt, argc, argv);
	const OutputPlace place{opt.out_dir, opt.prefix, genome_name(opt.index_prefix)};
	remove_stale_outputs(&place, opt.dump_align != 0);
	Whitelist whitelist;
	std::thread exact_pass;  // the reads that match the list exactly, while the index loads
	if (opt.whitelist) {
		load_listed_barcodes(&opt, &whitelist);
		// Its own copy of the options: --chemistry auto sets the layout meanwhile (the barcode,
		// which the pass reads, is the same in every kit it picks).
		exact_pass = std::thread([pass = opt, &whitelist] { count_listed_barcodes(&pass, &whitelist); });
	}
	const MappingIndex *index = load_count_index(&opt);
	if (opt.chemistry && strcmp(opt.chemistry, "auto") == 0) detect_chemistry(&opt, index);
	if (exact_pass.joinable()) {
		exact_pass.join();
		uint64_t exact = 0;
		for (uint32_t n : whitelist.exact) exact += n;
		report("[INFO] Reads whose barcode is on the list as it is: %llu\n", (unsigned long long)exact);
	}
	CountResult result{};
	result.settings = CountSettings{opt.lib_type.barcode_len, opt.lib_type.umi_len, opt.count_intron,
	                                opt.trim_adapters, chemistry_name(&opt), opt.whitelist != nullptr};
	result.ann = &annotation;
	BarcodeTable *table = run_pipeline(&opt, index, opt.whitelist ? &whitelist : nullptr, &result.reads);
	release_mapping_index();

	BarcodeList list;
	call_cells(table, &list, &result);
	collapse_barcode_umis(&list, opt.n_threads, &result);
	release_counted_tables(table, &list);
	summarize_run(&list, &result);
	write_outputs(&place, &result, opt.n_threads);
	release_barcode_list(&list);
	print_read_stats(&result);
}
