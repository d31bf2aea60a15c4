// Barcodes of equal UMI counts are ranked by their place in the barcode table. With several
// workers the barcodes arrive in an order that depends on thread timing, which moves
// colliding barcodes to other slots (and the table grows at other moments); the matrix files
// must not depend on it. A table that never grew keeps the ranking of its slot order.
#include <gtest/gtest.h>
#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>
#include "tenx_test_util.h"

namespace {

using namespace tenx_test;

std::string random_barcode(std::mt19937_64 &rng)
{
	std::string s(16, 'A');
	for (char &c : s) c = "ACGT"[rng() % 4];
	return s;
}

// `pairs` pairs of barcodes that share their home slot in a table of 2^bits slots.
std::vector<std::string> colliding_pairs(int pairs, int bits, uint32_t seed)
{
	std::mt19937_64 rng(seed);
	std::map<uint32_t, std::string> seen;
	std::vector<std::string> out;
	while ((int)out.size() < 2 * pairs) {
		std::string bc = random_barcode(rng);
		uint32_t home = barcode_home_slot(pack_bases(bc.c_str(), 16), 1u << bits);
		auto it = seen.find(home);
		if (it == seen.end()) {
			seen[home] = bc;
		} else if (it->second != bc) {
			out.push_back(it->second);
			out.push_back(bc);
			seen.erase(it);
		}
	}
	return out;
}

std::string umi_of(int i)
{
	std::string u(10, 'A');
	for (int j = 0; j < 10; ++j, i /= 4) u[9 - j] = "ACGT"[i % 4];
	return u;
}

struct Read {
	std::string barcode;
	std::string umi;
};

// A top cell of 100 UMIs; six colliding barcodes of 20 UMIs each (tied, all cells unless
// cut); and two one-base neighbours of 20 UMIs each, tied with them, where the error cut
// stops. UMIs are spaced two bases apart so that none is collapsed.
std::vector<Read> tied_reads()
{
	std::vector<Read> reads;
	auto put = [&](const std::string &bc, int n) {
		for (int i = 0; i < n; ++i) reads.push_back({bc, umi_of(i * 17)});
	};
	put("GATTACAGATTACAGA", 100);
	std::vector<std::string> tied = colliding_pairs(3, 17, 5);
	std::string e = tied[0];
	e[15] = e[15] == 'A' ? 'C' : 'A';
	tied.push_back(e);
	for (const std::string &bc : tied) put(bc, 20);
	return reads;
}

// Every output file of the count result for the reads in this order, one after the other.
std::string run_outputs(const std::vector<Read> &reads)
{
	TempDir dir;
	Table tab;
	for (const Read &r : reads) add(tab.t, r.barcode, r.umi, 0);
	Genes genes = numbered_genes(2);
	MatrixRun opt = options(dir.path, 1);
	testing::internal::CaptureStderr();
	write_matrix_outputs(&opt, tab.t, &genes.ann);
	testing::internal::GetCapturedStderr();
	std::vector<std::string> files;
	list_files(dir.path, "", &files);
	std::string all;
	for (const std::string &f : files) all += f + "\n" + read_file(dir / f);
	return all;
}

TEST(TieOrder, TiedBarcodesDoNotDependOnArrivalOrder)
{
	const std::vector<Read> reads = tied_reads();
	// Other arrival orders of the same reads, as other thread counts may give.
	std::vector<Read> reversed(reads.rbegin(), reads.rend());
	std::vector<Read> shuffled = reads;
	std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937_64(3));
	const std::string first = run_outputs(reads);
	EXPECT_NE(first.find("barcodes.tsv\nGATTACAGATTACAGA\n"), std::string::npos);
	EXPECT_TRUE(run_outputs(reversed) == first);
	EXPECT_TRUE(run_outputs(shuffled) == first);
}

// Without a collision the table never grows: barcodes.tsv lists the cells in the order of
// the ranking of the table as it was filled.
TEST(TieOrder, TableThatNeverGrewKeepsItsSlotOrder)
{
	std::mt19937_64 rng(8);
	std::vector<Read> reads;
	for (int b = 0; b < 150; ++b) {
		const std::string bc = random_barcode(rng);
		for (int i = 0; i < 5 + b % 3; ++i) reads.push_back({bc, umi_of(i * 17)});
	}
	Table ref;
	for (const Read &r : reads) add(ref.t, r.barcode, r.umi, 0);
	ASSERT_EQ(ref.t->capacity, 65536u);  // no two barcodes shared a home slot
	BarcodeList list;
	select_cell_barcodes(ref.t, &list, 16);
	std::string expected;
	char letters[MAX_CODE_LEN + 2];
	for (uint32_t i = 0; i < list.cell_count; ++i) {
		unpack_bases(list.entries[i].code, 16, letters);
		expected += std::string(letters) + "\n";
	}
	release_barcode_list(&list);
	EXPECT_EQ(split_lines(expected).size(), 150u);
	std::vector<Read> shuffled = reads;
	std::shuffle(shuffled.begin(), shuffled.end(), rng);
	EXPECT_NE(run_outputs(shuffled).find("barcodes.tsv\n" + expected), std::string::npos);
}

}  // namespace
