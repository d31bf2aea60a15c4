// UMI tables of few keys: a barcode's first table is small, a repeated key never makes a
// table grow, and neither changes a byte of the matrix files.
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <vector>
#include "tenx_test_util.h"

namespace {

using namespace tenx_test;

uint64_t key_of(uint64_t umi, uint32_t gene)
{
	return (umi << GENE_BITS) | gene;
}

TEST(SmallUmiTables, RepeatedKeyDoesNotGrowAFullTable)
{
	UmiTable *t = umi_table_create();
	for (uint64_t u = 0; u < 12; ++u) umi_table_add(t, key_of(u * 977, 1));
	ASSERT_EQ(t->count, 12u);
	ASSERT_EQ(t->capacity, 16u);
	umi_table_add(t, key_of(5 * 977, 1));  // held already
	EXPECT_EQ(t->capacity, 16u);
	EXPECT_EQ(t->count, 12u);
	umi_table_add(t, key_of(12 * 977, 1));  // new: the table grows for it
	EXPECT_EQ(t->capacity, 32u);
	EXPECT_EQ(t->count, 13u);
	for (uint64_t u = 0; u <= 12; ++u) EXPECT_NE(umi_table_find(t, key_of(u * 977, 1)), TABLE_FULL);
	umi_table_free(t);
}

TEST(SmallUmiTables, BarcodeOfOneReadHoldsASmallTable)
{
	Table tab;
	add(tab.t, "ACGTACGTACGTACGT", "ACGTACGTAC", 0);
	const UmiTable *umis = tab.t->slots[barcode_table_find(tab.t, pack_bases("ACGTACGTACGTACGT", 16))].umis;
	ASSERT_NE(umis, nullptr);
	EXPECT_LT(umis->capacity, 16u);
	EXPECT_EQ(umis->count, 1u);
}

// Every matrix file of a table, one after the other.
std::string all_outputs(BarcodeTable *t, const std::string &dir)
{
	Genes genes = numbered_genes(5);
	MatrixRun opt = options(dir, 2);
	testing::internal::CaptureStderr();
	write_matrix_outputs(&opt, t, &genes.ann);
	testing::internal::GetCapturedStderr();
	std::vector<std::string> files;
	list_files(dir, "", &files);
	std::string all;
	for (const std::string &f : files) all += f + "\n" + read_file(dir + "/" + f);
	return all;
}

// The same reads through the barcode table, and into UMI tables made at 16 slots that grow
// for repeated keys too, as every table once did.
TEST(SmallUmiTables, MatrixFilesAreTheSameAsWithTablesOfSixteen)
{
	std::mt19937_64 rng(21);
	auto seq = [&](int n) {
		std::string s((size_t)n, 'A');
		for (char &c : s) c = "ACGTN"[rng() % 41 == 0 ? 4 : rng() % 4];
		return s;
	};
	Table small, sixteen;
	std::vector<std::string> cells;
	for (int c = 0; c < 40; ++c) cells.push_back(seq(16));
	for (int r = 0; r < 6000; ++r) {
		// Cells with many UMIs (some one base apart), and noise barcodes of one or two reads.
		const std::string bc = r % 3 ? cells[rng() % cells.size()] : seq(16);
		std::string umi = r % 5 ? seq(10) : std::string("ACGTACGTA") + "ACGT"[rng() % 4];
		const uint32_t gene = (uint32_t)(rng() % 5);
		add(small.t, bc, umi, gene);
		add(small.t, bc, umi, gene);  // the same key again
		const uint32_t slot = put_barcode(sixteen.t, pack_bases(bc.c_str(), 16));
		BarcodeSlot *s = &sixteen.t->slots[slot];
		if (!s->umis) s->umis = umi_table_create();  // 16 slots
		const uint64_t key = (pack_bases(umi.c_str(), 10) << GENE_BITS) | gene;
		for (int twice = 0; twice < 2; ++twice) {  // growing for a repeated key too
			while (umi_table_insert(s->umis, key) == TABLE_FULL) umi_table_grow(s->umis);
			++s->umis->reads;
		}
	}
	TempDir a, b;
	const std::string expected = all_outputs(sixteen.t, b.path);
	EXPECT_NE(expected.find("matrix.mtx\n"), std::string::npos);
	EXPECT_TRUE(all_outputs(small.t, a.path) == expected);
}

}  // namespace
