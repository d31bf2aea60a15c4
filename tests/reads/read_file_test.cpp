// Read-file reader: format checks, block cutting across 1 MiB slices, in-place parsing.
#include <gtest/gtest.h>
#include <zlib.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>
#include "reads/reads.h"

namespace {

struct Rec {
	std::string name;     // as it must come out of the parser
	std::string comment;  // empty: none
	std::string seq;
	std::string qual;
};

std::string temp_dir()
{
	static std::string dir;
	if (dir.empty()) {
		char tmpl[] = "/tmp/vorat_read_file_XXXXXX";
		const char *made = mkdtemp(tmpl);
		if (!made) abort();
		dir = made;
	}
	return dir;
}

std::string temp_path(const std::string &name)
{
	return temp_dir() + "/" + name;
}

void write_plain(const std::string &path, const std::string &text)
{
	FILE *fp = fopen(path.c_str(), "wb");
	ASSERT_NE(fp, nullptr);
	ASSERT_EQ(fwrite(text.data(), 1, text.size(), fp), text.size());
	fclose(fp);
}

void write_gz(const std::string &path, const std::string &text)
{
	gzFile fp = gzopen(path.c_str(), "wb1");
	ASSERT_NE(fp, nullptr);
	size_t done = 0;
	while (done < text.size()) {
		unsigned chunk = (unsigned)std::min<size_t>(text.size() - done, 1 << 20);
		ASSERT_EQ(gzwrite(fp, text.data() + done, chunk), (int)chunk);
		done += chunk;
	}
	ASSERT_EQ(gzclose(fp), Z_OK);
}

void write_file(const std::string &path, const std::string &text, bool gz)
{
	if (gz)
		write_gz(path, text);
	else
		write_plain(path, text);
}

// Records with random lengths; read `mate` (1 or 2) gets "/1" or "/2" and, on every
// third record, a comment.
std::vector<Rec> make_records(int n, int min_len, int max_len, unsigned seed)
{
	std::mt19937 rng(seed);
	std::uniform_int_distribution<int> len(min_len, max_len), base(0, 3), q(33, 73);
	std::vector<Rec> recs(n);
	for (int i = 0; i < n; ++i) {
		Rec &r = recs[i];
		r.name = "read" + std::to_string(i);
		if (i % 3 == 0) r.comment = "c:" + std::to_string(i) + "\tx";
		int l = len(rng);
		for (int j = 0; j < l; ++j) {
			r.seq += "ACGT"[base(rng)];
			r.qual += (char)q(rng);
		}
	}
	return recs;
}

std::string render(const std::vector<Rec> &recs, bool fasta, int mate, bool final_lf = true)
{
	std::string out;
	for (const Rec &r : recs) {
		out += fasta ? '>' : '@';
		out += r.name;
		if (mate) out += "/" + std::to_string(mate);
		if (!r.comment.empty()) out += " " + r.comment;
		out += '\n';
		out += r.seq;
		out += '\n';
		if (!fasta) {
			out += "+\n";
			out += r.qual;
			out += '\n';
		}
	}
	if (!final_lf && !out.empty()) out.pop_back();
	return out;
}

struct Parsed {
	std::string name, comment, seq, qual;
	bool has_comment;
};

// Drive a pair the way a reader and a worker do: fill blocks, then parse them pair by pair.
struct DriveResult {
	std::vector<Parsed> r1, r2;
	std::vector<int64_t> block_starts;
	int malformed = 0;
};

Parsed take(const ReadRecord &rec)
{
	Parsed p;
	p.name = rec.name;
	p.has_comment = rec.comment != nullptr;
	p.comment = rec.comment ? rec.comment : "";
	p.seq = std::string(rec.seq, rec.len);
	p.qual = rec.qual ? rec.qual : "";
	return p;
}

DriveResult drive_pair(const std::string &p1, const std::string &p2)
{
	DriveResult out;
	ReadPairSource src{};
	open_read_pair(&src, p1.c_str(), p2.c_str());
	char *text1 = (char *)malloc(READ_BUFFER_SIZE + 1);
	char *text2 = (char *)malloc(READ_BUFFER_SIZE + 1);
	int64_t before;
	while ((before = fill_batch(&src, &text1, &text2)) != -1) {
		out.block_starts.push_back(before);
		EXPECT_LE(strlen(text1), (size_t)READ_BUFFER_SIZE);
		auto parse = src.format == READ_FASTA ? parse_fasta_record : parse_fastq_record;
		int32_t pos1 = 0, pos2 = 0;
		for (;;) {
			ReadRecord a{}, b{};
			int s1 = parse(&a, text1, &pos1);
			int s2 = parse(&b, text2, &pos2);
			if (s1 == 2 || s2 == 2) {
				++out.malformed;
				break;
			}
			out.r1.push_back(take(a));
			out.r2.push_back(take(b));
			EXPECT_EQ(s1, s2) << "blocks must hold equally many records";
			if (s1 == 1) break;
		}
	}
	EXPECT_EQ(fill_batch(&src, &text1, &text2), -1);  // stays exhausted
	close_read_pair(&src);                            // second close is harmless
	free(text1);
	free(text2);
	return out;
}

void expect_records(const std::vector<Parsed> &got, const std::vector<Rec> &want, size_t n, bool fasta)
{
	ASSERT_EQ(got.size(), n);
	for (size_t i = 0; i < n; ++i) {
		ASSERT_EQ(got[i].name, want[i].name) << "record " << i;
		ASSERT_EQ(got[i].seq, want[i].seq) << "record " << i;
		ASSERT_EQ(got[i].has_comment, !want[i].comment.empty()) << "record " << i;
		ASSERT_EQ(got[i].comment, want[i].comment) << "record " << i;
		ASSERT_EQ(got[i].qual, fasta ? "" : want[i].qual) << "record " << i;
	}
}

struct PairCase {
	bool fasta;
	bool gz;
};

class ReadPairBlocks : public ::testing::TestWithParam<PairCase> {};

// Several MiB per file with unequal record sizes in the two files: every block boundary
// cuts records, and the poorer stream decides the block size.
TEST_P(ReadPairBlocks, EveryRecordOnceInOrderAcrossBlocks)
{
	const PairCase c = GetParam();
	const int n = c.fasta ? 30000 : 16000;
	std::vector<Rec> r1 = make_records(n, 26, 60, 1);
	std::vector<Rec> r2 = make_records(n, 20, 300, 2);
	std::string t1 = render(r1, c.fasta, 1), t2 = render(r2, c.fasta, 2, false);
	ASSERT_GT(t2.size(), 3u * READ_BUFFER_SIZE);
	std::string tag = std::string(c.fasta ? "fa" : "fq") + (c.gz ? ".gz" : "");
	std::string p1 = temp_path("blocks_1." + tag), p2 = temp_path("blocks_2." + tag);
	write_file(p1, t1, c.gz);
	write_file(p2, t2, c.gz);

	testing::internal::CaptureStderr();
	DriveResult res = drive_pair(p1, p2);
	std::string err = testing::internal::GetCapturedStderr();
	EXPECT_EQ(err, "");
	EXPECT_EQ(res.malformed, 0);
	ASSERT_GE(res.block_starts.size(), 4u);
	EXPECT_EQ(res.block_starts[0], 0);
	for (size_t i = 1; i < res.block_starts.size(); ++i) EXPECT_GT(res.block_starts[i], res.block_starts[i - 1]);
	expect_records(res.r1, r1, n, c.fasta);
	expect_records(res.r2, r2, n, c.fasta);
}

INSTANTIATE_TEST_SUITE_P(Formats, ReadPairBlocks,
                         ::testing::Values(PairCase{false, false}, PairCase{false, true}, PairCase{true, false},
                                           PairCase{true, true}),
                         [](const ::testing::TestParamInfo<PairCase> &info) {
	                         return std::string(info.param.fasta ? "Fasta" : "Fastq") + (info.param.gz ? "Gz" : "Plain");
                         });

TEST(ReadPair, BlockStartsCountDeliveredPairs)
{
	std::vector<Rec> recs = make_records(9000, 100, 140, 3);
	std::string p1 = temp_path("starts_1.fq"), p2 = temp_path("starts_2.fq");
	write_plain(p1, render(recs, false, 0));
	write_plain(p2, render(recs, false, 0));
	ReadPairSource src{};
	open_read_pair(&src, p1.c_str(), p2.c_str());
	EXPECT_EQ(src.format, (uint32_t)READ_FASTQ);
	char *text1 = (char *)malloc(READ_BUFFER_SIZE + 1);
	char *text2 = (char *)malloc(READ_BUFFER_SIZE + 1);
	int64_t expected = 0, before;
	while ((before = fill_batch(&src, &text1, &text2)) != -1) {
		EXPECT_EQ(before, expected);
		// The block ends exactly after a record: its last byte is a line feed, then the zero.
		size_t len = strlen(text1);
		ASSERT_GT(len, 0u);
		EXPECT_EQ(text1[len - 1], '\n');
		EXPECT_EQ(text1[0], '@');
		int records = 0;
		for (size_t i = 0; i < len; ++i) records += text1[i] == '\n';
		EXPECT_EQ(records % 4, 0);
		expected += records / 4;
	}
	EXPECT_EQ(expected, 9000);
	EXPECT_EQ(src.done, 1);
	EXPECT_EQ(src.stream1.buffer, nullptr);  // closed and released at the end
	EXPECT_EQ(src.stream2.input.file, nullptr);
	free(text1);
	free(text2);
}

TEST(ReadPair, LastRecordWithoutFinalLineFeed)
{
	for (bool fasta : {false, true}) {
		std::vector<Rec> recs = make_records(5, 30, 30, 4);
		std::string p1 = temp_path("nolf_1"), p2 = temp_path("nolf_2");
		write_plain(p1, render(recs, fasta, 1, false));
		write_plain(p2, render(recs, fasta, 2, false));
		testing::internal::CaptureStderr();
		DriveResult res = drive_pair(p1, p2);
		EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
		expect_records(res.r1, recs, 5, fasta);
		expect_records(res.r2, recs, 5, fasta);
		EXPECT_EQ(res.block_starts.size(), 1u);
	}
}

TEST(ReadPair, UnequalRecordCountsWarnAndKeepThePairs)
{
	std::vector<Rec> recs = make_records(1000, 30, 90, 5);
	std::vector<Rec> shorter(recs.begin(), recs.end() - 1);
	std::string p1 = temp_path("uneq_1.fq"), p2 = temp_path("uneq_2.fq");
	write_plain(p1, render(recs, false, 1));
	write_plain(p2, render(shorter, false, 2));
	testing::internal::CaptureStderr();
	DriveResult res = drive_pair(p1, p2);
	std::string err = testing::internal::GetCapturedStderr();
	expect_records(res.r1, recs, 999, false);
	expect_records(res.r2, recs, 999, false);
	EXPECT_EQ(err, "[WARNING] Read files [" + p1 + "] and [" + p2 + "] end at different records; the remaining reads of [" +
	                   p1 + "] are ignored\n");

	// The other way round names the other file.
	testing::internal::CaptureStderr();
	res = drive_pair(p2, p1);
	err = testing::internal::GetCapturedStderr();
	EXPECT_EQ(res.r1.size(), 999u);
	EXPECT_EQ(err, "[WARNING] Read files [" + p2 + "] and [" + p1 + "] end at different records; the remaining reads of [" +
	                   p1 + "] are ignored\n");
}

TEST(ReadPair, TruncatedLastRecordIsDroppedWithWarning)
{
	for (bool gz : {false, true}) {
		std::vector<Rec> recs = make_records(1000, 30, 90, 6);
		std::string full = render(recs, false, 1);
		// Cut read 2 inside the last record: header and sequence, no quality.
		std::string cut = render(recs, false, 2);
		size_t last_plus = cut.rfind("\n+\n");
		cut.resize(last_plus + 1);
		std::string p1 = temp_path(gz ? "trunc_1.fq.gz" : "trunc_1.fq"), p2 = temp_path(gz ? "trunc_2.fq.gz" : "trunc_2.fq");
		write_file(p1, full, gz);
		write_file(p2, cut, gz);
		testing::internal::CaptureStderr();
		DriveResult res = drive_pair(p1, p2);
		std::string err = testing::internal::GetCapturedStderr();
		expect_records(res.r1, recs, 999, false);
		expect_records(res.r2, recs, 999, false);
		// Read 1 still holds a whole record and read 2 part of one: one line names both.
		EXPECT_EQ(err, "[WARNING] Read files [" + p1 + "] and [" + p2 +
		                   "] both end with an unpaired or incomplete record; the remaining reads of both are ignored\n");
	}
}

TEST(ReadPair, TrailingBlankLinesAreNotLeftoverReads)
{
	std::vector<Rec> recs = make_records(10, 30, 30, 7);
	std::string p1 = temp_path("blank_1.fq"), p2 = temp_path("blank_2.fq");
	write_plain(p1, render(recs, false, 1) + "\n");
	write_plain(p2, render(recs, false, 2));
	testing::internal::CaptureStderr();
	DriveResult res = drive_pair(p1, p2);
	EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
	EXPECT_EQ(res.r1.size(), 10u);
}

// A record of exactly one buffer fits; one byte more cannot be held (see the death test).
TEST(ReadPair, RecordOfExactlyOneBufferFits)
{
	const size_t seq_len = 524000;
	const size_t pad = READ_BUFFER_SIZE - 9 - 2 * seq_len;  // "@big\n" + seq + "\n+" + pad + "\n" + qual + "\n"
	std::string text = "@big\n" + std::string(seq_len, 'A') + "\n+" + std::string(pad, '+') + "\n" +
	                   std::string(seq_len, 'I') + "\n";
	ASSERT_EQ(text.size(), (size_t)READ_BUFFER_SIZE);
	std::string p1 = temp_path("exact_1.fq"), p2 = temp_path("exact_2.fq");
	write_plain(p1, text + "@small\nAC\n+\nII\n");
	write_plain(p2, "@x\nA\n+\nI\n@y\nC\n+\nI\n");
	DriveResult res = drive_pair(p1, p2);
	ASSERT_EQ(res.r1.size(), 2u);
	EXPECT_EQ(res.r1[0].seq.size(), seq_len);
	EXPECT_EQ(res.r1[1].name, "small");
	EXPECT_EQ(res.r2[1].name, "y");
	EXPECT_EQ(res.malformed, 0);
	EXPECT_EQ(res.block_starts.size(), 2u);
}

TEST(ReadPairDeath, ReadLongerThanTheBuffer)
{
	std::string seq(READ_BUFFER_SIZE / 2 + 10, 'C');
	std::string p1 = temp_path("long_1.fq"), p2 = temp_path("long_2.fq");
	write_plain(p1, "@a\nACGT\n+\nIIII\n");
	write_plain(p2, "@a\n" + seq + "\n+\n" + std::string(seq.size(), 'I') + "\n");
	EXPECT_EXIT(drive_pair(p1, p2), ::testing::ExitedWithCode(1),
	            "^\n\\[ERROR\\] Read is too long from file: " + p2 + "\n$");
}

TEST(ReadPairDeath, CutGzipStreamIsAReadError)
{
	std::vector<Rec> recs = make_records(20000, 80, 120, 8);
	std::string text = render(recs, false, 0);
	std::string whole = temp_path("cut_whole.fq.gz"), p1 = temp_path("cut_1.fq.gz"), p2 = temp_path("cut_2.fq.gz");
	write_gz(whole, text);
	write_gz(p1, text);
	// Keep the first half of the compressed bytes of read 2.
	FILE *fp = fopen(whole.c_str(), "rb");
	ASSERT_NE(fp, nullptr);
	std::string gz(1 << 23, '\0');
	size_t n = fread(&gz[0], 1, gz.size(), fp);
	fclose(fp);
	ASSERT_GT(n, 1000u);
	write_plain(p2, gz.substr(0, n / 2));
	EXPECT_EXIT(drive_pair(p1, p2), ::testing::ExitedWithCode(1), "^\\[ERROR\\] Could not read file: " + p2 + "\n$");
}

TEST(ReadFormatDeath, MissingEmptyAndUnknownFiles)
{
	std::string missing = temp_path("does_not_exist.fq");
	EXPECT_EXIT(detect_read_format(missing.c_str()), ::testing::ExitedWithCode(1),
	            "^\\[ERROR\\] Could not open file: " + missing + "\n$");
	std::string empty = temp_path("empty.fq");
	write_plain(empty, "");
	EXPECT_EXIT(detect_read_format(empty.c_str()), ::testing::ExitedWithCode(1),
	            "^\\[ERROR\\] Could not read file: " + empty + "\n$");
	std::string bad = temp_path("bad.fq");
	write_plain(bad, "ACGT\n");
	EXPECT_EXIT(detect_read_format(bad.c_str()), ::testing::ExitedWithCode(1),
	            "^\\[ERROR\\] Unsupport format of file: " + bad + "\n$");
	std::string badgz = temp_path("bad.fq.gz");
	write_gz(badgz, "#x\n");
	EXPECT_EXIT(detect_read_format(badgz.c_str()), ::testing::ExitedWithCode(1), "Unsupport format of file: ");
}

TEST(ReadFormat, FirstByteDecides)
{
	std::string fq = temp_path("fmt.fq.gz"), fa = temp_path("fmt.fa");
	write_gz(fq, "@r\nA\n+\nI\n");
	write_plain(fa, ">r\nA\n");
	EXPECT_EQ(detect_read_format(fq.c_str()), (uint32_t)READ_FASTQ);
	EXPECT_EQ(detect_read_format(fa.c_str()), (uint32_t)READ_FASTA);
}

TEST(ReadPairDeath, IdenticalNamesAndFormatMismatch)
{
	std::string fq = temp_path("pair.fq"), fa = temp_path("pair.fa");
	write_plain(fq, "@r\nA\n+\nI\n");
	write_plain(fa, ">r\nA\n");
	ReadPairSource src{};
	EXPECT_EXIT(open_read_pair(&src, fq.c_str(), fq.c_str()), ::testing::ExitedWithCode(1),
	            "^\\[ERROR\\] Two identical read files\n$");
	// Checked before any file is touched: even a missing file gives this message.
	std::string missing = temp_path("missing.fq");
	EXPECT_EXIT(open_read_pair(&src, missing.c_str(), missing.c_str()), ::testing::ExitedWithCode(1),
	            "Two identical read files");
	EXPECT_EXIT(open_read_pair(&src, fq.c_str(), fa.c_str()), ::testing::ExitedWithCode(1),
	            "^\\[ERROR\\] Format in two read files are not equal\n$");
	EXPECT_EXIT(open_read_pair(&src, fq.c_str(), missing.c_str()), ::testing::ExitedWithCode(1),
	            "^\\[ERROR\\] Could not open file: " + missing + "\n$");
}

// ---- record parsers on hand-made texts ----

TEST(ParseFastq, NameSuffixCommentAndPositions)
{
	char text[] = "@r1/1 BX:Z:1\tx\nACGT\n+r1\nIIII\n@r2/2\nAC\n+\nII\n@r3/3\nA\n+\nI";
	ReadRecord rec{};
	int32_t pos = 0;
	ASSERT_EQ(parse_fastq_record(&rec, text, &pos), 0);
	EXPECT_STREQ(rec.name, "r1");
	EXPECT_STREQ(rec.comment, "BX:Z:1\tx");
	EXPECT_STREQ(rec.seq, "ACGT");
	EXPECT_EQ(rec.len, 4);
	EXPECT_STREQ(rec.plus_line, "+r1");
	EXPECT_STREQ(rec.qual, "IIII");
	EXPECT_EQ(text[pos], '@');
	ASSERT_EQ(parse_fastq_record(&rec, text, &pos), 0);
	EXPECT_STREQ(rec.name, "r2");
	EXPECT_EQ(rec.comment, nullptr);
	EXPECT_STREQ(rec.seq, "AC");
	int32_t before = pos;
	ASSERT_EQ(parse_fastq_record(&rec, text, &pos), 1);  // last, no final line feed
	EXPECT_EQ(pos, before);
	EXPECT_STREQ(rec.name, "r3/3");                     // only /1 and /2 are mate suffixes
	EXPECT_STREQ(rec.qual, "I");
}

TEST(ParseFastq, LastRecordWithLineFeedReturnsOne)
{
	char text[] = "@a/2 c\nAAC\n+\nIII\n";
	ReadRecord rec{};
	int32_t pos = 0;
	EXPECT_EQ(parse_fastq_record(&rec, text, &pos), 1);
	EXPECT_EQ(pos, 0);
	EXPECT_STREQ(rec.name, "a");
	EXPECT_STREQ(rec.comment, "c");
	EXPECT_STREQ(rec.seq, "AAC");
}

TEST(ParseFastq, CarriageReturnBelongsToTheLine)
{
	char text[] = "@a\r\nAC\r\n+\r\nII\r\n";
	ReadRecord rec{};
	int32_t pos = 0;
	EXPECT_EQ(parse_fastq_record(&rec, text, &pos), 1);
	EXPECT_STREQ(rec.name, "a\r");
	EXPECT_EQ(rec.len, 3);
}

TEST(ParseFastq, MalformedRecords)
{
	const char *bad[] = {
	    "Xa\nAC\n+\nII\n",    // no '@'
	    "@a",                 // header without line feed
	    "@a\nAC",             // sequence without line feed
	    "@a\n\n+\n\n",        // empty sequence
	    "@a\nAC\n-\nII\n",    // separator without '+'
	    "@a\nAC\n+",          // separator without line feed
	    "@a\nAC\n+\nI\n",     // quality shorter
	    "@a\nAC\n+\nIII\n",   // quality longer
	    "@a\nAC\n",           // nothing after the sequence
	};
	for (const char *t : bad) {
		std::string copy(t);
		ReadRecord rec{};
		int32_t pos = 0;
		EXPECT_EQ(parse_fastq_record(&rec, &copy[0], &pos), 2) << t;
	}
}

TEST(ParseFasta, RecordsAndErrors)
{
	char text[] = ">x/1 hello world\nACGTN\n>y\nGG";
	ReadRecord rec{};
	int32_t pos = 0;
	ASSERT_EQ(parse_fasta_record(&rec, text, &pos), 0);
	EXPECT_STREQ(rec.name, "x");
	EXPECT_STREQ(rec.comment, "hello world");
	EXPECT_STREQ(rec.seq, "ACGTN");
	EXPECT_EQ(rec.qual, nullptr);
	EXPECT_EQ(rec.plus_line, nullptr);
	ASSERT_EQ(parse_fasta_record(&rec, text, &pos), 1);
	EXPECT_STREQ(rec.name, "y");
	EXPECT_EQ(rec.comment, nullptr);
	EXPECT_EQ(rec.len, 2);

	// A sequence over two lines is read as a second record that is malformed.
	char multi[] = ">m\nACGT\nACGT\n";
	pos = 0;
	ASSERT_EQ(parse_fasta_record(&rec, multi, &pos), 0);
	EXPECT_EQ(parse_fasta_record(&rec, multi, &pos), 2);

	char empty_seq[] = ">e\n\n";
	pos = 0;
	EXPECT_EQ(parse_fasta_record(&rec, empty_seq, &pos), 2);
	char no_lf[] = ">e";
	pos = 0;
	EXPECT_EQ(parse_fasta_record(&rec, no_lf, &pos), 2);
}

TEST(FindRecordEnd, CompleteOnlyAtLineFeedsOrAtEof)
{
	char buf[64] = "@a\nAC\n+\nII\n@b\nAC\n+\nI";
	ReadStream s{};
	s.buffer = buf;
	s.fill = (int32_t)strlen(buf);
	s.path = "mem";
	EXPECT_EQ(find_record_end(&s, 0, READ_FASTQ), 11);
	EXPECT_EQ(find_record_end(&s, 11, READ_FASTQ), 0);  // last line open, more may come
	s.eof = 1;
	EXPECT_EQ(find_record_end(&s, 11, READ_FASTQ), s.fill);
	EXPECT_EQ(find_record_end(&s, s.fill, READ_FASTQ), 0);
	EXPECT_EQ(find_record_end(&s, 0, READ_FASTA), 6);
	EXPECT_EQ(find_record_end(&s, 6, READ_FASTA), 11);
}

}  // namespace

