// The whole count pipeline, in this process, with 8 worker threads on 12 small read-file
// pairs of mixed formats (plain and gzip FASTQ, plain and gzip FASTA). The barcodes are
// many (the barcode table grows five times during the run, up to 2,097,152 slots) and 24 of
// them carry hundreds of UMIs (their UMI tables grow up to 1,024 slots while up to 8 workers add keys
// to them). The run must give the same files as the run with 1 thread, and its tables (as
// the raw matrix, the filtered matrix and the run summary show them) must equal a serial
// count that this test makes itself with map_read over the same reads.
//
// The data are made so that neither barcode rescue nor UMI collapsing changes anything:
// all barcodes are at least two substitutions apart, and so are the UMIs of one barcode.
// So the raw matrix must hold, for every barcode, exactly the distinct (UMI, gene) pairs
// that the serial count saw. Under ThreadSanitizer this test is the race check of the
// reader/worker pipeline, the batch queue, the barcode and UMI tables and the read cache (half
// of the reads of a molecule repeat its last cDNA read, as PCR copies do).
#include <gtest/gtest.h>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <unordered_set>
#include <vector>
#include "common/run_binary.h"
#include "count/count.h"

namespace {

const int BARCODE_LEN = 16;
const int UMI_LEN = 12;         // library type 1 (v3)
const int READ2_LEN = 64;
const int N_PAIRS = 12;         // read-file pairs of the run
const int N_CELLS = 24;         // barcodes with many reads
const int CELL_MOLECULES = 900; // distinct (UMI, gene) molecules per cell barcode
const int CELL_READS = 1500;    // reads per cell barcode (molecules drawn with repetition)
const int N_BACKGROUND = 40000; // barcodes with one to three reads
// Barcodes that share their home slot in a table of 2^21 slots, and so in every smaller one:
// they overflow the probe bound of 131,072 slots (11 probes), 262,144 (12), 524,288 (14)
// and 1,048,576 (17), so that the table grows five times whatever the load.
const int N_CLUSTER = 20;
const uint32_t CLUSTER_CAPACITY = 1u << 21;
const double NOISE_SHARE = 0.04;  // read 2 from nowhere: unmapped

std::string tmp_root()
{
	char tmpl[] = "/tmp/vorat-stress-XXXXXX";
	const char *d = mkdtemp(tmpl);
	return d ? std::string(d) : std::string();
}

std::string random_bases(std::mt19937_64 &rng, size_t n)
{
	static const char letters[] = "ACGT";
	std::string s(n, 'A');
	for (size_t i = 0; i < n; ++i) s[i] = letters[rng() & 3];
	return s;
}

void write_text_file(const std::string &path, const std::string &text, bool gzip)
{
	if (gzip) {
		gzFile gz = gzopen(path.c_str(), "wb");
		ASSERT_TRUE(gz != nullptr) << path;
		ASSERT_EQ(gzwrite(gz, text.data(), (unsigned)text.size()), (int)text.size()) << path;
		ASSERT_EQ(gzclose(gz), Z_OK) << path;
	} else {
		FILE *fp = fopen(path.c_str(), "wb");
		ASSERT_TRUE(fp != nullptr) << path;
		ASSERT_EQ(fwrite(text.data(), 1, text.size(), fp), text.size()) << path;
		ASSERT_EQ(fclose(fp), 0) << path;
	}
}

// Whole file through zlib, so plain and gzip files read alike; "" when it cannot be opened.
std::string read_any(const std::string &path)
{
	gzFile gz = gzopen(path.c_str(), "rb");
	if (!gz) return std::string();
	std::string out;
	char buf[1 << 16];
	int n;
	while ((n = gzread(gz, buf, sizeof buf)) > 0) out.append(buf, (size_t)n);
	gzclose(gz);
	return out;
}

std::string read_bytes(const std::string &path)
{
	std::string out;
	FILE *fp = fopen(path.c_str(), "rb");
	if (!fp) return out;
	char buf[1 << 16];
	size_t n;
	while ((n = fread(buf, 1, sizeof buf, fp)) > 0) out.append(buf, n);
	fclose(fp);
	return out;
}

// Matrix Market text (comment lines start with '%'): gene, column, count triples.
struct Triple {
	uint32_t gene, column, count;
};
bool parse_mtx(const std::string &text, uint32_t *genes, uint32_t *columns, std::vector<Triple> *entries)
{
	bool have_size = false;
	uint64_t expected = 0;
	for (const std::string &line : split_lines(text)) {
		if (line.empty() || line[0] == '%') continue;
		std::istringstream in(line);
		if (!have_size) {
			if (!(in >> *genes >> *columns >> expected)) return false;
			have_size = true;
			continue;
		}
		Triple t;
		if (!(in >> t.gene >> t.column >> t.count)) return false;
		entries->push_back(t);
	}
	return have_size && entries->size() == expected;
}

// Per barcode letters: gene index (0-based) -> distinct UMIs.
typedef std::map<std::string, std::map<uint32_t, uint32_t>> CountTable;

bool one_substitution_apart_from_any(const std::string &s, const std::unordered_set<std::string> &set)
{
	std::string t = s;
	for (size_t i = 0; i < t.size(); ++i) {
		const char orig = t[i];
		for (char c : {'A', 'C', 'G', 'T'}) {
			if (c == orig) continue;
			t[i] = c;
			if (set.count(t)) return true;
		}
		t[i] = orig;
	}
	return false;
}

// A new random sequence not in `taken` and not one substitution away from any of it.
std::string distinct_sequence(std::mt19937_64 &rng, size_t len, std::unordered_set<std::string> *taken)
{
	for (;;) {
		std::string s = random_bases(rng, len);
		if (taken->count(s) || one_substitution_apart_from_any(s, *taken)) continue;
		taken->insert(s);
		return s;
	}
}

// Code of the barcode whose bases are the base-4 digits of x (A C G T), first base highest.
uint64_t barcode_code_of(uint64_t x)
{
	uint64_t c = 0;
	for (int i = BARCODE_LEN - 1; i >= 0; --i) c = c * 5 + ((x >> (2 * i)) & 3);
	return c;
}

std::string barcode_letters_of(uint64_t x)
{
	std::string s(BARCODE_LEN, 'A');
	for (int i = 0; i < BARCODE_LEN; ++i) s[i] = "ACGT"[(x >> (2 * (BARCODE_LEN - 1 - i))) & 3];
	return s;
}

struct ReadPair {
	std::string read1;  // barcode + UMI + poly-T
	std::string read2;  // cDNA
};

class PipelineStress : public ::testing::Test {
protected:
	static std::string dir_;
	static std::vector<ReadPair> reads_;
	static std::vector<std::string> cell_barcodes_;  // the designed cells
	static std::vector<uint32_t> true_gene_;         // per read: gene it was drawn from, or UINT32_MAX
	// Serial reference.
	static CountTable expected_;
	static std::map<std::string, uint64_t> recorded_reads_;  // gene-settled exonic reads per barcode
	static int64_t outcome_count_[4];                          // exonic, nonexonic, intronic, other
	static uint64_t settled_as_drawn_, drawn_and_settled_;
	static uint32_t growths_;                                  // of a serially filled barcode table
	static uint32_t gene_count_;
	static bool ready_;

