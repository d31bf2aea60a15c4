// The count command: options, run header, index loading, the read pipeline, the matrix
// files, the statistics and the run summary, one stage after the other.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
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

static void print_read_stats(const CountOptions *opt, const ReadStats *stats)
{
	report("[INFO] Total number of reads               : %10ld\n", (long)stats->total);
	report("[INFO] Number of exonic mapped reads       : %10ld\n", (long)stats->exonic);
	if (opt->count_intron) {
		report("[INFO] Number of intronic reads            : %10ld\n", (long)stats->intronic);
		report("[INFO] Number of intergenic reads          : %10ld\n", (long)stats->intergenic);
	} else {
		report("[INFO] Number of nonexonic reads           : %10ld\n", (long)stats->intergenic);
	}
	report("[INFO] Number of unmapped reads            : %10ld\n", (long)stats->unmapped);
	if (opt->trim_adapters) {
		report("[INFO] Number of TSO-trimmed reads         : %10ld\n", (long)stats->tso_trimmed);
		report("[INFO] Number of poly(A)-trimmed reads     : %10ld\n", (long)stats->polya_trimmed);
		report("[INFO] Number of quality-trimmed reads     : %10ld\n", (long)stats->quality_trimmed);
		report("[INFO] Number of reads too short to map    : %10ld\n", (long)stats->too_short);
	}
}

void run_count(int argc, char **argv)
{
	CountOptions opt = parse_count_options(argc - 2, argv + 2);
	write_run_header(&opt, argc, argv);
	remove_stale_outputs(&opt);
	const MappingIndex *index = load_count_index(&opt);
	ReadStats stats;
	BarcodeTable *table = run_pipeline(&opt, index, &stats);
	release_mapping_index();
	MatrixSummary matrix_summary;
	write_count_matrix(&opt, table, &annotation, &matrix_summary);
	print_read_stats(&opt, &stats);
	const SummaryReadCounts read_counts{stats.total,         stats.exonic,          stats.intronic,
	                                    stats.intergenic,    stats.unmapped,        opt.count_intron,
	                                    opt.trim_adapters,   stats.tso_trimmed,     stats.polya_trimmed,
	                                    stats.quality_trimmed, stats.too_short};
	write_run_summary(&opt, &read_counts, &matrix_summary);
	write_hdf5_outputs(&opt, &annotation, &read_counts, &matrix_summary);
}
