// The `index` command: genome BWT, genome and annotation loading, transcriptome, k-mer
// hash, each step writing its file before the next one starts.
#include <cstdlib>
#include "cli/cli.h"
#include "index/index.h"

#define INDEX_VERSION 1

// The records of an index run live until process exit, as every later step reads the
// earlier ones. They are reachable from a global with external linkage so that leak
// checkers do not report them (a file-local one that is only written may be optimised away).
struct IndexRun {
	GenomeSequences genome;
	NameMap *seq_name_map;
	AnnotationInfo annotation;
	NameMap *gene_id_map;
	NameMap *tx_id_map;
	KmerHash kmer_hash;
};
IndexRun index_run;

void run_index(int argc, char **argv)
{
	IndexOptions opt = parse_index_options(argc - 2, argv + 2);
	// Keys are 32-bit after the 27 bucket bits, and the code of a k-mer must be non-empty.
	if (opt.kmer_size < 1 || opt.kmer_size > MAX_KMER_SIZE)
		fatal("[ERROR] Invalid k-mer size %d: must be between 1 and %d\n", opt.kmer_size, MAX_KMER_SIZE);

	char index_base[PATH_BUFFER_SIZE];
	char path[PATH_BUFFER_SIZE];
	build_path(index_base, opt.out_dir, "/", opt.prefix);
	build_path(path, index_base, ".log", "");
	// Check every file name up front, so that a name too long never leaves a partial index.
	static const char *const suffixes[] = {".bwt", ".fasta", ".info", ".hash"};
	for (const char *suffix : suffixes) {
		char probe[PATH_BUFFER_SIZE];
		build_path(probe, index_base, suffix, "");
	}

	log_open(path);
	log_print("INDEX VERSION: %d\n", INDEX_VERSION);
	log_print("COMMAND: ");
	for (int i = 0; i < argc; ++i) log_print("%s ", argv[i]);
	log_print("\n");

	// An annotation whose genes a count run cannot tell apart is refused before any index
	// file exists (a quick pass over the GTF; the parse below comes after the BWT).
	check_gene_count(count_gtf_genes(opt.gtf_path));

	// The BWT goes first so that its large temporary arrays are gone before the genome
	// and the annotation are held in memory.
	if (opt.build_bwt) {
		report_split("[INFO] Building Burrow-Wheeler Transform on genome...\n",
		             "Building Burrow-Wheeler Transform on genome...\n");
		GenomeBwt *bwt = build_genome_bwt(opt.genome_path);
		build_path(path, index_base, ".bwt", "");
		write_genome_bwt(path, bwt);
		release_genome_bwt(bwt);
		free(bwt);
	} else {
		report_split("[INFO] Not rebuild BWT\n", "Not rebuild BWT\n");
	}

	report_split("[INFO] Loading fasta...\n", "Loading fasta...\n");
	IndexRun *run = &index_run;
	run->seq_name_map = kh_init(str);
	load_genome_fasta(opt.genome_path, &run->genome, run->seq_name_map);

	report_split("[INFO] Loading gtf...\n", "Loading gtf...\n");
	run->gene_id_map = kh_init(str);
	run->tx_id_map = kh_init(str);
	parse_gtf(opt.gtf_path, run->seq_name_map, &run->annotation, run->gene_id_map, run->tx_id_map);

	build_path(path, index_base, ".fasta", "");
	build_transcriptome(path, &run->genome, &run->annotation);
	build_path(path, index_base, ".info", "");
	write_annotation_info(path, &run->genome, &run->annotation);

	report_split("[INFO] Constructing kmer hash for transcript...\n",
	             "Constructing kmer hash for transcript...\n");
	build_kmer_hash(&run->annotation, (uint32_t)opt.kmer_size, &run->kmer_hash);
	build_path(path, index_base, ".hash", "");
	write_kmer_hash(path, (uint32_t)opt.kmer_size, &run->kmer_hash);
}
