// Trimming of the template-switch oligo and of poly(A) read-through: a table of reads, and a
// sweep of random A-rich reads against a plain reference of the poly(A) rule.
#include <gtest/gtest.h>
#include <random>
#include <string>
#include "reads/reads.h"

namespace {

const std::string TSO = "AAGCAGTGGTATCAACGCAGAGTACATGGG";
// cDNA without A runs, so that only the case under test can trim at the back.
const std::string CDNA = "CTGTCTCTCAGGGTTCCATCCAGGCTTTCCAGCTTCTTTCTTTTCGACTCTCAGTGACGCTGCGTGGCCT";

std::string with_base(std::string s, size_t at, char c)
{
	return s.replace(at, 1, 1, c);
}

std::string lower(std::string s)
{
	for (char &c : s) c = (char)(c | 0x20);
	return s;
}

struct TrimCase {
	const char *what;
	std::string read;
	int front, polya;
	std::string qual = "";  // "" for none (FASTA); else as long as the read
	int quality = 0;
};

TEST(AdapterTrim, Table)
{
	const std::string A20(20, 'A'), TAIL = "GTCAGTTCAGGTACTTCGAC", F60(60, 'F');
	const TrimCase cases[] = {
		{"no artefact", CDNA, 0, 0},
		{"empty read", "", 0, 0},
		{"whole oligo", TSO + CDNA, 30, 0},
		{"whole oligo, lower case", lower(TSO) + CDNA, 30, 0},
		{"whole oligo, one mismatch", with_base(TSO, 5, 'C') + CDNA, 30, 0},
		{"whole oligo, two mismatches", with_base(with_base(TSO, 5, 'C'), 17, 'T') + CDNA, 30, 0},
		{"whole oligo, N counts as a mismatch", with_base(with_base(TSO, 5, 'N'), 17, 'T') + CDNA, 30, 0},
		{"three mismatches in every end of the oligo", with_base(with_base(with_base(TSO, 24, 'G'), 26, 'C'), 29, 'A') + CDNA, 0, 0},
		{"end of 18 bases", TSO.substr(12) + CDNA, 18, 0},
		{"end of 20 bases, two mismatches", with_base(with_base(TSO.substr(10), 0, 'T'), 9, 'T') + CDNA, 20, 0},
		{"end of 19 bases, two mismatches", with_base(with_base(TSO.substr(11), 1, 'G'), 9, 'T') + CDNA, 0, 0},
		{"end of 14 bases, one mismatch", with_base(TSO.substr(16), 3, 'C') + CDNA, 14, 0},
		{"end of 13 bases, one mismatch", with_base(TSO.substr(17), 3, 'C') + CDNA, 0, 0},
		{"end of 10 bases", TSO.substr(20) + CDNA, 10, 0},
		{"end of 9 bases is left", TSO.substr(21) + CDNA, 0, 0},
		{"oligo inside the read is left", CDNA.substr(0, 5) + TSO + CDNA, 0, 0},
		{"read is a piece of the oligo", TSO.substr(15), 15, 0},
		{"poly(A) at the end", CDNA + A20, 0, 20},
		{"poly(A) inside, with what follows", CDNA.substr(0, 50) + A20 + TAIL, 0, 40},
		{"15 A around one other base inside", CDNA + "AAAAAAACAAAAAAAA" + TAIL, 0, 36},
		{"14 A inside are left", CDNA + std::string(14, 'A') + TAIL, 0, 0},
		{"8 A at the end", CDNA + "AAAAAAAA", 0, 8},
		{"7 A at the end are left", CDNA + "AAAAAAA", 0, 0},
		{"8 A around one other base at the end", CDNA + "AAAACAAAA", 0, 9},
		{"7 A around one other base at the end are left", CDNA + "AAACAAAA", 0, 0},
		{"8 A and one base at the end are left", CDNA + "AAAAAAAAC", 0, 0},
		{"two other bases break the stretch", CDNA + "AAAGAAACAAA", 0, 0},
		{"N is another base", CDNA + "AAAANAAAA", 0, 9},
		{"lower-case poly(A)", CDNA + "aaaaaaaaaa", 0, 10},
		{"the first stretch counts", CDNA.substr(0, 30) + std::string(16, 'A') + CDNA.substr(0, 20) + A20, 0, 56},
		{"oligo and poly(A)", TSO + CDNA.substr(0, 40) + A20, 30, 20},
		{"poly(A) right after the oligo", TSO + A20 + TAIL, 30, 40},
		{"the oligo's own A's are not a tail", TSO, 30, 0},
		{"poor 3' end", CDNA, 0, 0, F60 + std::string(10, ','), 10},
		{"one poor base at the end", CDNA, 0, 0, std::string(69, 'F') + ",", 1},
		{"a poor base inside is kept", CDNA, 0, 0, F60 + "," + std::string(9, 'F'), 0},
		{"Q25 is kept", CDNA, 0, 0, F60 + std::string(10, ':'), 0},
		{"a good base among poor ones goes with them", CDNA, 0, 0, F60 + ",,,,F,,,,,", 10},
		{"poly(A) before the poor end", CDNA.substr(0, 60) + std::string(10, 'A') + TAIL.substr(0, 10), 0, 10,
		 std::string(70, 'F') + std::string(10, ','), 10},
		{"all poor", TSO + CDNA, 0, 0, std::string(100, ','), 100},
	};
	for (const TrimCase &c : cases) {
		ASSERT_TRUE(c.qual.empty() || c.qual.size() == c.read.size()) << c.what;
		ReadTrim t = trim_adapters(c.read.c_str(), c.qual.empty() ? nullptr : c.qual.c_str(), (int32_t)c.read.size());
		EXPECT_EQ(t.front, c.front) << c.what;
		EXPECT_EQ(t.polya, c.polya) << c.what;
		EXPECT_EQ(t.quality, c.quality) << c.what;
	}
}

// The poly(A) rule spelled out the slow way: the first offset at which a window starting with
// A holds at most one other base and 15 A's, or 8 when its last A is the read's last base.
int32_t reference_polya(const std::string &s, int32_t from)
{
	const int32_t n = (int32_t)s.size();
	for (int32_t p = from; p < n; ++p) {
		if (s[p] != 'A') continue;
		int32_t a = 0, other = 0;
		for (int32_t q = p; q < n; ++q) {
			if (s[q] == 'A') {
				++a;
				if (a >= 15 || (a >= 8 && q == n - 1)) return p;
			} else if (++other > 1) {
				break;
			}
		}
	}
	return n;
}

TEST(AdapterTrim, PolyASweepMatchesReference)
{
	std::mt19937 rng(7);
	int trimmed = 0;
	for (int i = 0; i < 5000; ++i) {
		std::string s(1 + rng() % 90, 'A');
		const unsigned a_share = 50 + rng() % 45;  // percent of A
		for (char &c : s) c = rng() % 100 < a_share ? 'A' : "CGTN"[rng() % 4];
		const int32_t from = (int32_t)(rng() % 3 == 0 ? TSO.size() : 0);
		if (from) s = TSO + s;
		ReadTrim t = trim_adapters(s.c_str(), nullptr, (int32_t)s.size());
		ASSERT_EQ(t.front, from) << s;
		ASSERT_EQ(t.polya, (int32_t)s.size() - reference_polya(s, from)) << s;
		ASSERT_EQ(t.quality, 0);
		trimmed += t.polya > 0;
	}
	EXPECT_GT(trimmed, 1000);
	EXPECT_LT(trimmed, 4900);
}

}  // namespace
