// UMI collapsing on several threads: every output file is byte-identical whatever the number of matrix
// threads, matrix.bin is in barcode then gene order, and the raw folder lists each barcode
// that keeps a UMI with the counts of a direct computation.
#include <gtest/gtest.h>
#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <sys/stat.h>
#include "../common/run_binary.h"
#include "tenx_test_util.h"

using namespace tenx_test;

namespace {

struct Generated {
	std::set<std::string> cells;
	// Noise barcodes (never cells, never merged): barcode -> gene -> distinct UMIs.
	std::map<std::string, std::map<uint32_t, std::set<std::string>>> noise;
};

std::string random_seq(std::mt19937_64 &rng, int len)
{
	std::string s((size_t)len, 'A');
	for (char &c : s) c = "ACGT"[rng() % 4];
	return s;
}

// Many cells with 40 to 300 random UMIs, barcode errors (one base off a cell, merged into
// it), and noise barcodes with one or two UMIs (below the 1 % cut). Barcodes are drawn at
// random; the seed is fixed, so the table is always the same.
Generated fill_many(BarcodeTable *t, uint32_t seed, int n_cells, int n_noise, uint32_t genes)
{
	std::mt19937_64 rng(seed);
	Generated g;
	std::vector<std::string> cells;
	for (int c = 0; c < n_cells; ++c) {
		std::string bc = random_seq(rng, 16);
		cells.push_back(bc);
		g.cells.insert(bc);
		int n = 40 + (int)(rng() % 261);
		for (int i = 0; i < n; ++i) {
			std::string umi = random_seq(rng, 10);
			uint32_t gene = (uint32_t)(rng() % genes);
			add(t, bc, umi, gene);
			if (rng() % 10 == 0) {  // a UMI error, sometimes an N
				umi[rng() % 10] = "ACGTN"[rng() % 5];
				add(t, bc, umi, gene);
			}
		}
	}
	for (int e = 0; e < n_cells / 8; ++e) {
		std::string bc = cells[rng() % cells.size()];
		size_t j = rng() % 16;
		bc[j] = bc[j] == 'A' ? 'C' : 'A';
		add(t, bc, random_seq(rng, 10), (uint32_t)(rng() % genes));
	}
	for (int n = 0; n < n_noise; ++n) {
		std::string bc = random_seq(rng, 16);
		int k = 1 + (int)(rng() % 2);
		for (int i = 0; i < k; ++i) {
			std::string umi = random_seq(rng, 10);
			uint32_t gene = (uint32_t)(rng() % genes);
			add(t, bc, umi, gene);
			g.noise[bc][gene].insert(umi);
		}
	}
	return g;
}

bool same_summary(const MatrixSummary &a, const MatrixSummary &b)
{
	if (a.curve_points != b.curve_points) return false;
	for (uint32_t i = 0; i < a.curve_points; ++i)
		if (a.curve[i].rank != b.curve[i].rank || a.curve[i].umis != b.curve[i].umis) return false;
	return a.gene_count == b.gene_count && a.barcode_count == b.barcode_count && a.cell_count == b.cell_count &&
	       a.raw_barcode_count == b.raw_barcode_count && a.cell_records == b.cell_records &&
	       a.raw_records == b.raw_records && a.cell_umis == b.cell_umis &&
	       a.median_umis_per_cell == b.median_umis_per_cell && a.median_genes_per_cell == b.median_genes_per_cell &&
	       a.reads_recorded == b.reads_recorded && a.reads_in_cells == b.reads_in_cells && a.umi_keys == b.umi_keys;
}

const char *ALL_FILES[] = {
	"barcodes.tsv", "features.tsv", "matrix.bin", "matrix.mtx",
	"filtered_feature_bc_matrix/barcodes.tsv.gz", "filtered_feature_bc_matrix/features.tsv.gz",
	"filtered_feature_bc_matrix/matrix.mtx.gz", "raw_feature_bc_matrix/barcodes.tsv.gz",
	"raw_feature_bc_matrix/features.tsv.gz", "raw_feature_bc_matrix/matrix.mtx.gz",
};

TEST(OrderedMatrixPass, IdenticalFilesForEveryThreadCount)
{
	const uint32_t G = 60;
	Genes genes = numbered_genes((int)G);
	TempDir base;
	Generated gen;
	MatrixSummary first{};
	for (int threads : {1, 2, 3, 8}) {
		Table tab;
		gen = fill_many(tab.t, 2024, 1000, 1500, G);
		std::string dir = base / ("t" + std::to_string(threads));
		ASSERT_EQ(mkdir(dir.c_str(), 0777), 0);
		MatrixRun opt = options(dir, threads);
		MatrixSummary s;
		testing::internal::CaptureStderr();
		write_matrix_outputs(&opt, tab.t, &genes.ann, &s);
		testing::internal::GetCapturedStderr();
		if (threads == 1) {
			first = s;
			continue;
		}
		for (const char *name : ALL_FILES)
			EXPECT_TRUE(same_file(dir + "/" + name, base / "t1/" + name)) << threads << " threads";
		EXPECT_TRUE(same_summary(s, first)) << "summary differs with " << threads << " threads";
	}

	// matrix.bin: strictly ascending (barcode, gene), and the cells are the generated ones.
	std::string bin = read_file(base / "t1/matrix.bin");
	ASSERT_GE(bin.size(), 16u);
	uint64_t e;
	memcpy(&e, bin.data() + 8, 8);
	ASSERT_EQ(bin.size(), 16 + 12 * e);
	std::vector<Entry> records(e);
	for (uint64_t i = 0; i < e; ++i) memcpy(&records[i], bin.data() + 16 + 12 * i, 12);
	for (uint64_t i = 1; i < e; ++i) ASSERT_TRUE(records[i - 1] < records[i]) << "record " << i;
	std::vector<std::string> cells = split_lines(read_file(base / "t1/barcodes.tsv"));
	EXPECT_EQ(std::set<std::string>(cells.begin(), cells.end()), gen.cells);

	// The filtered folder holds the same matrix as matrix.mtx.
	Mtx mtx = parse_mtx(read_file(base / "t1/matrix.mtx"));
	Mtx filtered = parse_mtx(read_gz(base / "t1/filtered_feature_bc_matrix/matrix.mtx.gz"));
	ASSERT_TRUE(mtx.ok);
	ASSERT_TRUE(filtered.ok);
	EXPECT_EQ(filtered.rows, G);
	EXPECT_EQ(filtered.columns, cells.size());
	EXPECT_EQ(filtered.data, mtx.data);
	EXPECT_EQ(split_lines(read_gz(base / "t1/filtered_feature_bc_matrix/barcodes.tsv.gz")), cells);

	// Raw: every cell first (each has UMIs) with its filtered column, then every noise
	// barcode with its distinct UMIs per gene.
	Mtx raw = parse_mtx(read_gz(base / "t1/raw_feature_bc_matrix/matrix.mtx.gz"));
	std::vector<std::string> raw_bc = split_lines(read_gz(base / "t1/raw_feature_bc_matrix/barcodes.tsv.gz"));
	ASSERT_TRUE(raw.ok);
	ASSERT_EQ(raw_bc.size(), cells.size() + gen.noise.size());
	EXPECT_EQ(raw.columns, raw_bc.size());
	EXPECT_EQ(std::vector<std::string>(raw_bc.begin(), raw_bc.begin() + (long)cells.size()), cells);
	std::map<uint32_t, std::map<uint32_t, uint32_t>> by_column;
	for (const Entry &x : raw.data) by_column[x.barcode][x.gene] = x.count;
	std::map<uint32_t, std::map<uint32_t, uint32_t>> filtered_columns;
	for (const Entry &x : filtered.data) filtered_columns[x.barcode][x.gene] = x.count;
	for (uint32_t k = 1; k <= cells.size(); ++k) EXPECT_EQ(by_column[k], filtered_columns[k]) << "cell " << k;
	for (uint32_t k = (uint32_t)cells.size() + 1; k <= raw_bc.size(); ++k) {
		auto it = gen.noise.find(raw_bc[k - 1]);
		ASSERT_NE(it, gen.noise.end()) << raw_bc[k - 1];
		std::map<uint32_t, uint32_t> expected;
		for (auto &gu : it->second) expected[gu.first + 1] = (uint32_t)gu.second.size();
		EXPECT_EQ(by_column[k], expected) << raw_bc[k - 1];
	}
	// Others by ranking count: the two-UMI noise barcodes come first.
	for (size_t k = cells.size() + 1; k < raw_bc.size(); ++k) {
		size_t a = 0, b = 0;
		for (auto &gu : gen.noise[raw_bc[k - 1]]) a += gu.second.size();
		for (auto &gu : gen.noise[raw_bc[k]]) b += gu.second.size();
		EXPECT_TRUE(a > b || (a == b && pack_bases(raw_bc[k - 1].c_str(), 16) < pack_bases(raw_bc[k].c_str(), 16)))
			<< "columns " << k << " and " << k + 1;
	}
	EXPECT_EQ(first.raw_barcode_count, raw_bc.size());
	EXPECT_EQ(first.raw_records, raw.entries);
	EXPECT_EQ(first.cell_records, e);
}

// UMIs of one gene that share all but three positions: one-base neighbours and chains of
// them abound, so the collapsing depends on the visiting order of the keys.
std::vector<uint64_t> dense_keys(std::mt19937_64 &rng, int n)
{
	uint64_t base = 0;
	for (int i = 0; i < 10; ++i) base = base * 5 + rng() % 4;
	std::vector<uint64_t> keys;
	for (int i = 0; i < n; ++i) {
		uint64_t umi = base;
		for (int j = 0; j < 3; ++j) {
			int pos = (int)(rng() % 3) * 3;
			uint64_t d = (umi / POWERS_OF_5[pos]) % 5;
			umi = umi - d * POWERS_OF_5[pos] + (rng() % 4) * POWERS_OF_5[pos];
		}
		keys.push_back(umi << GENE_BITS | (uint32_t)(rng() % 2));
	}
	return keys;
}

uint32_t surviving(const UmiTable *t, uint32_t gene_count)
{
	uint32_t n = 0;
	for (uint32_t s = 0; s < t->capacity; ++s)
		if (t->keys[s] != EMPTY_KEY && (t->keys[s] & GENE_MASK) < gene_count) ++n;
	return n;
}

TEST(CanonicalUmiLayout, SameKeysGiveTheSameTableWhateverTheInsertionOrder)
{
	std::mt19937_64 rng(5);
	bool order_mattered = false;
	for (int round = 0; round < 300; ++round) {
		std::vector<uint64_t> keys = dense_keys(rng, 2 + (int)(rng() % 80));
		std::vector<uint64_t> shuffled = keys;
		std::shuffle(shuffled.begin(), shuffled.end(), rng);
		UmiTable *a = umi_table_create(), *b = umi_table_create();
		for (uint64_t k : keys) umi_table_add(a, k);
		for (uint64_t k : shuffled) umi_table_add(b, k);
		// Without the canonical layout the collapsing may keep different numbers of UMIs.
		{
			UmiTable *c = umi_table_create(), *d = umi_table_create();
			for (uint64_t k : keys) umi_table_add(c, k);
			for (uint64_t k : shuffled) umi_table_add(d, k);
			BarcodeEntry ec{0, c->count, c}, ed{0, d->count, d};
			collapse_umis(&ec, 10, 2);
			collapse_umis(&ed, 10, 2);
			order_mattered |= surviving(c, 2) != surviving(d, 2);
			umi_table_free(c);
			umi_table_free(d);
		}
		std::vector<uint64_t> scratch(a->count);
		canonical_umi_layout(a, scratch.data());
		canonical_umi_layout(b, scratch.data());
		ASSERT_EQ(a->capacity, b->capacity);
		ASSERT_EQ(a->count, b->count);
		ASSERT_TRUE(std::equal(a->keys, a->keys + a->capacity, b->keys)) << "round " << round;
		// Every key is still found, and nothing else is.
		std::set<uint64_t> distinct(keys.begin(), keys.end());
		EXPECT_EQ(a->count, distinct.size());
		for (uint64_t k : distinct) EXPECT_NE(umi_table_find(a, k), TABLE_FULL);
		BarcodeEntry ea{0, a->count, a}, eb{0, b->count, b};
		collapse_umis(&ea, 10, 2);
		collapse_umis(&eb, 10, 2);
		ASSERT_TRUE(std::equal(a->keys, a->keys + a->capacity, b->keys)) << "round " << round;
		umi_table_free(a);
		umi_table_free(b);
	}
	EXPECT_TRUE(order_mattered);  // the case the canonical layout exists for did occur
	canonical_umi_layout(nullptr, nullptr);
}

// The same reads recorded in two different orders (as worker threads would) give the same files.
TEST(OrderedMatrixPass, ReadOrderDoesNotChangeTheFiles)
{
	const uint32_t G = 4;
	Genes genes = numbered_genes((int)G);
	std::mt19937_64 rng(99);
	struct Read {
		std::string barcode;
		uint64_t key;
	};
	std::vector<Read> reads;
	for (int c = 0; c < 40; ++c) {
		std::string bc = random_seq(rng, 16);
		for (uint64_t k : dense_keys(rng, 30 + (int)(rng() % 60))) reads.push_back({bc, k});
		for (int i = 0; i < 20; ++i) reads.push_back({bc, (uint64_t)(rng() % 1000000) << GENE_BITS | 2});
	}
	TempDir base;
	for (int order = 0; order < 3; ++order) {
		if (order) std::shuffle(reads.begin(), reads.end(), rng);
		Table tab;
		for (const Read &r : reads)
			barcode_add_umi(tab.t, put_barcode(tab.t, pack_bases(r.barcode.c_str(), 16)), r.key);
		std::string dir = base / ("o" + std::to_string(order));
		ASSERT_EQ(mkdir(dir.c_str(), 0777), 0);
		MatrixRun opt = options(dir, 1 + order);
		testing::internal::CaptureStderr();
		write_matrix_outputs(&opt, tab.t, &genes.ann);
		testing::internal::GetCapturedStderr();
		if (order == 0) continue;
		for (const char *name : ALL_FILES)
			EXPECT_TRUE(same_file(dir + "/" + name, base / "o0/" + name)) << "order " << order;
	}
}

}  // namespace
