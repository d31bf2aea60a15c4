// Transcriptome splicing (exon sorting, overlap and range checks, both strands), the
// .fasta writer, and the .info file: byte layout, round trip, truncation and damaged counts.
#include <gtest/gtest.h>
#include <unistd.h>
#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>
#include "annotation_test_util.h"
#include "base/base.h"
#include "index/index.h"

using namespace annotation_test;

namespace {

struct GeneSpec {
	std::string id, name;
	uint32_t chrom;
	uint8_t strand;
};

struct TxSpec {
	std::string id;
	uint32_t gene;
	std::vector<Exon> exons;
};

template <class T> T *alloc_array(size_t n)
{
	return (T *)calloc(n ? n : 1, sizeof(T));
}

char *make_name_table(const std::vector<std::string> &names, uint32_t *width)
{
	*width = 0;
	for (const auto &s : names) *width = std::max(*width, (uint32_t)s.size() + 1);
	char *table = alloc_array<char>(names.size() * *width);
	for (size_t i = 0; i < names.size(); ++i) memcpy(table + i * *width, names[i].data(), names[i].size());
	return table;
}

// The records as load_genome_fasta and parse_gtf leave them, built directly.
void make_genome(const std::vector<std::pair<std::string, std::string>> &seqs, GenomeSequences *g)
{
	std::vector<std::string> names;
	g->seq_count = (uint32_t)seqs.size();
	g->seq_lengths = alloc_array<uint32_t>(seqs.size());
	g->seq_bases = alloc_array<char *>(seqs.size());
	for (size_t i = 0; i < seqs.size(); ++i) {
		names.push_back(seqs[i].first);
		g->seq_lengths[i] = (uint32_t)seqs[i].second.size();
		g->seq_bases[i] = strdup(seqs[i].second.c_str());
	}
	g->seq_names = make_name_table(names, &g->name_width);
}

void make_annotation(const std::vector<GeneSpec> &genes, const std::vector<TxSpec> &txs, AnnotationInfo *a)
{
	std::vector<std::string> ids, names, tx_ids;
	a->gene_count = (uint32_t)genes.size();
	a->gene_chrom = alloc_array<uint32_t>(genes.size());
	a->gene_strand = alloc_array<uint8_t>(genes.size());
	for (size_t g = 0; g < genes.size(); ++g) {
		ids.push_back(genes[g].id);
		names.push_back(genes[g].name);
		a->gene_chrom[g] = genes[g].chrom;
		a->gene_strand[g] = genes[g].strand;
	}
	a->gene_ids = make_name_table(ids, &a->gene_id_width);
	a->gene_names = make_name_table(names, &a->gene_name_width);
	a->tx_count = (uint32_t)txs.size();
	a->tx_gene = alloc_array<uint32_t>(txs.size());
	a->tx_exon_count = alloc_array<uint32_t>(txs.size());
	a->tx_exons = alloc_array<Exon *>(txs.size());
	for (size_t t = 0; t < txs.size(); ++t) {
		tx_ids.push_back(txs[t].id);
		a->tx_gene[t] = txs[t].gene;
		a->tx_exon_count[t] = (uint32_t)txs[t].exons.size();
		if (!txs[t].exons.empty()) {
			a->tx_exons[t] = alloc_array<Exon>(txs[t].exons.size());
			memcpy(a->tx_exons[t], txs[t].exons.data(), txs[t].exons.size() * sizeof(Exon));
		}
	}
	a->tx_ids = make_name_table(tx_ids, &a->tx_id_width);
}

struct Index {
	ScratchDir dir;
	GenomeSequences genome = {};
	AnnotationInfo ann = {};
	std::string err;
	~Index()
	{
		release_genome_sequences(&genome);
		release_annotation_info(&ann);
	}
	std::string fasta_path() const { return dir.file("t.fasta"); }
	void build()
	{
		testing::internal::CaptureStderr();
		build_transcriptome(fasta_path().c_str(), &genome, &ann);
		err = testing::internal::GetCapturedStderr();
	}
	std::string tx_seq(uint32_t t) const
	{
		return std::string(ann.tx_seq + ann.tx_offset[t], ann.tx_length[t]);
	}
};

char complement(char c)
{
	switch (c) {
	case 'A': case 'a': return 'T';
	case 'C': case 'c': return 'G';
	case 'G': case 'g': return 'C';
	case 'T': case 't': return 'A';
	default: return 'N';
	}
}

// Naive splicing: sorted exons joined, reverse-complemented for the minus strand.
std::string reference_splice(const std::string &seq, std::vector<Exon> exons, bool minus)
{
	std::sort(exons.begin(), exons.end(), [](const Exon &a, const Exon &b) { return a.start < b.start; });
	std::string out;
	for (const Exon &e : exons) out += seq.substr(e.start - 1, e.end - e.start + 1);
	if (minus) {
		std::reverse(out.begin(), out.end());
		for (char &c : out) c = complement(c);
	}
	return out;
}

std::string random_bases(std::mt19937 &rng, size_t n, const char *letters = "ACGTacgtNRY")
{
	size_t k = strlen(letters);
	std::string s(n, 'A');
	for (char &c : s) c = letters[rng() % k];
	return s;
}

TEST(BaseCode, TablesMatchTheirDefinition)
{
	for (int c = 0; c < 256; ++c) {
		int expected = 4;
		switch (c) {
		case 'A': case 'a': expected = 0; break;
		case 'C': case 'c': expected = 1; break;
		case 'G': case 'g': expected = 2; break;
		case 'T': case 't': expected = 3; break;
		}
		EXPECT_EQ(BASE_CODE[c], expected) << "byte " << c;
	}
	EXPECT_STREQ(COMPLEMENT_LETTERS, "TGCAN");
}

// Bases 10..12 are "acg", 20..21 "TT": minus strand AACGT, plus strand acgTT (case kept).
TEST(Transcriptome, PlusAndMinusStrandSplicing)
{
	std::string chr1(25, 'N');
	chr1[9] = 'a', chr1[10] = 'c', chr1[11] = 'g', chr1[12] = 'R', chr1[19] = 'T', chr1[20] = 'T';
	Index x;
	make_genome({{"chrX", "ACGT"}, {"chr1", chr1}}, &x.genome);
	make_annotation({{"G1", "minus", 1, 1}, {"G2", "plus", 1, 0}},
	                {{"T1", 0, {{20, 21}, {10, 12}}}, {"T2", 1, {{20, 21}, {10, 12}}}, {"T3", 0, {{13, 15}}}},
	                &x.ann);
	x.build();
	EXPECT_EQ(x.err, "");
	EXPECT_EQ(x.tx_seq(0), "AACGT");
	EXPECT_EQ(x.tx_seq(1), "acgTT");
	EXPECT_EQ(x.tx_seq(2), "NNN");
	EXPECT_EQ(std::string(x.ann.tx_seq, 13), "AACGTacgTTNNN");
	EXPECT_EQ(x.ann.tx_seq[13], '\0');
	const uint32_t offsets[] = {0, 5, 10, 13};
	for (int t = 0; t < 4; ++t) EXPECT_EQ(x.ann.tx_offset[t], offsets[t]);
	for (uint32_t i = 0; i < 13; ++i) EXPECT_EQ(x.ann.base_tx[i], i < 5 ? 0u : i < 10 ? 1u : 2u) << i;
	// A plus-strand transcript given in descending order comes out sorted.
	EXPECT_EQ(x.ann.tx_exons[1][0].start, 10u);
	EXPECT_EQ(x.ann.tx_exons[1][1].start, 20u);
	EXPECT_EQ(read_file(x.fasta_path()), ">G1_T1\nAACGT\n>G2_T2\nacgTT\n>G1_T3\nNNN\n");
}

// The same case from files, through the FASTA loader and the GTF parser.
TEST(Transcriptome, FromFastaAndGtfFiles)
{
	Index x;
	std::string chr1 = "NNNNNNNNNacgNNNNNNNTTNNNN";
	write_file(x.dir.file("g.fa"), ">chr1 test\n" + chr1.substr(0, 12) + "\n" + chr1.substr(12) + "\n");
	auto line = [](const std::string &f, int s, int e, const std::string &strand, const std::string &attr) {
		return "chr1\tt\t" + f + "\t" + std::to_string(s) + "\t" + std::to_string(e) + "\t.\t" + strand +
		       "\t.\t" + attr + "\n";
	};
	write_file(x.dir.file("a.gtf"),
	           line("gene", 1, 25, "-", "gene_id \"G1\"; gene_name \"M\";") +
	               line("transcript", 1, 25, "-", "gene_id \"G1\"; transcript_id \"T1\";") +
	               line("exon", 10, 12, "-", "transcript_id \"T1\";") +
	               line("exon", 20, 21, "-", "transcript_id \"T1\";"));
	NameMap *seqs = kh_init(str), *genes = kh_init(str), *txs = kh_init(str);
	load_genome_fasta(x.dir.file("g.fa").c_str(), &x.genome, seqs);
	parse_gtf(x.dir.file("a.gtf").c_str(), seqs, &x.ann, genes, txs);
	x.build();
	EXPECT_EQ(x.tx_seq(0), "AACGT");
	EXPECT_EQ(read_file(x.fasta_path()), ">G1_T1\nAACGT\n");
	release_name_map(seqs);
	release_name_map(genes);
	release_name_map(txs);
}

TEST(Transcriptome, TouchingExonsAndSequenceEnds)
{
	std::mt19937 rng(5);
	std::string chr = random_bases(rng, 40);
	Index x;
	make_genome({{"c", chr}}, &x.genome);
	// Touching exons; exons that reach the first and the last base.
	make_annotation({{"G", "G", 0, 0}, {"H", "H", 0, 1}},
	                {{"T1", 0, {{21, 30}, {10, 20}}}, {"T2", 1, {{1, 1}, {40, 40}}}, {"T3", 0, {{1, 40}}}},
	                &x.ann);
	x.build();
	EXPECT_EQ(x.ann.tx_length[0], 21u);
	EXPECT_EQ(x.tx_seq(0), chr.substr(9, 21));
	EXPECT_EQ(x.tx_seq(1), reference_splice(chr, {{1, 1}, {40, 40}}, true));
	EXPECT_EQ(x.tx_seq(2), chr);
}

TEST(Transcriptome, FastaLinesOf80)
{
	std::mt19937 rng(11);
	std::string chr = random_bases(rng, 400);
	Index x;
	make_genome({{"c", chr}}, &x.genome);
	make_annotation({{"GP", "p", 0, 0}, {"GM", "m", 0, 1}},
	                {{"t160", 0, {{1, 160}}}, {"t161", 0, {{5, 100}, {200, 264}}}, {"t80", 1, {{101, 180}}},
	                 {"t1", 1, {{7, 7}}}, {"t81", 0, {{300, 380}}}},
	                &x.ann);
	x.build();
	std::string s160 = chr.substr(0, 160);
	std::string s161 = chr.substr(4, 96) + chr.substr(199, 65);
	std::string s80 = reference_splice(chr, {{101, 180}}, true);
	std::string s1 = reference_splice(chr, {{7, 7}}, true);
	std::string s81 = chr.substr(299, 81);
	ASSERT_EQ(x.tx_seq(1), s161);
	std::string expected = ">GP_t160\n" + s160.substr(0, 80) + "\n" + s160.substr(80) + "\n" +
	                       ">GP_t161\n" + s161.substr(0, 80) + "\n" + s161.substr(80, 80) + "\n" + s161.substr(160) + "\n" +
	                       ">GM_t80\n" + s80 + "\n" + ">GM_t1\n" + s1 + "\n" +
	                       ">GP_t81\n" + s81.substr(0, 80) + "\n" + s81.substr(80) + "\n";
	EXPECT_EQ(read_file(x.fasta_path()), expected);
}

TEST(Transcriptome, TranscriptWithoutExons)
{
	Index x;
	make_genome({{"c", "ACGTACGTAC"}}, &x.genome);
	make_annotation({{"G", "G", 0, 0}}, {{"A", 0, {{1, 3}}}, {"Empty", 0, {}}, {"B", 0, {{5, 6}}}}, &x.ann);
	x.build();
	EXPECT_EQ(x.err, "[WARNING] Transcript [Empty] have 0 exon\n");
	EXPECT_EQ(x.ann.tx_length[1], 0u);
	EXPECT_EQ(x.ann.tx_offset[1], 3u);
	EXPECT_EQ(x.ann.tx_offset[2], 3u);
	EXPECT_EQ(x.ann.tx_offset[3], 5u);
	EXPECT_EQ(x.ann.base_tx[3], 2u);
	EXPECT_EQ(read_file(x.fasta_path()), ">G_A\nACG\n>G_B\nAC\n");
}

// Above 64 exons the radix sort is used; compare it with std::sort over starts that
// differ in every byte, and the splice with the naive one.
TEST(Transcriptome, ManyExonsAgainstReferenceSort)
{
	std::mt19937 rng(23);
	const uint32_t chr_len = (1u << 24) + 300000;
	std::string chr = random_bases(rng, chr_len, "ACGTacgt");
	std::vector<TxSpec> txs;
	const uint32_t sizes[] = {1, 2, 63, 64, 65, 66, 200, 1500};
	for (uint32_t n : sizes) {
		for (int strand = 0; strand < 2; ++strand) {
			// n disjoint exons: pick sorted distinct slots, then shuffle.
			std::vector<Exon> exons;
			uint32_t slot = chr_len / n;
			for (uint32_t i = 0; i < n; ++i) {
				uint32_t start = i * slot + 1 + rng() % (slot / 2);
				uint32_t len = 1 + rng() % std::min<uint32_t>(slot / 2 - 1, 200);
				exons.push_back({start, start + len - 1});
			}
			std::shuffle(exons.begin(), exons.end(), rng);
			txs.push_back({"T" + std::to_string(n) + "_" + std::to_string(strand), (uint32_t)strand, exons});
		}
	}
	// Starts sharing their upper bytes: only the low byte tells them apart.
	std::vector<Exon> close;
	for (uint32_t i = 0; i < 120; ++i) close.push_back({0x00ABCD00u + 2 * i + 1, 0x00ABCD00u + 2 * i + 1});
	std::shuffle(close.begin(), close.end(), rng);
	txs.push_back({"Tclose", 0, close});

	Index x;
	make_genome({{"c", chr}}, &x.genome);
	make_annotation({{"GP", "p", 0, 0}, {"GM", "m", 0, 1}}, txs, &x.ann);
	x.build();
	EXPECT_EQ(x.err, "");
	for (uint32_t t = 0; t < txs.size(); ++t) {
		std::vector<Exon> ref = txs[t].exons;
		std::sort(ref.begin(), ref.end(), [](const Exon &a, const Exon &b) { return a.start < b.start; });
		ASSERT_EQ(x.ann.tx_exon_count[t], ref.size());
		for (size_t i = 0; i < ref.size(); ++i) {
			ASSERT_EQ(x.ann.tx_exons[t][i].start, ref[i].start) << txs[t].id << " exon " << i;
			ASSERT_EQ(x.ann.tx_exons[t][i].end, ref[i].end) << txs[t].id << " exon " << i;
		}
		EXPECT_EQ(x.tx_seq(t), reference_splice(chr, txs[t].exons, txs[t].gene == 1)) << txs[t].id;
		for (uint32_t i = x.ann.tx_offset[t]; i < x.ann.tx_offset[t + 1]; ++i) ASSERT_EQ(x.ann.base_tx[i], t);
	}
}

// build_transcriptome ends the run: the messages must match exactly.
void expect_build_fails(const std::vector<std::pair<std::string, std::string>> &seqs, const std::vector<GeneSpec> &genes,
                        const std::vector<TxSpec> &txs, const std::string &regex)
{
	ScratchDir dir;
	std::string path = dir.file("t.fasta");
	auto run = [&]() {
		GenomeSequences g = {};
		AnnotationInfo a = {};
		make_genome(seqs, &g);
		make_annotation(genes, txs, &a);
		build_transcriptome(path.c_str(), &g, &a);
	};
	EXPECT_EXIT(run(), ::testing::ExitedWithCode(1), regex);
}

TEST(TranscriptomeDeathTest, OverlappingExons)
{
	std::vector<std::pair<std::string, std::string>> seqs = {{"c", std::string(50, 'A')}};
	expect_build_fails(seqs, {{"G", "G", 0, 0}}, {{"T1", 0, {{10, 20}, {20, 30}}}},
	                   "^\\[ERROR\\] Transcript \\[T1\\] has exons overlap\n$");
	// Found after sorting, and with equal starts.
	expect_build_fails(seqs, {{"G", "G", 0, 1}}, {{"ok", 0, {{1, 2}}}, {"T2", 0, {{30, 40}, {1, 5}, {3, 4}}}},
	                   "^\\[ERROR\\] Transcript \\[T2\\] has exons overlap\n$");
	expect_build_fails(seqs, {{"G", "G", 0, 0}}, {{"T3", 0, {{7, 7}, {7, 9}}}},
	                   "^\\[ERROR\\] Transcript \\[T3\\] has exons overlap\n$");
}

TEST(TranscriptomeDeathTest, ExonOutsideItsSequence)
{
	std::vector<std::pair<std::string, std::string>> seqs = {{"chrA", std::string(30, 'C')},
	                                                         {"chrB", std::string(25, 'G')}};
	expect_build_fails(seqs, {{"G", "G", 1, 0}}, {{"T1", 0, {{1, 5}, {20, 26}}}},
	                   "^\\[ERROR\\] Transcript \\[T1\\] has an exon outside sequence \\[chrB\\] \\(length 25\\)\n$");
	expect_build_fails(seqs, {{"G", "G", 0, 1}}, {{"T2", 0, {{0, 3}}}},
	                   "^\\[ERROR\\] Transcript \\[T2\\] has an exon outside sequence \\[chrA\\] \\(length 30\\)\n$");
	expect_build_fails(seqs, {{"G", "G", 0, 1}}, {{"T3", 0, {{4294967290u, 4294967295u}}}},
	                   "^\\[ERROR\\] Transcript \\[T3\\] has an exon outside sequence \\[chrA\\] \\(length 30\\)\n$");
}

// ---- .info file ----

void put_u32(std::string *out, uint32_t v)
{
	for (int i = 0; i < 4; ++i) out->push_back((char)(v >> (8 * i) & 0xFF));
}

void put_u32s(std::string *out, const uint32_t *v, size_t n)
{
	for (size_t i = 0; i < n; ++i) put_u32(out, v[i]);
}

// The file layout written out item by item, little-endian.
std::string expected_info(const GenomeSequences &g, const AnnotationInfo &a)
{
	std::string out;
	put_u32(&out, g.seq_count);
	put_u32(&out, g.name_width);
	put_u32s(&out, g.seq_lengths, g.seq_count);
	out.append(g.seq_names, (size_t)g.seq_count * g.name_width);
	put_u32(&out, a.gene_count);
	put_u32(&out, a.gene_name_width);
	put_u32(&out, a.gene_id_width);
	put_u32s(&out, a.gene_chrom, a.gene_count);
	out.append(a.gene_names, (size_t)a.gene_count * a.gene_name_width);
	out.append(a.gene_ids, (size_t)a.gene_count * a.gene_id_width);
	out.append((const char *)a.gene_strand, a.gene_count);
	put_u32(&out, a.tx_count);
	put_u32(&out, a.tx_id_width);
	out.append(a.tx_ids, (size_t)a.tx_count * a.tx_id_width);
	put_u32s(&out, a.tx_length, a.tx_count);
	put_u32s(&out, a.tx_offset, a.tx_count + 1);
	put_u32s(&out, a.tx_gene, a.tx_count);
	uint32_t total = a.tx_offset[a.tx_count];
	put_u32s(&out, a.base_tx, total);
	out.append(a.tx_seq, total);
	put_u32s(&out, a.tx_exon_count, a.tx_count);
	for (uint32_t t = 0; t < a.tx_count; ++t)
		for (uint32_t i = 0; i < a.tx_exon_count[t]; ++i) {
			put_u32(&out, a.tx_exons[t][i].start);
			put_u32(&out, a.tx_exons[t][i].end);
		}
	return out;
}

void build_mixed_index(Index *x)
{
	std::mt19937 rng(99);
	make_genome({{"chr1", random_bases(rng, 500)}, {"chr10_long_name", random_bases(rng, 300)}, {"M", "ACGT"}},
	            &x->genome);
	make_annotation({{"ENSG01", "Alpha", 0, 0}, {"ENSG0002", "B", 1, 1}, {"G3", "Gamma_long", 0, 1}},
	                {{"T1", 0, {{100, 150}, {10, 20}}},
	                 {"T2.1", 1, {{5, 90}, {200, 280}, {100, 120}}},
	                 {"none", 2, {}},
	                 {"T4", 2, {{400, 500}}},
	                 {"T5", 0, {{1, 1}}}},
	                &x->ann);
	x->build();
}

void expect_same_annotation(const GenomeSequences &g1, const AnnotationInfo &a1, const GenomeSequences &g2,
                            const AnnotationInfo &a2)
{
	ASSERT_EQ(g2.seq_count, g1.seq_count);
	ASSERT_EQ(g2.name_width, g1.name_width);
	EXPECT_EQ(memcmp(g2.seq_lengths, g1.seq_lengths, g1.seq_count * 4), 0);
	EXPECT_EQ(memcmp(g2.seq_names, g1.seq_names, (size_t)g1.seq_count * g1.name_width), 0);
	EXPECT_EQ(g2.seq_bases, nullptr);
	ASSERT_EQ(a2.gene_count, a1.gene_count);
	ASSERT_EQ(a2.gene_name_width, a1.gene_name_width);
	ASSERT_EQ(a2.gene_id_width, a1.gene_id_width);
	EXPECT_EQ(memcmp(a2.gene_chrom, a1.gene_chrom, a1.gene_count * 4), 0);
	EXPECT_EQ(memcmp(a2.gene_names, a1.gene_names, (size_t)a1.gene_count * a1.gene_name_width), 0);
	EXPECT_EQ(memcmp(a2.gene_ids, a1.gene_ids, (size_t)a1.gene_count * a1.gene_id_width), 0);
	EXPECT_EQ(memcmp(a2.gene_strand, a1.gene_strand, a1.gene_count), 0);
	ASSERT_EQ(a2.tx_count, a1.tx_count);
	ASSERT_EQ(a2.tx_id_width, a1.tx_id_width);
	EXPECT_EQ(memcmp(a2.tx_ids, a1.tx_ids, (size_t)a1.tx_count * a1.tx_id_width), 0);
	EXPECT_EQ(memcmp(a2.tx_length, a1.tx_length, a1.tx_count * 4), 0);
	EXPECT_EQ(memcmp(a2.tx_offset, a1.tx_offset, (a1.tx_count + 1) * 4), 0);
	EXPECT_EQ(memcmp(a2.tx_gene, a1.tx_gene, a1.tx_count * 4), 0);
	uint32_t total = a1.tx_offset[a1.tx_count];
	EXPECT_EQ(memcmp(a2.base_tx, a1.base_tx, (size_t)total * 4), 0);
	EXPECT_EQ(std::string(a2.tx_seq, total), std::string(a1.tx_seq, total));
	EXPECT_EQ(memcmp(a2.tx_exon_count, a1.tx_exon_count, a1.tx_count * 4), 0);
	for (uint32_t t = 0; t < a1.tx_count; ++t)
		for (uint32_t i = 0; i < a1.tx_exon_count[t]; ++i) {
			EXPECT_EQ(a2.tx_exons[t][i].start, a1.tx_exons[t][i].start);
			EXPECT_EQ(a2.tx_exons[t][i].end, a1.tx_exons[t][i].end);
		}
}

TEST(AnnotationInfoFile, LayoutAndRoundTrip)
{
	Index x;
	build_mixed_index(&x);
	ASSERT_EQ(x.err, "[WARNING] Transcript [none] have 0 exon\n");
	std::string path = x.dir.file("idx.info");
	write_annotation_info(path.c_str(), &x.genome, &x.ann);
	std::string bytes = read_file(path);
	EXPECT_EQ(bytes, expected_info(x.genome, x.ann));
	// 3 sequences, names 16 wide; the first length is 500.
	EXPECT_EQ(bytes.substr(0, 12), std::string("\x03\0\0\0\x10\0\0\0\xf4\x01\0\0", 12));

	GenomeSequences g = {};
	AnnotationInfo a = {};
	load_annotation_info(path.c_str(), &g, &a);
	expect_same_annotation(x.genome, x.ann, g, a);
	EXPECT_EQ(std::string(a.tx_seq), std::string(x.ann.tx_seq));  // kept zero-terminated
	release_genome_sequences(&g);
	release_annotation_info(&a);

	// Without the per-base table (as count loads it): the rest the same, the table checked.
	load_annotation_info(path.c_str(), &g, &a, false);
	EXPECT_EQ(a.base_tx, nullptr);
	a.base_tx = x.ann.base_tx;
	expect_same_annotation(x.genome, x.ann, g, a);
	a.base_tx = nullptr;
	EXPECT_EQ(std::string(a.tx_seq), std::string(x.ann.tx_seq));
	release_genome_sequences(&g);
	release_annotation_info(&a);
}

TEST(AnnotationInfoFile, NoExonAnywhere)
{
	Index x;
	make_genome({{"c", "ACGT"}}, &x.genome);
	make_annotation({{"G", "N", 0, 0}}, {{"T1", 0, {}}, {"T2", 0, {}}}, &x.ann);
	x.build();
	EXPECT_EQ(x.err, "[WARNING] Transcript [T1] have 0 exon\n[WARNING] Transcript [T2] have 0 exon\n");
	EXPECT_EQ(read_file(x.fasta_path()), "");
	for (int t = 0; t < 3; ++t) EXPECT_EQ(x.ann.tx_offset[t], 0u);
	std::string path = x.dir.file("idx.info");
	write_annotation_info(path.c_str(), &x.genome, &x.ann);
	EXPECT_EQ(read_file(path), expected_info(x.genome, x.ann));
	GenomeSequences g = {};
	AnnotationInfo a = {};
	load_annotation_info(path.c_str(), &g, &a);
	expect_same_annotation(x.genome, x.ann, g, a);
	release_genome_sequences(&g);
	release_annotation_info(&a);
}

void load_only(const std::string &path, bool with_base_tx = true)
{
	GenomeSequences g = {};
	AnnotationInfo a = {};
	load_annotation_info(path.c_str(), &g, &a, with_base_tx);
}

TEST(AnnotationInfoFileDeathTest, TruncatedFileOrWrongBaseTable)
{
	Index x;
	build_mixed_index(&x);
	std::string path = x.dir.file("idx.info");
	write_annotation_info(path.c_str(), &x.genome, &x.ann);
	std::string bytes = read_file(path);
	std::string cut = x.dir.file("cut.info");
	for (size_t keep : {bytes.size() - 1, bytes.size() - 9, bytes.size() / 2, (size_t)100, (size_t)30, (size_t)5,
	                    (size_t)0}) {
		SCOPED_TRACE(keep);
		write_file(cut, bytes.substr(0, keep));
		for (bool with_base_tx : {true, false})
			EXPECT_EXIT(load_only(cut, with_base_tx), ::testing::ExitedWithCode(1),
			            "^\\[ERROR\\] fread, wrong file or file is corrupted\n$");
	}
	// A base of the per-base table given to the wrong transcript: refused whether the table is
	// kept or only checked.
	const size_t total = x.ann.tx_offset[x.ann.tx_count];
	ASSERT_GT(total, 10u);
	const size_t base_tx_at = bytes.size() - 4 * total - total - 4 * (size_t)x.ann.tx_count;
	size_t exons = 0;
	for (uint32_t t = 0; t < x.ann.tx_count; ++t) exons += x.ann.tx_exon_count[t];
	const size_t at = base_tx_at - 8 * exons + 4 * (total - 3);
	uint32_t value;
	memcpy(&value, bytes.data() + at, 4);
	ASSERT_EQ(value, x.ann.base_tx[total - 3]);
	std::string wrong = bytes;
	value ^= 1;
	memcpy(&wrong[at], &value, 4);
	write_file(cut, wrong);
	for (bool with_base_tx : {true, false})
		EXPECT_EXIT(load_only(cut, with_base_tx), ::testing::ExitedWithCode(1),
		            "^\\[ERROR\\] fread, wrong file or file is corrupted\n$");
}

// Peak virtual memory of this process in KiB.
uint64_t vm_peak_kib()
{
	FILE *fp = fopen("/proc/self/status", "r");
	char line[256];
	uint64_t kib = 0;
	while (fp && fgets(line, sizeof line, fp))
		if (strncmp(line, "VmPeak:", 7) == 0) kib = strtoull(line + 7, nullptr, 10);
	if (fp) fclose(fp);
	return kib;
}

uint64_t vm_baseline_kib;

// Runs inside fatal(): a load that reserved gigabytes before failing is reported apart.
void check_vm_growth()
{
	if (vm_peak_kib() > vm_baseline_kib + (512u << 10)) {
		fputs("huge allocation before the read error\n", stderr);
		_exit(3);
	}
}

void load_with_vm_check(const std::string &path)
{
	vm_baseline_kib = vm_peak_kib();
	set_fatal_hook(check_vm_growth);
	load_only(path);
}

TEST(AnnotationInfoFileDeathTest, InflatedCountsDoNotAllocate)
{
	Index x;
	build_mixed_index(&x);
	std::string path = x.dir.file("idx.info");
	write_annotation_info(path.c_str(), &x.genome, &x.ann);
	std::string bytes = read_file(path);
	const GenomeSequences &g = x.genome;
	const AnnotationInfo &a = x.ann;
	size_t gene_count_at = 8 + 4 * g.seq_count + (size_t)g.seq_count * g.name_width;
	size_t tx_count_at = gene_count_at + 12 + 4 * a.gene_count + (size_t)a.gene_count * (a.gene_name_width + a.gene_id_width) +
	                     a.gene_count;
	size_t total_at = tx_count_at + 8 + (size_t)a.tx_count * a.tx_id_width + 4 * a.tx_count + 4 * a.tx_count;
	size_t total = a.tx_offset[a.tx_count];
	size_t exon_count_at = total_at + 4 + 4 * a.tx_count + 5 * total;
	uint32_t check;
	memcpy(&check, bytes.data() + total_at, 4);
	ASSERT_EQ(check, total);
	memcpy(&check, bytes.data() + exon_count_at + 4, 4);
	ASSERT_EQ(check, a.tx_exon_count[1]);

	struct Patch {
		const char *what;
		size_t at;
		uint32_t value;
	} patches[] = {
		{"seq_count", 0, 0xFFFFFFF0u},
		{"name_width", 4, 0x40000000u},
		{"gene_count", gene_count_at, 0xFFFFFFFFu},
		{"gene_name_width", gene_count_at + 4, 0xFFFFFFFFu},
		{"tx_count", tx_count_at, 0xFFFFFFFFu},
		{"tx_id_width", tx_count_at + 4, 0x7FFFFFFFu},
		{"total length", total_at, 0xFFFFFFF0u},
		{"exon count", exon_count_at + 4, 0xFFFFFFFFu},
	};
	std::string bad = x.dir.file("bad.info");
	for (const Patch &p : patches) {
		SCOPED_TRACE(p.what);
		std::string b = bytes;
		memcpy(&b[p.at], &p.value, 4);
		write_file(bad, b);
		EXPECT_EXIT(load_with_vm_check(bad), ::testing::ExitedWithCode(1),
		            "^\\[ERROR\\] fread, wrong file or file is corrupted\n$");
	}
}

// Found by fuzzing: a transcript whose gene number is beyond the gene table loaded, and the
// mapping then read outside the table. The corpus file starts with the harness's selector byte.
// Found by fuzzing: a transcript whose gene number is beyond the gene table, and transcript
// offsets that run past the total length (the size of the base-to-transcript table); both
// loaded, and the mapping or the check itself then read outside a table. The corpus files
// start with the harness's selector byte.
TEST(AnnotationInfoFileDeathTest, FuzzFindings)
{
	for (const char *name : {"info-bad-gene.bin", "info-offsets-beyond-total.bin"}) {
		const std::string found = read_file(std::string(VORAT_SOURCE_DIR "/tests/fuzz/corpus/fuzz_index_files/") + name);
		ASSERT_GT(found.size(), 1u) << name;
		ScratchDir dir;
		std::string path = dir.file("found.info");
		write_file(path, found.substr(1));
		EXPECT_EXIT(load_only(path), ::testing::ExitedWithCode(1),
		            "^\\[ERROR\\] fread, wrong file or file is corrupted\n$")
		    << name;
	}
}

TEST(AnnotationInfoFileDeathTest, MissingFile)
{
	ScratchDir dir;
	std::string path = dir.file("none.info");
	EXPECT_EXIT(load_only(path), ::testing::ExitedWithCode(1),
	            "^\\[ERROR\\] Unable to open file \\[.*/none\\.info\\] to read\n$");
}

}  // namespace