	static void SetUpTestSuite()
	{
		dir_ = tmp_root();
		ASSERT_FALSE(dir_.empty());
		// A fatal error inside the run ends the process through exit(): the index and the
		// read files (over 512 MiB) must not stay behind.
		std::atexit(remove_dir);
		std::mt19937_64 rng(20261207);
		make_index(rng);
		if (!ready_) return;
		make_reads(rng);
		write_read_files();
	}

	static void TearDownTestSuite() { remove_dir(); }

	static void remove_dir()
	{
		if (dir_.empty()) return;
		const std::string cmd = "rm -rf '" + dir_ + "'";
		if (std::system(cmd.c_str()) != 0) fprintf(stderr, "could not remove %s\n", dir_.c_str());
		dir_.clear();
	}

	// Genome of two 160 kb sequences with 70 genes (1 to 3 exons, both strands; genes of
	// three exons have a second isoform without the middle exon), indexed in this process.
	// The in-memory index then serves the serial reference, which runs before it is released.
	static AnnotationInfo ann_;
	static KmerHash hash_;
	static GenomeBwt *bwt_;
	static GenomeSequences genome_;

	static void make_index(std::mt19937_64 &rng)
	{
		const std::string names[2] = {"chrA", "chrB"};
		std::string seqs[2], fasta, gtf;
		int gene_no = 0;
		for (int c = 0; c < 2; ++c) {
			seqs[c] = random_bases(rng, 160000);
			uint32_t pos = 1500;  // 1-based
			while (gene_no < 70 && pos + 6000 < seqs[c].size() && gene_no < (c + 1) * 35) {
				const int n_exons = 1 + (int)(rng() % 3);
				std::vector<std::pair<uint32_t, uint32_t>> exons;
				for (int e = 0; e < n_exons; ++e) {
					const uint32_t len = 200 + (uint32_t)(rng() % 300);
					exons.push_back({pos, pos + len - 1});
					pos += len + 300 + (uint32_t)(rng() % 900);
				}
				const char strand = (rng() & 1) ? '+' : '-';
				char gid[32], line[512];
				snprintf(gid, sizeof gid, "GS%04d", gene_no);
				snprintf(line, sizeof line, "%s\tt\tgene\t%u\t%u\t.\t%c\t.\tgene_id \"%s\"; gene_name \"S%d\";\n",
				         names[c].c_str(), exons.front().first, exons.back().second, strand, gid, gene_no);
				gtf += line;
				const int n_tx = n_exons == 3 ? 2 : 1;
				for (int t = 0; t < n_tx; ++t) {
					std::vector<std::pair<uint32_t, uint32_t>> keep = exons;
					if (t == 1) keep.erase(keep.begin() + 1);
					snprintf(line, sizeof line,
					         "%s\tt\ttranscript\t%u\t%u\t.\t%c\t.\tgene_id \"%s\"; transcript_id \"%s.%d\";\n",
					         names[c].c_str(), keep.front().first, keep.back().second, strand, gid, gid, t);
					gtf += line;
					for (const auto &e : keep) {
						snprintf(line, sizeof line,
						         "%s\tt\texon\t%u\t%u\t.\t%c\t.\tgene_id \"%s\"; transcript_id \"%s.%d\";\n",
						         names[c].c_str(), e.first, e.second, strand, gid, gid, t);
						gtf += line;
					}
				}
				++gene_no;
				pos += 800 + (uint32_t)(rng() % 2000);
			}
			fasta += ">" + names[c] + "\n";
			for (size_t i = 0; i < seqs[c].size(); i += 60) fasta += seqs[c].substr(i, 60) + "\n";
		}
		write_text_file(dir_ + "/genome.fa", fasta, false);
		write_text_file(dir_ + "/genes.gtf", gtf, false);
		ASSERT_EQ(mkdir((dir_ + "/idx").c_str(), 0755), 0);
		const std::string prefix = dir_ + "/idx/stress";

		bwt_ = build_genome_bwt((dir_ + "/genome.fa").c_str());
		write_genome_bwt((prefix + ".bwt").c_str(), bwt_);
		NameMap *seq_names = kh_init(str);
		load_genome_fasta((dir_ + "/genome.fa").c_str(), &genome_, seq_names);
		NameMap *gene_ids = kh_init(str), *tx_ids = kh_init(str);
		parse_gtf((dir_ + "/genes.gtf").c_str(), seq_names, &ann_, gene_ids, tx_ids);
		build_transcriptome((prefix + ".fasta").c_str(), &genome_, &ann_);
		write_annotation_info((prefix + ".info").c_str(), &genome_, &ann_);
		build_kmer_hash(&ann_, 29, &hash_);
		write_kmer_hash((prefix + ".hash").c_str(), 29, &hash_);
		release_name_map(seq_names);
		release_name_map(gene_ids);
		release_name_map(tx_ids);
		ASSERT_EQ(ann_.gene_count, 70u);
		gene_count_ = ann_.gene_count;
		ready_ = true;
	}