namespace {

// One gzip member of `text`; with a header name and extra field (as bgzip writes) when asked.
std::string gzip_member(const std::string &text, bool header_fields, int level = 6)
{
	z_stream z{};
	if (deflateInit2(&z, level, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) abort();
	gz_header head{};
	unsigned char extra[] = {'B', 'C', 2, 0, 7, 7};
	char name[] = "reads.fq";
	if (header_fields) {
		head.extra = extra;
		head.extra_len = sizeof extra;
		head.name = (Bytef *)name;
		deflateSetHeader(&z, &head);
	}
	std::string out(deflateBound(&z, text.size()) + 64, '\0');
	z.next_in = (Bytef *)text.data();
	z.avail_in = (uInt)text.size();
	z.next_out = (Bytef *)&out[0];
	z.avail_out = (uInt)out.size();
	if (deflate(&z, Z_FINISH) != Z_STREAM_END) abort();
	out.resize(z.total_out);
	deflateEnd(&z);
	return out;
}

// A member of exactly `size` bytes (stored, so its size follows the text's).
std::string member_of_size(size_t size, const std::string &text)
{
	for (size_t n = size; n > 0; --n) {
		std::string m = gzip_member(text.substr(0, n), false, 0);
		if (m.size() == size) return m;
	}
	abort();
}

// What zlib's gzread makes of a file: its text, and whether it reported an error.
std::pair<std::string, bool> zlib_reading(const std::string &path)
{
	gzFile fp = gzopen(path.c_str(), "rb");
	std::string text;
	char buf[65536];
	int n;
	while ((n = gzread(fp, buf, sizeof buf)) > 0) text.append(buf, (size_t)n);
	int err = Z_OK;
	gzerror(fp, &err);
	gzclose(fp);
	return {text, n < 0 || (err != Z_OK && err != Z_STREAM_END)};
}

// The same file through read_input_file, asking for a cycle of odd-sized pieces.
std::pair<std::string, bool> input_file_reading(const std::string &path)
{
	InputFile in;
	if (open_input_file(&in, path.c_str()) != 0) return {"", true};
	const int64_t sizes[] = {1, 7, 4096, 1 << 20, 3};
	std::string text, buf(1 << 20, '\0');
	bool failed = false;
	for (int i = 0;; ++i) {
		const int64_t want = sizes[i % 5];
		const int64_t got = read_input_file(&in, &buf[0], want);
		if (got < 0) {
			failed = true;
			break;
		}
		text.append(buf.data(), (size_t)got);
		if (got < want) break;
	}
	close_input_file(&in);
	return {text, failed};
}

}  // namespace

// The gzip decoder against zlib, which the read files went through before and which users' other
// tools use: the same text and the same verdict on plain files, joined and bgzip-style members,
// trailing bytes, and cut or damaged streams.
TEST(InputFile, DecodesLikeZlib)
{
	std::mt19937 rng(11);
	std::string random_text, fastq = render(make_records(4000, 80, 120, 9), false, 1);
	for (int i = 0; i < 700000; ++i) random_text += "ACGTN\n"[rng() % 6];
	std::string members;  // many small members: some headers straddle the decoder's read-ahead
	for (int i = 0; i < 4000; ++i) members += gzip_member(fastq.substr((size_t)i * 97 % fastq.size(), 60), i % 2);
	const std::string big = gzip_member(random_text, false);
	// A first member that ends 5, 1 or 0 bytes before the decoder's first read-ahead does, so that
	// the next header or its magic straddles the seam.
	auto seam = [&](size_t gap) { return member_of_size(PACKED_BUFFER_SIZE - gap, random_text) + gzip_member(fastq, true); };
	std::string bad_crc = big;
	bad_crc[bad_crc.size() - 6] ^= 1;

	const struct {
		const char *name;
		std::string bytes;
		bool fails;
	} cases[] = {
	    {"plain", random_text, false},
	    {"one member", big, false},
	    {"members joined, one empty", gzip_member(fastq, true) + gzip_member("", false) + big, false},
	    {"many small members", members, false},
	    {"header across the read-ahead", seam(5), false},
	    {"magic across the read-ahead", seam(1), false},
	    {"member ends with the read-ahead", seam(0), false},
	    {"trailing bytes", gzip_member(fastq, false) + "not gzip\n", false},
	    {"trailing zeros", gzip_member(fastq, false) + std::string(100, '\0'), false},
	    {"cut in the data", big.substr(0, big.size() / 2), true},
	    {"cut in the trailer", big.substr(0, big.size() - 2), true},
	    {"cut in the second header", big + big.substr(0, 5), true},
	    {"damaged checksum", bad_crc, true},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		const std::string path = temp_path("decode.gz");
		write_plain(path, c.bytes);
		const auto want = zlib_reading(path), got = input_file_reading(path);
		ASSERT_EQ(want.second, c.fails);
		EXPECT_EQ(got.second, want.second);
		if (!c.fails) {
			EXPECT_TRUE(got.first == want.first) << got.first.size() << " bytes against " << want.first.size();
		}
	}
}
