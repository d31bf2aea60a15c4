// Shared pieces of vorat-simulate: random numbers, options, the simulated genome and
// annotation records, and buffered (optionally gzip) output files.
#ifndef VORAT_TOOLS_SIMULATE_H
#define VORAT_TOOLS_SIMULATE_H

#include <zlib.h>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace sim {

// ---- random numbers: xoshiro256** seeded through SplitMix64 ----

inline uint64_t splitmix64(uint64_t &x)
{
	uint64_t z = (x += 0x9e3779b97f4a7c15ULL);
	z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
	z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
	return z ^ (z >> 31);
}

struct Rng {
	uint64_t s[4];
	explicit Rng(uint64_t seed)
	{
		for (uint64_t &w : s) w = splitmix64(seed);
	}
	uint64_t next()
	{
		const uint64_t result = rotl(s[1] * 5, 7) * 9, t = s[1] << 17;
		s[2] ^= s[0];
		s[3] ^= s[1];
		s[1] ^= s[2];
		s[0] ^= s[3];
		s[2] ^= t;
		s[3] = rotl(s[3], 45);
		return result;
	}
	static uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
	double uniform() { return (double)(next() >> 11) * (1.0 / 9007199254740992.0); }
	uint64_t below(uint64_t n) { return n ? (uint64_t)(uniform() * (double)n) % n : 0; }
	uint64_t range(uint64_t lo, uint64_t hi) { return lo + below(hi - lo + 1); }  // inclusive
	double normal()
	{
		double u = uniform(), v = uniform();
		if (u < 1e-300) u = 1e-300;
		return std::sqrt(-2.0 * std::log(u)) * std::cos(6.283185307179586 * v);
	}
	uint32_t poisson(double lambda)
	{
		const double limit = std::exp(-lambda);
		uint32_t k = 0;
		for (double p = uniform(); p > limit; p *= uniform()) ++k;
		return k;
	}
};

const char BASES[] = "ACGT";

inline char complement(char c)
{
	switch (c) {
	case 'A': return 'T';
	case 'C': return 'G';
	case 'G': return 'C';
	case 'T': return 'A';
	default: return 'N';
	}
}

// ---- options ----

struct Options {
	uint64_t seed = 1;
	uint64_t genome_size = 5000000;
	uint32_t genes = 500;
	uint32_t cells = 200;
	uint64_t reads = 200000;
	int read_len = 0;  // 0: 98 for v2, 90 for v3
	int version = 2;
	std::string out = "sim";
	bool gzip = false;
	bool human_like = false;  // make_human_like instead of make_genome / make_annotation
	// Artefacts of real reads (sim_artefacts.cpp), as fractions; 0 leaves the reads unchanged.
	double tso = 0;          // molecules whose read 2 starts with the template-switch oligo
	double polya = 0;        // exonic molecules read through their poly(A) tail
	double tail_errors = 0;  // reads with a poorly read 3' end
};

[[noreturn]] inline void die(const char *format, const char *arg = "")
{
	fprintf(stderr, "vorat-simulate: ");
	fprintf(stderr, format, arg);
	fprintf(stderr, "\n");
	exit(1);
}

// ---- genome and annotation ----

struct Chromosome {
	std::string name;
	std::string seq;   // soft-masked stretches in lower case
};

struct Exon {
	uint32_t start, end;  // 0-based, inclusive
};

struct Transcript {
	uint32_t gene;
	std::string id;
	std::vector<Exon> exons;  // ascending
	std::string mrna;         // spliced, mRNA orientation, upper case
};

struct Gene {
	uint32_t chrom;
	uint32_t start, end;  // 0-based, inclusive span of all exons
	bool minus;
	std::string id, name;
	std::vector<uint32_t> transcripts;
	std::vector<Exon> introns;  // of the first transcript, at least one read long
};

const uint32_t CHROM_EDGE = 200;  // N bases at each chromosome end, never in a gene

// ---- output ----

// A plain or gzip text file written through one large buffer.
struct OutFile {
	FILE *fp = nullptr;
	gzFile gz = nullptr;
	std::string path, buf;
	OutFile(const std::string &p, bool compress) : path(p)
	{
		if (compress) {
			gz = gzopen(p.c_str(), "wb1");
			if (gz) gzbuffer(gz, 1 << 20);
		} else {
			fp = fopen(p.c_str(), "wb");
		}
		if (!fp && !gz) die("cannot write %s", p.c_str());
		buf.reserve(1 << 22);
	}
	void flush()
	{
		if (buf.empty()) return;
		bool ok = gz ? gzwrite(gz, buf.data(), (unsigned)buf.size()) == (int)buf.size()
		             : fwrite(buf.data(), 1, buf.size(), fp) == buf.size();
		if (!ok) die("write error on %s", path.c_str());
		buf.clear();
	}
	void put(const std::string &s)
	{
		buf += s;
		if (buf.size() >= (1 << 22)) flush();
	}
	void put(const char *s, size_t n)
	{
		buf.append(s, n);
		if (buf.size() >= (1 << 22)) flush();
	}
	~OutFile()
	{
		flush();
		if (gz && gzclose(gz) != Z_OK) die("write error on %s", path.c_str());
		if (fp && fclose(fp) != 0) die("write error on %s", path.c_str());
	}
};

// Human-like genome (human chromosome proportions, centromere-like N runs, interspersed
// repeats, segmental duplications) and annotation (human-like exon and intron lengths,
// about three isoforms per gene), genes in chromosome and position order (human_genome.cpp).
void make_human_like(const Options &o, Rng &rng, std::vector<Chromosome> &chroms, std::vector<Gene> &genes,
                     std::vector<Transcript> &txs);

void make_dir(const std::string &path);

// Random chromosomes "chr1".."chrK" of about 2 Mb each, N at both ends.
std::vector<Chromosome> make_genome(const Options &o, Rng &rng);
// Non-overlapping genes with 1 to 8 exons and 1 to 3 isoforms, in chromosome and position order.
void make_annotation(const Options &o, const std::vector<Chromosome> &chroms, Rng &rng,
                     std::vector<Gene> &genes, std::vector<Transcript> &txs);
// ---- artefacts of real reads (sim_artefacts.cpp) ----

// What one molecule's fragment carries besides cDNA.
struct Artefact {
	uint8_t tso_len = 0;      // read 2 starts with the last tso_len bases of the oligo
	uint16_t polya_cdna = 0;  // read 2 is the last polya_cdna bases of the mRNA, then poly(A)
};

// The artefact of a molecule (poly(A) only for exonic ones, whose mRNA has `mrna_len` bases).
Artefact draw_artefact(const Options &o, bool exonic, uint32_t mrna_len, Rng &rng);
// Rewrite the L-base read 2 `seq` of a molecule (before sequencing errors) with its artefact.
void apply_artefact(const Artefact &a, const std::string &mrna, const std::string &barcode, const std::string &umi,
                    int L, std::string &seq);
// For a share o.tail_errors of reads, substitutions and low qualities at the 3' end.
void add_tail_errors(const Options &o, Rng &rng, std::string &seq, std::string &qual);

void write_genome(const std::string &path, const std::vector<Chromosome> &chroms);
void write_gtf(const std::string &path, const std::vector<Chromosome> &chroms, const std::vector<Gene> &genes,
               const std::vector<Transcript> &txs);

}  // namespace sim

#endif
