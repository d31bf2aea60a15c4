// Transcript k-mer hash against a std::map reference, the .hash file layout, loading
// and the loader's refusals. Every built hash costs 512 MiB: four builds in this file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>
#include "index/index.h"

namespace {

const uint64_t EMPTY_HASH_FILE_SIZE = 536870928ULL;

// A fresh directory under /tmp, removed with its contents at scope exit.
struct TempDir {
	std::string path;
	TempDir()
	{
		char tmpl[] = "/tmp/vorat_hash_XXXXXX";
		char *dir = mkdtemp(tmpl);
		EXPECT_NE(dir, nullptr);
		path = dir ? dir : "/tmp";
	}
	~TempDir()
	{
		if (path != "/tmp") std::filesystem::remove_all(path);
	}
};

uint64_t file_size(const std::string &path)
{
	struct stat st;
	if (stat(path.c_str(), &st) != 0) return 0;
	return (uint64_t)st.st_size;
}

// A hand-made transcriptome: just the four fields the hash reads.
struct Transcriptome {
	std::vector<std::string> tx;
	std::string seq;
	std::vector<uint32_t> length, offset;
	AnnotationInfo ann;

	explicit Transcriptome(const std::vector<std::string> &transcripts) : tx(transcripts)
	{
		for (const std::string &t : tx) {
			offset.push_back((uint32_t)seq.size());
			length.push_back((uint32_t)t.size());
			seq += t;
		}
		offset.push_back((uint32_t)seq.size());
		memset(&ann, 0, sizeof ann);
		ann.tx_count = (uint32_t)tx.size();
		ann.tx_length = length.data();
		ann.tx_offset = offset.data();
		ann.tx_seq = &seq[0];
	}
};

// Reference: every window of k ACGT bases (either case) inside one transcript.
std::map<uint64_t, std::vector<uint32_t>> reference_kmers(const Transcriptome &tr, uint32_t k)
{
	std::map<uint64_t, std::vector<uint32_t>> ref;
	for (size_t t = 0; t < tr.tx.size(); ++t) {
		const std::string &s = tr.tx[t];
		for (size_t i = 0; i + k <= s.size(); ++i) {
			uint64_t code = 0;
			bool ok = true;
			for (size_t j = 0; j < k && ok; ++j) {
				switch (s[i + j]) {
				case 'A': case 'a': code = code * 4 + 0; break;
				case 'C': case 'c': code = code * 4 + 1; break;
				case 'G': case 'g': code = code * 4 + 2; break;
				case 'T': case 't': code = code * 4 + 3; break;
				default: ok = false;
				}
			}
			if (ok) ref[code].push_back(tr.offset[t] + (uint32_t)i);
		}
	}
	return ref;
}

uint64_t random_code(std::mt19937_64 &rng, uint32_t k)
{
	return rng() & ((1ULL << (2 * k)) - 1);
}

// The whole hash against the reference: counts, file order of the distinct k-mers, bucket
// bounds, and a lookup of every k-mer plus absent ones.
void check_hash(const KmerHash *h, const std::map<uint64_t, std::vector<uint32_t>> &ref, uint32_t k)
{
	const uint32_t mask = (1u << HASH_BITS) - 1;
	ASSERT_EQ(h->hash_bits, (uint32_t)HASH_BITS);
	ASSERT_EQ(h->hash_mask, mask);
	ASSERT_EQ(h->kmer_size, k);
	uint64_t P = 0;
	for (const auto &e : ref) P += e.second.size();
	ASSERT_EQ(h->n_kmers, ref.size());
	ASSERT_EQ(h->n_positions, P);

	// Distinct k-mers in file order: by bucket, then key.
	std::vector<std::pair<uint64_t, uint64_t>> order;  // (bucket, key)
	for (const auto &e : ref) order.push_back({e.first & mask, e.first >> HASH_BITS});
	std::sort(order.begin(), order.end());
	size_t j = 0;
	uint64_t wrong_buckets = 0, first_wrong = 0;
	for (uint64_t b = 0; b <= mask; ++b) {
		if (h->bucket_starts[b] != j && wrong_buckets++ == 0) first_wrong = b;
		while (j < order.size() && order[j].first == b) ++j;
	}
	ASSERT_EQ(wrong_buckets, 0u) << "first wrong bucket " << first_wrong;
	ASSERT_EQ(h->bucket_starts[(size_t)mask + 1], ref.size());
	uint32_t expected_start = 0;
	for (size_t d = 0; d < order.size(); ++d) {
		ASSERT_EQ(h->kmer_keys[d], order[d].second) << "entry " << d;
		ASSERT_EQ(h->kmer_starts[d], expected_start) << "entry " << d;
		uint64_t code = order[d].second << HASH_BITS | order[d].first;
		const std::vector<uint32_t> &pos = ref.at(code);
		for (size_t i = 0; i < pos.size(); ++i) ASSERT_EQ(h->kmer_positions[expected_start + i], pos[i]);
		expected_start += (uint32_t)pos.size();
	}
	ASSERT_EQ(h->kmer_starts[ref.size()], P);

	for (const auto &e : ref) {
		const uint32_t *positions = nullptr;
		uint32_t n = kmer_lookup(h, e.first, &positions);
		ASSERT_EQ(n, e.second.size()) << "code " << e.first;
		ASSERT_EQ(std::vector<uint32_t>(positions, positions + n), e.second) << "code " << e.first;
	}
	std::mt19937_64 rng(99);
	for (int i = 0; i < 20000; ++i) {
		uint64_t code = random_code(rng, k);
		// Also codes that share a bucket with a present k-mer but differ in the key.
		if ((i & 1) && !ref.empty()) {
			auto it = ref.lower_bound(code);
			if (it == ref.end()) it = ref.begin();
			if (2 * k > HASH_BITS)
				code = (it->first & mask) | ((rng() & ((1ULL << (2 * k - HASH_BITS)) - 1)) << HASH_BITS);
			else
				code = it->first ^ 1;
		}
		const uint32_t *positions = nullptr;
		auto it = ref.find(code);
		uint32_t n = kmer_lookup(h, code, &positions);
		ASSERT_EQ(n, it == ref.end() ? 0u : it->second.size()) << "code " << code;
	}
}

std::string read_prefix(const std::string &path, size_t bytes)
{
	std::string out(bytes, '\0');
	FILE *fp = fopen(path.c_str(), "rb");
	if (!fp) return std::string();
	size_t got = fread(&out[0], 1, bytes, fp);
	fclose(fp);
	out.resize(got);
	return out;
}

void write_bytes(const std::string &path, const std::string &bytes)
{
	FILE *fp = fopen(path.c_str(), "wb");
	ASSERT_NE(fp, nullptr);
	ASSERT_EQ(fwrite(bytes.data(), 1, bytes.size(), fp), bytes.size());
	fclose(fp);
}

std::string u32_bytes(std::initializer_list<uint32_t> values)
{
	std::string out;
	for (uint32_t v : values) out.append((const char *)&v, 4);
	return out;
}

// Random transcripts with shared segments, N bases, lower case, transcripts shorter than,
// equal to and a little longer than k, empty ones, poly-A runs, and a crowd of k-mers that
// share one bucket with different keys.
std::vector<std::string> random_transcripts(uint32_t k)
{
	std::mt19937 rng(2024);
	static const char letters[] = "ACGT";
	auto random_bases = [&](size_t n) {
		std::string s(n, 'A');
		for (char &ch : s) ch = letters[rng() & 3];
		return s;
	};
	std::string pool = random_bases(3000);
	std::vector<std::string> tx;
	for (int i = 0; i < 400; ++i) {
		size_t len = rng() % 220;
		if (i % 37 == 0) len = k;
		if (i % 41 == 0) len = k - 1;
		if (i % 43 == 0) len = 0;
		std::string s;
		if (rng() & 1) s = pool.substr(rng() % (pool.size() - len), len);
		else s = random_bases(len);
		for (char &ch : s) {
			if (rng() % 50 == 0) ch = 'N';
			else if (rng() % 97 == 0) ch = "RYKMSW"[rng() % 6];
		}
		if (i % 5 == 0)
			for (char &ch : s) ch = (char)tolower(ch);
		tx.push_back(s);
	}
	// Same bucket (low 27 bits = the last 13.5 bases), different keys; some duplicated.
	const std::string tail = "ACGTTGCAACGTTG";
	for (int i = 0; i < 90; ++i) {
		std::string s = random_bases(k - tail.size()) + tail;
		tx.push_back(s);
		if (i % 10 == 0) tx.push_back(s);
	}
	tx.push_back(std::string(500, 'A'));
	tx.push_back("CC" + std::string(100, 'a') + "N" + std::string(60, 'A'));
	return tx;
}

TEST(KmerHash, MatchesReferenceAndRoundTrips)
{
	const uint32_t k = 29;
	Transcriptome tr(random_transcripts(k));
	auto ref = reference_kmers(tr, k);
	KmerHash h;
	testing::internal::CaptureStderr();
	build_kmer_hash(&tr.ann, k, &h);
	std::string err = testing::internal::GetCapturedStderr();
	uint64_t P = 0;
	for (const auto &e : ref) P += e.second.size();
	EXPECT_EQ(err, "[INFO] Number of kmer: " + std::to_string(ref.size()) +
	                   "\n[INFO] Number of hashing position: " + std::to_string(P) + "\n");
	check_hash(&h, ref, k);
	EXPECT_GT(ref.size(), 5000u);
	EXPECT_EQ(ref.at(0).size(), 472u + 72u + 32u);  // poly-A runs, lower case included

	TempDir tmp;
	const std::string &dir = tmp.path;
	std::string path = dir + "/t.hash";
	write_kmer_hash(path.c_str(), k, &h);
	const uint64_t D = ref.size();
	ASSERT_EQ(file_size(path), EMPTY_HASH_FILE_SIZE + 8 * D + 4 * P);

	// Header and the item after the bucket table, read straight from the file.
	std::string head = read_prefix(path, 8);
	EXPECT_EQ(head, u32_bytes({29, 27}));
	FILE *fp = fopen(path.c_str(), "rb");
	ASSERT_NE(fp, nullptr);
	std::vector<uint32_t> tail_items(2 * D + 1 + P);
	ASSERT_EQ(fseek(fp, 8 + 4 * ((1L << 27) + 1), SEEK_SET), 0);
	ASSERT_EQ(fread(tail_items.data(), 4, tail_items.size(), fp), tail_items.size());
	fclose(fp);
	EXPECT_EQ(0, memcmp(tail_items.data(), h.kmer_keys, 4 * D));
	EXPECT_EQ(0, memcmp(tail_items.data() + D, h.kmer_starts, 4 * D));
	EXPECT_EQ(tail_items[2 * D], P);  // item 6 right after the starts
	EXPECT_EQ(0, memcmp(tail_items.data() + 2 * D + 1, h.kmer_positions, 4 * P));

	// Mapped (lookups through the slot table), then read into memory (through the buckets).
	for (bool map_file : {true, false}) {
		KmerHash loaded;
		load_kmer_hash(path.c_str(), &loaded, map_file);
		EXPECT_EQ(loaded.mapping != nullptr, map_file);
		EXPECT_EQ(loaded.slots != nullptr, map_file);
		EXPECT_EQ(0, memcmp(loaded.bucket_starts, h.bucket_starts, 4 * ((1ULL << 27) + 1)));
		check_hash(&loaded, ref, k);
		release_kmer_hash(&loaded);
	}
	// A bucket start or a k-mer start above the next one: lookups would leave the arrays.
	const uint64_t keys_at = 8 + 4 * ((1ULL << 27) + 1);
	uint64_t middle = 1ULL << 26;
	while (h.bucket_starts[middle] == h.bucket_starts[middle + 1]) ++middle;
	const struct {
		uint64_t at;
		uint32_t value;
	} damages[] = {{8 + 4 * middle, h.bucket_starts[middle + 1] + 1}, {keys_at + 4 * D + 4 * (D / 2), (uint32_t)P}};
	for (const auto &d : damages) {
		FILE *w = fopen(path.c_str(), "r+b");
		ASSERT_NE(w, nullptr);
		uint32_t old = 0;
		ASSERT_EQ(fseek(w, (long)d.at, SEEK_SET), 0);
		ASSERT_EQ(fread(&old, 4, 1, w), 1u);
		ASSERT_EQ(fseek(w, (long)d.at, SEEK_SET), 0);
		ASSERT_EQ(fwrite(&d.value, 4, 1, w), 1u);
		ASSERT_EQ(fclose(w), 0);
		for (bool map_file : {true, false}) {
			KmerHash loaded;
			EXPECT_EXIT(load_kmer_hash(path.c_str(), &loaded, map_file), ::testing::ExitedWithCode(1),
			            "\\[ERROR\\] fread, wrong file or file is corrupted") << d.at << (map_file ? " mapped" : " read");
		}
		w = fopen(path.c_str(), "r+b");
		ASSERT_NE(w, nullptr);
		ASSERT_EQ(fseek(w, (long)d.at, SEEK_SET), 0);
		ASSERT_EQ(fwrite(&old, 4, 1, w), 1u);
		ASSERT_EQ(fclose(w), 0);
	}
	release_kmer_hash(&h);

	// The same file cut short, in the positions and in the keys.
	KmerHash loaded;
	ASSERT_EQ(truncate(path.c_str(), (off_t)(EMPTY_HASH_FILE_SIZE + 8 * D + 4 * P - 1)), 0);
	EXPECT_EXIT(load_kmer_hash(path.c_str(), &loaded), ::testing::ExitedWithCode(1),
	            "\\[ERROR\\] fread, wrong file or file is corrupted");
	ASSERT_EQ(truncate(path.c_str(), (off_t)(EMPTY_HASH_FILE_SIZE - 4 + 4 * D)), 0);
	EXPECT_EXIT(load_kmer_hash(path.c_str(), &loaded), ::testing::ExitedWithCode(1),
	            "\\[ERROR\\] fread, wrong file or file is corrupted");
	unlink(path.c_str());
}

// The slot table of a mapped hash holds each k-mer once, whatever the empty buckets around it:
// k-mers in the first and last buckets of the table and of a file chunk (2^18 buckets), the
// last buckets of a chunk empty, and a first key larger than D (the item after the bucket
// table, which a walk past the last bucket would take for a bucket start).
TEST(KmerHash, SlotTableAtBucketBoundaries)
{
	const uint64_t n_buckets = 1ULL << HASH_BITS, chunk = 1ULL << 18;
	const uint64_t buckets[] = {0, chunk - 9, chunk, 2 * chunk - 1, n_buckets - 9, n_buckets - 1};
	const uint32_t D = sizeof buckets / sizeof *buckets;
	std::vector<uint32_t> bucket_starts(n_buckets + 1, 0), keys(D), starts(D + 1), positions(D);
	for (uint32_t e = 0; e < D; ++e) {
		for (uint64_t b = buckets[e] + 1; b <= n_buckets; ++b) ++bucket_starts[b];
		keys[e] = 1000 + e;  // every key above D
		starts[e] = e;
		positions[e] = 10 * e;
	}
	starts[D] = D;
	KmerHash h{};
	h.bucket_starts = bucket_starts.data();
	h.kmer_keys = keys.data();
	h.kmer_starts = starts.data();
	h.kmer_positions = positions.data();
	h.hash_bits = HASH_BITS;
	h.hash_mask = (uint32_t)(n_buckets - 1);
	h.kmer_size = 29;
	h.n_kmers = D;
	h.n_positions = D;
	// Built in memory, and loaded from a mapped file (a chunk of buckets at a time).
	TempDir tmp;
	const std::string path = tmp.path + "/edges.hash";
	write_kmer_hash(path.c_str(), 29, &h);
	std::vector<uint32_t>().swap(bucket_starts);
	KmerHash loaded;
	load_kmer_hash(path.c_str(), &loaded, true);
	ASSERT_NE(loaded.slots, nullptr);
	uint64_t used = 0;
	for (uint64_t s = 0; s <= loaded.slot_mask; ++s) used += loaded.slots[s].key != 0;
	EXPECT_EQ(used, D) << "slots in use";
	for (uint32_t e = 0; e < D; ++e) {
		const KmerSlot *slot = kmer_slot(&loaded, (uint64_t)keys[e] << HASH_BITS | buckets[e]);
		ASSERT_NE(slot, nullptr) << "bucket " << buckets[e];
		EXPECT_EQ(slot->start, e);
		EXPECT_EQ(slot->count, 1u);
	}
	release_kmer_hash(&loaded);
	unlink(path.c_str());
}

TEST(KmerHash, ShortKExampleLowerCaseAndSharedKmers)
{
	const uint32_t k = 3;
	// ACGTNACGT at offset 0; "acg" (exactly k) at 9; "AC" (shorter than k) at 12; TTACGT at 14.
	Transcriptome tr({"ACGTNACGT", "acg", "AC", "TTACGT", ""});
	auto ref = reference_kmers(tr, k);
	KmerHash h;
	testing::internal::CaptureStderr();
	build_kmer_hash(&tr.ann, k, &h);
	std::string err = testing::internal::GetCapturedStderr();
	EXPECT_EQ(err, "[INFO] Number of kmer: 4\n[INFO] Number of hashing position: 9\n");
	check_hash(&h, ref, k);

	const uint64_t ACG = 0 * 16 + 1 * 4 + 2, CGT = 1 * 16 + 2 * 4 + 3, TTA = 3 * 16 + 3 * 4, TAC = 3 * 16 + 1;
	const uint32_t *pos;
	ASSERT_EQ(kmer_lookup(&h, ACG, &pos), 4u);
	EXPECT_EQ(std::vector<uint32_t>(pos, pos + 4), (std::vector<uint32_t>{0, 5, 9, 16}));
	ASSERT_EQ(kmer_lookup(&h, CGT, &pos), 3u);
	EXPECT_EQ(std::vector<uint32_t>(pos, pos + 3), (std::vector<uint32_t>{1, 6, 17}));
	ASSERT_EQ(kmer_lookup(&h, TTA, &pos), 1u);
	EXPECT_EQ(pos[0], 14u);
	ASSERT_EQ(kmer_lookup(&h, TAC, &pos), 1u);
	EXPECT_EQ(pos[0], 15u);
	// Nothing spans the N or a transcript boundary.
	EXPECT_EQ(kmer_lookup(&h, 2 * 16 + 3 * 4 + 0, &pos), 0u);   // GTA
	EXPECT_EQ(kmer_lookup(&h, 1 * 16 + 2 * 4 + 1, &pos), 0u);   // CGA (boundary t1|t2)
	EXPECT_EQ(kmer_lookup(&h, 2 * 16 + 0 * 4 + 1, &pos), 0u);   // GAC (boundary t1|t2)
	release_kmer_hash(&h);
}

TEST(KmerHash, EmptyTranscriptomeGivesTheMinimalFile)
{
	const uint32_t k = 29;
	// Transcripts without exons: length 0, all offsets 0.
	Transcriptome tr({"", "", ""});
	KmerHash h;
	testing::internal::CaptureStderr();
	build_kmer_hash(&tr.ann, k, &h);
	EXPECT_EQ(testing::internal::GetCapturedStderr(),
	          "[INFO] Number of kmer: 0\n[INFO] Number of hashing position: 0\n");
	EXPECT_EQ(h.n_kmers, 0u);
	EXPECT_EQ(h.n_positions, 0u);
	TempDir tmp;
	const std::string &dir = tmp.path;
	std::string path = dir + "/e.hash";
	write_kmer_hash(path.c_str(), k, &h);
	release_kmer_hash(&h);
	ASSERT_EQ(file_size(path), EMPTY_HASH_FILE_SIZE);

	KmerHash loaded;
	load_kmer_hash(path.c_str(), &loaded);
	EXPECT_EQ(loaded.kmer_size, 29u);
	EXPECT_EQ(loaded.n_kmers, 0u);
	EXPECT_EQ(loaded.n_positions, 0u);
	for (size_t b = 0; b <= (1u << 27); b += 4099) ASSERT_EQ(loaded.bucket_starts[b], 0u);
	EXPECT_EQ(loaded.bucket_starts[1u << 27], 0u);
	const uint32_t *pos;
	EXPECT_EQ(kmer_lookup(&loaded, 0, &pos), 0u);
	EXPECT_EQ(kmer_lookup(&loaded, (1ULL << 58) - 1, &pos), 0u);
	release_kmer_hash(&loaded);

	ASSERT_EQ(truncate(path.c_str(), (off_t)EMPTY_HASH_FILE_SIZE - 1), 0);
	EXPECT_EXIT(load_kmer_hash(path.c_str(), &loaded), ::testing::ExitedWithCode(1),
	            "\\[ERROR\\] fread, wrong file or file is corrupted");
	// Grown by one position's worth of bytes: the counts no longer describe the file.
	ASSERT_EQ(truncate(path.c_str(), (off_t)EMPTY_HASH_FILE_SIZE + 4), 0);
	EXPECT_EXIT(load_kmer_hash(path.c_str(), &loaded), ::testing::ExitedWithCode(1),
	            "\\[ERROR\\] fread, wrong file or file is corrupted");
	unlink(path.c_str());
}

// A hash only fits the transcriptome it was built from: its last k-mer ends at the last base.
TEST(KmerHash, PositionsFitOnlyTheirTranscriptome)
{
	Transcriptome tr({"ACGTTGCAAC", "GGATCCTTAG"});
	KmerHash h;
	testing::internal::CaptureStderr();
	build_kmer_hash(&tr.ann, 5, &h);
	testing::internal::GetCapturedStderr();
	EXPECT_TRUE(kmer_positions_fit(&h, 20));
	EXPECT_TRUE(kmer_positions_fit(&h, 1000));
	EXPECT_FALSE(kmer_positions_fit(&h, 19));
	EXPECT_FALSE(kmer_positions_fit(&h, 4));   // shorter than k
	EXPECT_FALSE(kmer_positions_fit(&h, 0));
	release_kmer_hash(&h);

	Transcriptome empty({""});
	build_kmer_hash(&empty.ann, 5, &h);
	EXPECT_TRUE(kmer_positions_fit(&h, 0));    // no positions: fits anything
	release_kmer_hash(&h);
}

TEST(KmerHashDeathTest, LoaderRefusesForeignHeaders)
{
	TempDir tmp;
	const std::string &dir = tmp.path;
	KmerHash h;
	write_bytes(dir + "/k0.hash", u32_bytes({0, 27, 0, 0}));
	EXPECT_EXIT(load_kmer_hash((dir + "/k0.hash").c_str(), &h), ::testing::ExitedWithCode(1),
	            "\\[ERROR\\] Invalid k-mer size 0");
	write_bytes(dir + "/k30.hash", u32_bytes({30, 27, 0, 0}));
	EXPECT_EXIT(load_kmer_hash((dir + "/k30.hash").c_str(), &h), ::testing::ExitedWithCode(1),
	            "\\[ERROR\\] Invalid k-mer size 30");
	write_bytes(dir + "/b26.hash", u32_bytes({29, 26, 0, 0}));
	EXPECT_EXIT(load_kmer_hash((dir + "/b26.hash").c_str(), &h), ::testing::ExitedWithCode(1),
	            "\\[ERROR\\] Unsupported hash width 26");
	write_bytes(dir + "/short.hash", u32_bytes({29}));
	EXPECT_EXIT(load_kmer_hash((dir + "/short.hash").c_str(), &h), ::testing::ExitedWithCode(1),
	            "\\[ERROR\\] fread, wrong file or file is corrupted");
	EXPECT_EXIT(load_kmer_hash((dir + "/missing.hash").c_str(), &h), ::testing::ExitedWithCode(1),
	            "\\[ERROR\\] Unable to open file \\[.*missing.hash\\] to read");
}

TEST(KmerHashDeathTest, LoaderRefusesCountsBeyondTheFile)
{
	// A sparse file of the minimal size whose bucket table announces far more k-mers than
	// the file holds: refused before any allocation of that size.
	TempDir tmp;
	const std::string &dir = tmp.path;
	std::string path = dir + "/big.hash";
	FILE *fp = fopen(path.c_str(), "wb");
	ASSERT_NE(fp, nullptr);
	std::string head = u32_bytes({29, 27});
	ASSERT_EQ(fwrite(head.data(), 1, 8, fp), 8u);
	ASSERT_EQ(fseek(fp, (long)(8 + 4 * (1L << 27)), SEEK_SET), 0);
	std::string last = u32_bytes({0xF0000000u, 0});
	ASSERT_EQ(fwrite(last.data(), 1, 8, fp), 8u);
	fclose(fp);
	KmerHash h;
	EXPECT_EXIT(load_kmer_hash(path.c_str(), &h), ::testing::ExitedWithCode(1),
	            "\\[ERROR\\] fread, wrong file or file is corrupted");
	unlink(path.c_str());
}

TEST(KmerHashDeathTest, BuildRefusesUnrepresentableK)
{
	Transcriptome tr({"ACGT"});
	KmerHash h;
	EXPECT_EXIT(build_kmer_hash(&tr.ann, 30, &h), ::testing::ExitedWithCode(1), "\\[ERROR\\] Invalid k-mer size 30");
	EXPECT_EXIT(build_kmer_hash(&tr.ann, 0, &h), ::testing::ExitedWithCode(1), "\\[ERROR\\] Invalid k-mer size 0");
}

}  // namespace
