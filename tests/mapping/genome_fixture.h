// A small generated genome with its BWT, a hand-made annotation spliced from it and the
// transcript k-mer hash (k = 29), built once per test program and shared by all tests.
//
// chr1 (30,000 random bases, 1-based coordinates below):
//   gene P (+): exons 1001-1300, 2001-2200, 3001-3400; P1 = all three, P2 = exons 1 and 3
//   gene M (-): exons 5001-5300, 6001-6400; M1
//   gene C (+): exon 8001-8600; C1
//   gene E (+): exon 10001-10300, whose first 44 bases repeat C1 offsets 300..343
// chr2 (30,000 bases):
//   2001-2200: a processed copy of chr1 8101-8300 (C1 offsets 100..299) that differs at
//              copy offset 100 (C1 offset 200)
//   5001-10017: 5,017 A (A^19 occurs 4,999 times); 12001-17018: 5,018 C (C^19: 5,000 times)
//   a 40-base motif at 100 places, 18001 + 100 i (60 random bases between copies)
//   gene R (+): exon 28101-29600, a 15-base unit repeated 100 times; R1
#ifndef VORAT_MAPPING_GENOME_FIXTURE_H
#define VORAT_MAPPING_GENOME_FIXTURE_H

#include <sys/stat.h>
#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>
#include "mapping/mapping.h"
#include "mapping_test_util.h"

