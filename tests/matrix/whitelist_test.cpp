// The barcode whitelist: loading (plain, gzip, errors naming the file and line), the
// correction of read barcodes on a table of cases and against a brute-force scan of a random
// list, and the UMI filters.
#include <gtest/gtest.h>
#include <zlib.h>
#include <algorithm>
#include <cmath>
#include <set>
#include <random>
#include <string>
#include <vector>
#include "../common/run_binary.h"
#include "matrix/counting.h"

namespace {

// A list of the given barcodes with their exact-match counts.
Whitelist make_list(const std::vector<std::pair<std::string, uint32_t>> &barcodes)
{
	Whitelist list;
	list.length = (int)barcodes[0].first.size();
	for (const auto &b : barcodes) list.codes.push_back(pack_bases(b.first.c_str(), list.length));
	index_whitelist(&list);
	for (const auto &b : barcodes)
		list.exact[(size_t)whitelist_find(&list, pack_bases(b.first.c_str(), list.length))] = b.second;
	return list;
}

std::string letters(uint64_t code, int len)
{
	std::string s(len + 1, 0);
	unpack_bases(code, len, &s[0]);
	s.resize(len);
	return s;
}

// Phred +33 of every base: `q` everywhere but `low` at position `at`.
std::string quals(int len, int q, int at = -1, int low = 0)
{
	std::string s(len, (char)(33 + q));
	if (at >= 0) s[at] = (char)(33 + low);
	return s;
}

struct CorrectionCase {
	const char *what;
	std::string bases, qual;
	BarcodeMatch match;
	const char *barcode;  // the corrected (or listed) barcode, or null
};

TEST(Whitelist, CorrectionTable)
{
	// Candidates of AAAAAAAC: AAAAAAAA (one base away at the last position) and AAAAAAAG, and
	// AAAACAAC (one away at position 4); CCCCCCCC stands alone.
	const Whitelist list = make_list({{"AAAAAAAA", 100}, {"AAAAAAAG", 1}, {"CCCCCCCC", 0}, {"GGGGTTTT", 5},
	                                  {"AAAACAAC", 100}, {"TTTTTTTA", 40}, {"TTTTTTTC", 0}});
	const CorrectionCase cases[] = {
		{"on the list", "GGGGTTTT", quals(8, 30), BARCODE_ON_LIST, "GGGGTTTT"},
		{"one candidate, no prior", "CCCCCCCA", quals(8, 30), BARCODE_CORRECTED, "CCCCCCCC"},
		{"an N as the mismatch", "CCCNCCCC", quals(8, 30, 3, 2), BARCODE_CORRECTED, "CCCCCCCC"},
		{"two mismatches", "CCCCCCAA", quals(8, 30), BARCODE_INVALID, nullptr},
		{"two Ns", "CCNNCCCC", quals(8, 30), BARCODE_INVALID, nullptr},
		{"nothing near", "GTGTGTGT", quals(8, 30), BARCODE_INVALID, nullptr},
		// AAAAAAAC: 101 x e(Q last) for AAAAAAAA, 2 x e(Q last) for AAAAAAAG, 101 x e(Q4)
		// for AAAACAAC: the quality of position 4 against the last one decides.
		{"split by quality: last base poor", "AAAAAAAC", quals(8, 30, 7, 2), BARCODE_CORRECTED, "AAAAAAAA"},
		{"split by quality: position 4 poor", "AAAAAAAC", quals(8, 30, 4, 2), BARCODE_CORRECTED, "AAAACAAC"},
		{"equal qualities, equal priors", "AAAAAAAC", quals(8, 30), BARCODE_INVALID, nullptr},
		// TTTTTTTG: 41 x e against 1 x e, posterior 41/42 = 0.976: accepted.
		{"posterior just over 0.975", "TTTTTTTG", quals(8, 30), BARCODE_CORRECTED, "TTTTTTTA"},
	};
	for (const CorrectionCase &c : cases) {
		uint64_t code = 0;
		const BarcodeMatch m = match_barcode(&list, c.bases.c_str(), c.qual.c_str(), &code);
		EXPECT_EQ(m, c.match) << c.what;
		if (c.barcode && m == c.match) {
			EXPECT_EQ(letters(code, 8), c.barcode) << c.what;
		}
	}
	// Just under: 38 x e against 1 x e, posterior 38/39 = 0.974.
	Whitelist under = make_list({{"TTTTTTTA", 37}, {"TTTTTTTC", 0}});
	uint64_t code;
	EXPECT_EQ(match_barcode(&under, "TTTTTTTG", quals(8, 30).c_str(), &code), BARCODE_INVALID) << "38/39 < 0.975";
	// Without qualities every base weighs the same.
	EXPECT_EQ(match_barcode(&list, "CCCCCCCA", nullptr, &code), BARCODE_CORRECTED);
}

// A brute-force reference: every list barcode at Hamming distance 1 (an N mismatches every
// base), weighted by its prior and the error probability of the base where it differs.
BarcodeMatch reference_match(const std::vector<std::string> &list, const std::vector<uint32_t> &exact,
                             const std::string &bases, const std::string &qual, std::string *out)
{
	for (const std::string &b : list)
		if (b == bases) {
			*out = b;
			return BARCODE_ON_LIST;
		}
	double total = 0, best = 0;
	for (size_t k = 0; k < list.size(); ++k) {
		int diff = 0, at = -1;
		for (size_t i = 0; i < bases.size(); ++i)
			if (list[k][i] != bases[i]) ++diff, at = (int)i;
		if (diff != 1) continue;
		const double w = (exact[k] + 1.0) * std::pow(10.0, -(qual[(size_t)at] - 33) / 10.0);
		total += w;
		if (w > best) best = w, *out = list[k];
	}
	return total > 0 && best >= 0.975 * total ? BARCODE_CORRECTED : BARCODE_INVALID;
}

TEST(Whitelist, MatchesABruteForceScan)
{
	std::mt19937_64 rng(17);
	const int len = 6;  // short barcodes: many with several candidates
	for (int round = 0; round < 20; ++round) {
		std::vector<std::pair<std::string, uint32_t>> entries;
		std::set<std::string> seen;
		while (entries.size() < 300) {
			std::string b;
			for (int i = 0; i < len; ++i) b += "ACGT"[rng() % 4];
			if (seen.insert(b).second) entries.push_back({b, (uint32_t)(rng() % 3 ? rng() % 50 : 0)});
		}
		const Whitelist list = make_list(entries);
		std::vector<std::string> names;
		std::vector<uint32_t> exact;
		for (size_t k = 0; k < list.codes.size(); ++k) {
			names.push_back(letters(list.codes[k], len));
			exact.push_back(list.exact[k]);
		}
		for (int r = 0; r < 500; ++r) {
			std::string bases = names[rng() % names.size()], qual;
			for (int e = (int)(rng() % 3); e > 0; --e) bases[rng() % len] = "ACGTN"[rng() % 5];
			for (int i = 0; i < len; ++i) qual += (char)(33 + 2 + rng() % 39);
			std::string want;
			const BarcodeMatch expected = reference_match(names, exact, bases, qual, &want);
			uint64_t code = 0;
			const BarcodeMatch got = match_barcode(&list, bases.c_str(), qual.c_str(), &code);
			ASSERT_EQ(got, expected) << bases << " " << qual << ", round " << round;
			if (got != BARCODE_INVALID) {
				ASSERT_EQ(letters(code, len), want) << bases << " " << qual;
			}
		}
	}
}

TEST(Whitelist, LoadsPlainAndGzipLists)
{
	TempDir dir;
	write_file(dir / "list.txt", "TTTT\nACGT\r\nACGT\nGGCC\n");
	gzFile gz = gzopen((dir / "list.txt.gz").c_str(), "wb");
	gzputs(gz, "TTTT\nACGT\nGGCC");  // no line feed at the end
	gzclose(gz);
	for (const char *name : {"list.txt", "list.txt.gz"}) {
		Whitelist list;
		load_whitelist((dir / name).c_str(), 4, &list);
		ASSERT_EQ(list.codes.size(), 3u) << name << ": distinct barcodes";
		EXPECT_TRUE(std::is_sorted(list.codes.begin(), list.codes.end()));
		EXPECT_GE(whitelist_find(&list, pack_bases("GGCC", 4)), 0);
		EXPECT_EQ(whitelist_find(&list, pack_bases("GGCA", 4)), -1);
		EXPECT_EQ(list.exact, std::vector<uint32_t>(3, 0));
	}
}

TEST(WhitelistDeathTest, BadListsNameTheFileAndLine)
{
	TempDir dir;
	write_file(dir / "short.txt", "ACGT\nACG\n");
	write_file(dir / "letter.txt", "ACGT\nACNT\n");
	write_file(dir / "empty.txt", "");
	Whitelist list;
	EXPECT_EXIT(load_whitelist((dir / "short.txt").c_str(), 4, &list), testing::ExitedWithCode(1),
	            "^\\[ERROR\\] Barcode list \\[.*/short.txt\\] line 2 is not a barcode of 4 bases");
	EXPECT_EXIT(load_whitelist((dir / "letter.txt").c_str(), 4, &list), testing::ExitedWithCode(1),
	            "^\\[ERROR\\] Barcode list \\[.*/letter.txt\\] line 2 is not a barcode of 4 bases");
	EXPECT_EXIT(load_whitelist((dir / "empty.txt").c_str(), 4, &list), testing::ExitedWithCode(1),
	            "^\\[ERROR\\] Barcode list \\[.*/empty.txt\\] holds no barcode");
	EXPECT_EXIT(load_whitelist((dir / "absent.txt").c_str(), 4, &list), testing::ExitedWithCode(1),
	            "^\\[ERROR\\] Unable to open file \\[.*/absent.txt\\] to read");
}

TEST(Whitelist, UmiFilters)
{
	const struct {
		const char *bases;
		std::string qual;
		bool passes;
	} cases[] = {
		{"ACGTACGTAC", quals(10, 30), true},
		{"ACGTNCGTAC", quals(10, 30), false},      // an N
		{"AAAAAAAAAA", quals(10, 30), false},      // one repeated base
		{"AAAAAAAAAC", quals(10, 30), true},
		{"ACGTACGTAC", quals(10, 30, 9, 9), false},  // a base below Q10
		{"ACGTACGTAC", quals(10, 30, 9, 10), true},
	};
	for (const auto &c : cases) EXPECT_EQ(umi_passes(c.bases, c.qual.c_str(), 10), c.passes) << c.bases << " " << c.qual;
	EXPECT_TRUE(umi_passes("ACGTACGTAC", nullptr, 10)) << "no qualities: no quality filter";
}

}  // namespace