	// A cDNA read drawn from transcript t of the annotation (mRNA orientation, as sequenced),
	// sometimes with one substitution.
	static std::string draw_read2(std::mt19937_64 &rng, uint32_t t)
	{
		const uint32_t off = ann_.tx_offset[t], len = ann_.tx_length[t];
		const uint32_t start = off + (uint32_t)(rng() % (len - READ2_LEN + 1));
		std::string s(ann_.tx_seq + start, READ2_LEN);
		if (rng() % 16 == 0) {
			const size_t i = 10 + rng() % (READ2_LEN - 20);
			s[i] = "ACGT"[(BASE_CODE[(uint8_t)s[i]] + 1 + rng() % 3) & 3];
		}
		return s;
	}

	static uint32_t random_tx_of_gene(std::mt19937_64 &rng, uint32_t gene)
	{
		std::vector<uint32_t> txs;
		for (uint32_t t = 0; t < ann_.tx_count; ++t)
			if (ann_.tx_gene[t] == gene) txs.push_back(t);
		return txs[rng() % txs.size()];
	}

	// A read pair; `copy` (when not null) is the cDNA of an earlier read of the same molecule,
	// which PCR copies repeat (and workers then find in the read cache).
	static void add_read(std::mt19937_64 &rng, const std::string &barcode, const std::string &umi, uint32_t gene,
	                     std::string *copy = nullptr)
	{
		ReadPair p;
		p.read1 = barcode + umi + "TTTTTTTTTT";
		if (gene == UINT32_MAX) p.read2 = random_bases(rng, READ2_LEN);
		else if (copy && !copy->empty() && rng() % 2) p.read2 = *copy;
		else p.read2 = draw_read2(rng, random_tx_of_gene(rng, gene));
		if (copy && gene != UINT32_MAX) *copy = p.read2;
		reads_.push_back(p);
		true_gene_.push_back(gene);
	}

