// The count command: options, run header, index loading, then the read pipeline.
#include <cstdio>
#include <cstring>
#include <ctime>
#include "count/count.h"

void run_pipeline(const CountOptions *opt, const MappingIndex *index);

// The index of the run: loaded once, read-only while the threads run.
static GenomeBwt genome_bwt;
static GenomeSequences genome_names;
static AnnotationInfo annotation;
static KmerHash kmer_hash;
static MappingIndex mapping_index;

void run_count(int argc, char **argv)
{
	CountOptions opt = parse_count_options(argc - 2, argv + 2);

	time_t now = time(nullptr);
	char when[64];
	ctime_r(&now, when);
	when[strcspn(when, "\n")] = 0;

	log_open(opt.log_path);
	report("Current Time : %s\n", when);
	log_print("VERSION: %d.%d\n", VORAT_VERSION_MAJOR, VORAT_VERSION_MINOR);
	log_print("COMMAND: ");
	for (int i = 0; i < argc; ++i) log_print("%s ", argv[i]);
	log_print("\n");

	remove_stale_outputs(opt.out_dir);

	char path[PATH_BUFFER_SIZE];
	report("Loading BWT...\n");
	build_path(path, opt.index_prefix, ".bwt", "");
	load_genome_bwt(path, &genome_bwt);

	report("Loading transcripts and genes info...\n");
	build_path(path, opt.index_prefix, ".info", "");
	load_annotation_info(path, &genome_names, &annotation);

	report("Loading kmer hash table...\n");
	build_path(path, opt.index_prefix, ".hash", "");
	load_kmer_hash(path, &kmer_hash);
	if (!kmer_positions_fit(&kmer_hash, annotation.tx_offset[annotation.tx_count]))
		fatal("[ERROR] The k-mer hash [%s] does not belong to the transcripts of the index [%s]\n", path,
		      opt.index_prefix);

	mapping_index.ann = &annotation;
	mapping_index.hash = &kmer_hash;
	mapping_index.bwt = &genome_bwt;
	mapping_index.count_intron = opt.count_intron;

	run_pipeline(&opt, &mapping_index);
}