namespace mtest {

struct TestGenome {
	std::string chr1, chr2, text;   // text = chr1 + chr2, the BWT's text
	std::string motif;
	std::vector<uint32_t> motif_pos;  // 0-based text positions of the motif copies
	GenomeBwt *bwt = nullptr;
	uint32_t chr2_start = 0;          // text position of chr2's first base
	uint32_t copy_variant_pos = 0;    // text position of the processed copy's changed base
};

inline TestGenome *make_test_genome()
{
	TestGenome *g = new TestGenome;
	std::mt19937 rng(20240611);
	g->chr1 = random_bases(rng, 30000);
	g->chr2 = random_bases(rng, 30000);
	std::string &c1 = g->chr1, &c2 = g->chr2;
	// Gene E starts with a copy of C1 offsets 300..343 (chr1 8301..8344).
	c1.replace(10000, 44, c1.substr(8300, 44));
	// Processed copy of chr1 8101..8300 with one changed base.
	c2.replace(2000, 200, c1.substr(8100, 200));
	c2[2100] = other_base(c1[8200]);
	// Homopolymer runs with flanks that end them.
	c2.replace(5000, 5017, std::string(5017, 'A'));
	c2[4999] = 'C';
	c2[5000 + 5017] = 'G';
	c2.replace(12000, 5018, std::string(5018, 'C'));
	c2[11999] = 'A';
	c2[12000 + 5018] = 'T';
	// A motif at 100 separate places.
	g->motif = random_bases(rng, 40);
	g->chr2_start = (uint32_t)c1.size();
	for (int i = 0; i < 100; ++i) {
		const size_t at = 18000 + (size_t)i * 100;  // 60 random bases between copies
		c2.replace(at, 40, g->motif);
		g->motif_pos.push_back(g->chr2_start + (uint32_t)at);
	}
	c2.replace(28100, 1500, [&] {
		const std::string unit = random_bases(rng, 15);
		std::string r;
		for (int i = 0; i < 100; ++i) r += unit;
		return r;
	}());
	g->text = c1 + c2;
	g->copy_variant_pos = g->chr2_start + 2100;

	char dir_template[] = "/tmp/vorat_mapping_XXXXXX";
	const char *dir = mkdtemp(dir_template);
	if (!dir) abort();
	const std::string path = std::string(dir) + "/genome.fa";
	FILE *fp = fopen(path.c_str(), "wb");
	if (!fp) abort();
	std::string fasta = ">chr1\n";
	for (size_t i = 0; i < c1.size(); i += 70) fasta += c1.substr(i, 70) + "\n";
	fasta += ">chr2 second\n";
	for (size_t i = 0; i < c2.size(); i += 70) fasta += c2.substr(i, 70) + "\n";
	if (fwrite(fasta.data(), 1, fasta.size(), fp) != fasta.size()) abort();
	fclose(fp);
	g->bwt = build_genome_bwt(path.c_str());
	unlink(path.c_str());
	rmdir(dir);
	return g;
}

// Built on first use, kept for the life of the test program.
inline const TestGenome &shared_genome()
{
	static TestGenome *genome = make_test_genome();
	return *genome;
}

struct TestExon {
	uint32_t start, end;  // 1-based inclusive on chr1
};

struct TestIndex {
	std::vector<std::string> tx;     // spliced transcripts P1, P2, M1, C1, E1, R1
	std::string tx_seq;
	std::vector<uint32_t> length, offset, gene, base_tx;
	AnnotationInfo ann{};
	KmerHash hash{};
	KmerHash hash_slots{};         // the same arrays, looked up through a slot table
	MappingIndex index{};          // count_intron off
	MappingIndex index_intron{};   // count_intron on
	MappingIndex index_placed{};   // count_intron off, guesses placements, k-mer slots
	MappingIndex index_plain{};    // count_intron off, the plain path
	std::vector<std::vector<Exon>> exons;
	std::vector<Exon *> exon_ptr;
	std::vector<uint32_t> exon_count, gene_chrom;
	std::vector<uint8_t> gene_strand;
	std::vector<uint64_t> seq_offset;  // chr1, chr2 in the text
	enum { P1, P2, M1, C1, E1, R1 };
};

inline std::string splice(const std::string &chr, const std::vector<TestExon> &exons, bool minus)
{
	std::string s;
	for (const TestExon &e : exons) s += chr.substr(e.start - 1, e.end - e.start + 1);
	return minus ? reverse_complement(s) : s;
}

inline TestIndex *make_test_index()
{
	const TestGenome &g = shared_genome();
	TestIndex *x = new TestIndex;
	const std::vector<std::vector<TestExon>> exons = {
	    {{1001, 1300}, {2001, 2200}, {3001, 3400}}, {{1001, 1300}, {3001, 3400}}, {{5001, 5300}, {6001, 6400}},
	    {{8001, 8600}}, {{10001, 10300}}, {{28101, 29600}}};
	const uint32_t genes[] = {0, 0, 1, 2, 3, 4};
	x->gene_strand = {0, 1, 0, 0, 0};
	x->gene_chrom = {0, 0, 0, 0, 1};
	for (size_t t = 0; t < exons.size(); ++t) {
		const uint32_t gene = genes[t];
		x->tx.push_back(splice(x->gene_chrom[gene] ? g.chr2 : g.chr1, exons[t], x->gene_strand[gene] != 0));
		x->exons.emplace_back();
		for (const TestExon &e : exons[t]) x->exons.back().push_back(Exon{e.start, e.end});
	}
	for (auto &e : x->exons) {
		x->exon_ptr.push_back(e.data());
		x->exon_count.push_back((uint32_t)e.size());
	}
	x->seq_offset = {0, g.chr1.size(), g.chr1.size() + g.chr2.size()};
	for (size_t t = 0; t < x->tx.size(); ++t) {
		x->offset.push_back((uint32_t)x->tx_seq.size());
		x->length.push_back((uint32_t)x->tx[t].size());
		x->gene.push_back(genes[t]);
		x->tx_seq += x->tx[t];
		x->base_tx.insert(x->base_tx.end(), x->tx[t].size(), (uint32_t)t);
	}
	x->offset.push_back((uint32_t)x->tx_seq.size());
	AnnotationInfo &a = x->ann;
	a.gene_count = 5;
	a.tx_count = (uint32_t)x->tx.size();
	a.tx_length = x->length.data();
	a.tx_offset = x->offset.data();
	a.tx_gene = x->gene.data();
	a.base_tx = x->base_tx.data();
	a.tx_seq = &x->tx_seq[0];
	build_kmer_hash(&x->ann, 29, &x->hash);
	a.gene_strand = x->gene_strand.data();
	a.gene_chrom = x->gene_chrom.data();
	a.tx_exons = x->exon_ptr.data();
	a.tx_exon_count = x->exon_count.data();
	x->index = MappingIndex{&x->ann, &x->hash, g.bwt, 0, 0, nullptr, 0};
	x->index_intron = MappingIndex{&x->ann, &x->hash, g.bwt, 1, 0, nullptr, 0};
	x->hash_slots = x->hash;
	build_kmer_slots(&x->hash_slots);
	x->index_placed = MappingIndex{&x->ann, &x->hash_slots, g.bwt, 0, 0, x->seq_offset.data(), 0};
	x->index_plain = MappingIndex{&x->ann, &x->hash, g.bwt, 0, 1, nullptr, 0};
	return x;
}

inline const TestIndex &shared_index()
{
	static TestIndex *index = make_test_index();
	return *index;
}

}  // namespace mtest

#endif