	static void make_reads(std::mt19937_64 &rng)
	{
		std::unordered_set<std::string> barcodes;
		for (int c = 0; c < N_CELLS; ++c) {
			const std::string bc = distinct_sequence(rng, BARCODE_LEN, &barcodes);
			cell_barcodes_.push_back(bc);
			std::unordered_set<std::string> umis;
			struct Molecule {
				std::string umi;
				uint32_t gene;
				std::string read2;  // its last cDNA read
			};
			std::vector<Molecule> molecules;
			for (int m = 0; m < CELL_MOLECULES; ++m)
				molecules.push_back({distinct_sequence(rng, UMI_LEN, &umis), (uint32_t)(rng() % gene_count_), ""});
			for (int r = 0; r < CELL_READS; ++r) {
				Molecule &m = molecules[rng() % molecules.size()];
				add_read(rng, bc, m.umi, rng() % 100 < 100 * NOISE_SHARE ? UINT32_MAX : m.gene, &m.read2);
			}
		}
		// The colliding barcodes, found by trying codes until N_CLUSTER share the home slot of
		// the first; two reads each, both from a gene.
		const uint64_t all = (1ULL << (2 * BARCODE_LEN)) - 1;
		const uint32_t home = barcode_home_slot(barcode_code_of(rng() & all), CLUSTER_CAPACITY);
		std::vector<std::string> cluster;
		for (uint64_t x = rng() & all; cluster.size() < (size_t)N_CLUSTER; x = (x + 0x9E3779B97ULL) & all) {
			const uint64_t code = barcode_code_of(x);
			if (barcode_home_slot(code, CLUSTER_CAPACITY) != home) continue;
			const std::string bc = barcode_letters_of(x);
			if (barcodes.count(bc) || one_substitution_apart_from_any(bc, barcodes)) continue;
			barcodes.insert(bc);
			cluster.push_back(bc);
			ASSERT_EQ(pack_bases(bc.data(), BARCODE_LEN), code);
			const std::string umi = random_bases(rng, UMI_LEN);
			const uint32_t gene = (uint32_t)(rng() % gene_count_);
			add_read(rng, bc, umi, gene);
			add_read(rng, bc, umi, gene);
		}
		for (int b = 0; b < N_BACKGROUND; ++b) {
			const std::string bc = distinct_sequence(rng, BARCODE_LEN, &barcodes);
			const int n = 1 + (b % 7 == 0) + (b % 11 == 0);
			const std::string umi = random_bases(rng, UMI_LEN);
			const uint32_t gene = (uint32_t)(rng() % gene_count_);
			for (int r = 0; r < n; ++r)  // a repeated read of the same molecule
				add_read(rng, bc, umi, rng() % 100 < 100 * NOISE_SHARE ? UINT32_MAX : gene);
		}
		// Shuffle so that the reads of every cell spread over all files and batches.
		std::vector<size_t> order(reads_.size());
		for (size_t i = 0; i < order.size(); ++i) order[i] = i;
		std::shuffle(order.begin(), order.end(), rng);
		std::vector<ReadPair> r(reads_.size());
		std::vector<uint32_t> g(reads_.size());
		for (size_t i = 0; i < order.size(); ++i) {
			r[i] = reads_[order[i]];
			g[i] = true_gene_[order[i]];
		}
		reads_.swap(r);
		true_gene_.swap(g);
		serial_reference();
	}