namespace {

std::string shared_data(const std::string &rel)
{
	return std::string(VORAT_SOURCE_DIR) + "/../shared/data/" + rel;
}

// Fraction of introns with the canonical GT..AG motif (CT..AC on the genome for the minus
// strand), after loading the real region and splicing its transcripts.
double canonical_intron_fraction(const std::string &fasta, const std::string &gtf, uint32_t *exon_total, Index *x)
{
	NameMap *seqs = kh_init(str), *genes = kh_init(str), *txs = kh_init(str);
	load_genome_fasta(fasta.c_str(), &x->genome, seqs);
	testing::internal::CaptureStderr();
	parse_gtf(gtf.c_str(), seqs, &x->ann, genes, txs);
	testing::internal::GetCapturedStderr();
	x->build();
	release_name_map(seqs);
	release_name_map(genes);
	release_name_map(txs);
	uint32_t introns = 0, canonical = 0;
	*exon_total = 0;
	for (uint32_t t = 0; t < x->ann.tx_count; ++t) {
		uint32_t g = x->ann.tx_gene[t];
		const char *s = x->genome.seq_bases[x->ann.gene_chrom[g]];
		const Exon *ex = x->ann.tx_exons[t];
		*exon_total += x->ann.tx_exon_count[t];
		for (uint32_t i = 0; i + 1 < x->ann.tx_exon_count[t]; ++i) {
			// 0-based: the intron runs from ex[i].end to ex[i+1].start - 2.
			std::string left(s + ex[i].end, 2), right(s + ex[i + 1].start - 3, 2);
			for (char &c : left) c = (char)toupper(c);
			for (char &c : right) c = (char)toupper(c);
			bool ok = x->ann.gene_strand[g] == 0 ? left == "GT" && right == "AG" : left == "CT" && right == "AC";
			canonical += ok;
			++introns;
		}
	}
	return introns ? (double)canonical / introns : 0.0;
}

TEST(TranscriptomeRealData, Chromosome21RegionSpliceSites)
{
	std::string fasta = shared_data("grch38-chr21-region/chr21-region.fa");
	std::string gtf = shared_data("grch38-chr21-region/chr21-region.gtf");
	std::string shifted = shared_data("grch38-chr21-region/chr21-region.as-published.gtf");
	FILE *fp = fopen(fasta.c_str(), "rb");
	if (!fp) GTEST_SKIP() << fasta << " not available";
	fclose(fp);
	Index x;
	uint32_t exons = 0;
	double good = canonical_intron_fraction(fasta, gtf, &exons, &x);
	ASSERT_EQ(x.genome.seq_count, 1u);
	EXPECT_EQ(x.genome.seq_lengths[0], 697740u);
	EXPECT_EQ(x.ann.gene_count, 14u);
	EXPECT_EQ(x.ann.tx_count, 50u);
	EXPECT_EQ(exons, 213u);
	EXPECT_GT(good, 0.95);
	uint64_t total = 0;
	for (uint32_t t = 0; t < x.ann.tx_count; ++t) total += x.ann.tx_length[t];
	EXPECT_EQ(x.ann.tx_offset[x.ann.tx_count], total);
	// Every spliced transcript is in the .fasta file, in lines of at most 80 bases.
	std::string out = read_file(x.fasta_path());
	size_t records = 0, bases = 0, pos = 0;
	while (pos < out.size()) {
		size_t eol = out.find('\n', pos);
		ASSERT_NE(eol, std::string::npos);
		if (out[pos] == '>') ++records;
		else {
			ASSERT_LE(eol - pos, 80u);
			bases += eol - pos;
		}
		pos = eol + 1;
	}
	EXPECT_EQ(records, 50u);
	EXPECT_EQ(bases, total);

	Index y;
	double bad = canonical_intron_fraction(fasta, shifted, &exons, &y);
	EXPECT_LT(bad, 0.2);
}

}  // namespace