	// map_read over every read on this thread, the gene settled as the barcode table does
	// (first best-scoring alignment's gene; reads whose best alignments disagree are dropped).
	static void serial_reference()
	{
		MappingIndex index{&ann_, &hash_, bwt_, 0, 0, nullptr, 0};
		MappingWorkspace *ws = create_mapping_workspace(&index);
		BarcodeTable *table = barcode_table_create(1);
		std::set<std::string> inserted, keys;
		for (size_t i = 0; i < reads_.size(); ++i) {
			std::string seq = reads_[i].read2;
			char name[] = "r";
			ReadRecord r2{&seq[0], name, nullptr, nullptr, nullptr, (int32_t)seq.size()};
			const int outcome = map_read(&r2, ws);
			if (outcome == MAP_EXONIC) ++outcome_count_[0];
			else if (outcome == MAP_NONEXONIC) ++outcome_count_[1];
			else if (outcome == MAP_INTRONIC) ++outcome_count_[2];
			else ++outcome_count_[3];
			if (outcome != MAP_EXONIC || ws->alignments.count == 0) continue;
			uint32_t gene = UINT32_MAX;
			bool ambiguous = false;
			for (int32_t a = 0; a < ws->alignments.count; ++a) {
				const Alignment &al = ws->alignments.records[a];
				if (al.score < ws->alignments.best) continue;
				const uint32_t g = ann_.tx_gene[ann_.base_tx[al.position]];
				if (gene == UINT32_MAX) gene = g;
				else if (g != gene) ambiguous = true;
			}
			if (gene == UINT32_MAX || ambiguous) continue;
			const std::string bc = reads_[i].read1.substr(0, BARCODE_LEN);
			const std::string umi = reads_[i].read1.substr(BARCODE_LEN, UMI_LEN);
			++recorded_reads_[bc];
			std::map<uint32_t, uint32_t> &genes = expected_[bc];
			if (keys.insert(bc + umi + std::to_string(gene)).second) ++genes[gene];
			if (true_gene_[i] != UINT32_MAX) {
				++drawn_and_settled_;
				if (true_gene_[i] == gene) ++settled_as_drawn_;
			}
			// The barcode table filled in this order, one thread: how often does it grow?
			if (inserted.insert(bc).second) {
				const uint64_t code = pack_bases(bc.data(), BARCODE_LEN);
				while (barcode_table_insert(table, code) == TABLE_FULL) {
					barcode_table_grow(table);
					++growths_;
				}
			}
		}
		barcode_table_free(table);
		release_mapping_workspace(ws);
		release_kmer_hash(&hash_);
		release_genome_bwt(bwt_);
		free(bwt_);
		release_annotation_info(&ann_);
		release_genome_sequences(&genome_);
	}

	// Twelve pairs, given as lists after -1 and -2: plain FASTQ, gzip FASTQ, plain FASTA, gzip FASTA in turn, of unequal
	// sizes, with "/1" "/2" mate suffixes and comments on some headers.
	static void write_read_files()
	{
		size_t begin = 0;
		for (int p = 0; p < N_PAIRS; ++p) {
			const size_t share = reads_.size() * (size_t)(6 + p % 5) / (size_t)(8 * N_PAIRS);
			const size_t end = p == N_PAIRS - 1 ? reads_.size() : std::min(reads_.size(), begin + share);
			const bool fasta = (p % 4) >= 2, gzip = (p % 2) == 1;
			std::string t1, t2;
			for (size_t i = begin; i < end; ++i) {
				const std::string name = "p" + std::to_string(p) + "r" + std::to_string(i);
				const std::string s1 = i % 3 == 0 ? "/1 1:N:0" : (i % 3 == 1 ? " x" : "");
				const std::string s2 = i % 3 == 0 ? "/2 2:N:0" : (i % 3 == 1 ? " x" : "");
				if (fasta) {
					t1 += ">" + name + s1 + "\n" + reads_[i].read1 + "\n";
					t2 += ">" + name + s2 + "\n" + reads_[i].read2 + "\n";
				} else {
					t1 += "@" + name + s1 + "\n" + reads_[i].read1 + "\n+\n" + std::string(reads_[i].read1.size(), 'F') + "\n";
					t2 += "@" + name + s2 + "\n" + reads_[i].read2 + "\n+\n" + std::string(reads_[i].read2.size(), 'F') + "\n";
				}
			}
			begin = end;
			const std::string ext = std::string(fasta ? ".fa" : ".fq") + (gzip ? ".gz" : "");
			write_text_file(dir_ + "/r" + std::to_string(p) + "_R1" + ext, t1, gzip);
			write_text_file(dir_ + "/r" + std::to_string(p) + "_R2" + ext, t2, gzip);
			r1_files_.push_back(dir_ + "/r" + std::to_string(p) + "_R1" + ext);
			r2_files_.push_back(dir_ + "/r" + std::to_string(p) + "_R2" + ext);
		}
	}
	static std::vector<std::string> r1_files_, r2_files_;

	// vora-T count in this process, into dir_/out-<name>, log dir_/<name>.log.
	static std::string run(const std::string &name, int threads)
	{
		const std::string out = dir_ + "/out-" + name;
		std::vector<std::string> args = {"vora-T", "count", "-x", dir_ + "/idx/stress", "-t", std::to_string(threads),
		                                 "-o", out, "-l", "1", "--log", dir_ + "/" + name + ".log", "-1"};
		args.insert(args.end(), r1_files_.begin(), r1_files_.end());
		args.push_back("-2");
		args.insert(args.end(), r2_files_.begin(), r2_files_.end());
		std::vector<char *> argv;
		for (std::string &a : args) argv.push_back(&a[0]);
		argv.push_back(nullptr);
		run_count((int)args.size(), argv.data());
		return out;
	}
};

std::string PipelineStress::dir_;
std::vector<ReadPair> PipelineStress::reads_;
std::vector<std::string> PipelineStress::cell_barcodes_;
std::vector<uint32_t> PipelineStress::true_gene_;
CountTable PipelineStress::expected_;
std::map<std::string, uint64_t> PipelineStress::recorded_reads_;
int64_t PipelineStress::outcome_count_[4];
uint64_t PipelineStress::settled_as_drawn_, PipelineStress::drawn_and_settled_;
uint32_t PipelineStress::growths_;
uint32_t PipelineStress::gene_count_;
bool PipelineStress::ready_;
AnnotationInfo PipelineStress::ann_;
KmerHash PipelineStress::hash_;
GenomeBwt *PipelineStress::bwt_;
GenomeSequences PipelineStress::genome_;
std::vector<std::string> PipelineStress::r1_files_, PipelineStress::r2_files_;

// The value of one statistics line of a run log, or -1.
int64_t stat_line(const std::string &log, const std::string &label)
{
	const size_t at = log.rfind(label);
	if (at == std::string::npos) return -1;
	const size_t colon = log.find(':', at);
	return colon == std::string::npos ? -1 : atoll(log.c_str() + colon + 1);
}

// The number after "key": in summary.json, or -1.
int64_t json_number(const std::string &json, const std::string &key)
{
	const size_t at = json.find("\"" + key + "\":");
	return at == std::string::npos ? -1 : atoll(json.c_str() + at + key.size() + 3);
}

TEST_F(PipelineStress, EightWorkersMatchOneWorkerAndTheSerialCount)
{
	ASSERT_TRUE(ready_);
	// The data do what they are meant to: most drawn reads map to their gene, the barcode
	// table grows from 65,536 to 2,097,152 slots (filled by one thread in read order), and
	// the cells' UMI tables reach 1,024 slots.
	ASSERT_GT(drawn_and_settled_, reads_.size() * 8 / 10);
	ASSERT_GT(settled_as_drawn_, drawn_and_settled_ * 99 / 100);
	ASSERT_GE(growths_, 5u);
	ASSERT_GT(expected_.size(), (size_t)N_BACKGROUND * 9 / 10);
	for (const std::string &bc : cell_barcodes_) {
		uint32_t keys = 0;
		for (const auto &g : expected_[bc]) keys += g.second;
		ASSERT_GT(keys, 394u) << bc;  // past the load limit of 512 slots
	}

	const std::string out8 = run("t8", 8);
	const std::string out1 = run("t1", 1);

	// Same files, byte for byte.
	std::vector<std::string> files8, files1;
	list_files(out8, "", &files8);
	list_files(out1, "", &files1);
	ASSERT_EQ(files8, files1);
	for (const char *must : {"matrix.mtx", "matrix.bin", "barcodes.tsv", "features.tsv",
	                         "raw_feature_bc_matrix/matrix.mtx.gz", "summary.json"})
		ASSERT_TRUE(std::find(files8.begin(), files8.end(), must) != files8.end()) << must;
	for (const std::string &f : files8)
		EXPECT_TRUE(read_bytes(out8 + "/" + f) == read_bytes(out1 + "/" + f)) << f << " differs";

	// Read statistics against the serial count.
	for (const std::string name : {"t8", "t1"}) {
		SCOPED_TRACE(name);
		const std::string log = read_bytes(dir_ + "/" + name + ".log");
		EXPECT_EQ(stat_line(log, "Number of processed reads: "), (int64_t)reads_.size());
		EXPECT_EQ(stat_line(log, "[INFO] Total number of reads"), (int64_t)reads_.size());
		EXPECT_EQ(stat_line(log, "[INFO] Number of exonic mapped reads"), outcome_count_[0]);
		EXPECT_EQ(stat_line(log, "[INFO] Number of nonexonic reads"), outcome_count_[1]);
		EXPECT_EQ(stat_line(log, "[INFO] Number of unmapped reads"), outcome_count_[3]);
	}

	// The raw matrix is the barcode table: every barcode with its distinct (UMI, gene) keys.
	const std::vector<std::string> raw_barcodes = split_lines(read_any(out8 + "/raw_feature_bc_matrix/barcodes.tsv.gz"));
	uint32_t genes = 0, columns = 0;
	std::vector<Triple> raw;
	ASSERT_TRUE(parse_mtx(read_any(out8 + "/raw_feature_bc_matrix/matrix.mtx.gz"), &genes, &columns, &raw));
	ASSERT_EQ(genes, gene_count_);
	ASSERT_EQ(columns, raw_barcodes.size());
	CountTable got;
	for (const Triple &t : raw) {
		ASSERT_TRUE(t.gene >= 1 && t.gene <= genes && t.column >= 1 && t.column <= columns);
		got[raw_barcodes[t.column - 1]][t.gene - 1] += t.count;
	}
	EXPECT_EQ(got.size(), expected_.size());
	size_t differ = 0;
	for (const auto &b : expected_) {
		auto it = got.find(b.first);
		if (it == got.end() || it->second != b.second) {
			if (++differ <= 5) ADD_FAILURE() << "barcode " << b.first << " differs from the serial count";
		}
	}
	EXPECT_EQ(differ, 0u);

	// The filtered matrix: the cells of barcodes.tsv, each as in the serial count.
	const std::vector<std::string> cells = split_lines(read_bytes(out8 + "/barcodes.tsv"));
	ASSERT_GE(cells.size(), (size_t)N_CELLS / 2);
	std::vector<Triple> filtered;
	ASSERT_TRUE(parse_mtx(read_bytes(out8 + "/matrix.mtx"), &genes, &columns, &filtered));
	ASSERT_EQ(columns, cells.size());
	CountTable got_cells;
	for (const Triple &t : filtered) {
		ASSERT_TRUE(t.column >= 1 && t.column <= columns);
		got_cells[cells[t.column - 1]][t.gene - 1] += t.count;
	}
	uint64_t reads_in_cells = 0;
	for (const std::string &bc : cells) {
		ASSERT_TRUE(expected_.count(bc)) << bc;
		EXPECT_TRUE(got_cells[bc] == expected_[bc]) << "cell " << bc;
		reads_in_cells += recorded_reads_[bc];
	}

	// Reads per barcode, summed over the cells and over all barcodes, and the key count.
	uint64_t recorded = 0, keys = 0;
	for (const auto &b : recorded_reads_) recorded += b.second;
	for (const auto &b : expected_)
		for (const auto &g : b.second) keys += g.second;
	const std::string json = read_bytes(out8 + "/summary.json");
	EXPECT_EQ(json_number(json, "exonic_reads_recorded"), (int64_t)recorded);
	EXPECT_EQ(json_number(json, "exonic_reads_in_cells"), (int64_t)reads_in_cells);
	EXPECT_EQ(json_number(json, "distinct_umi_keys"), (int64_t)keys);
	EXPECT_EQ(json_number(json, "barcodes_detected"), (int64_t)expected_.size());
}

}  // namespace
