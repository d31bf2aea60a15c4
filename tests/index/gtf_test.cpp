// GTF parser: field and attribute splitting, value cleaning, the gene / transcript / exon
// rules with their warnings, every fatal error with its line number, and the line reader
// (comments, blank lines, CRLF, missing final line feed, lines at the buffer size, gzip).
#include <gtest/gtest.h>
#include <string>
#include <vector>
#include "annotation_test_util.h"
#include "index/index.h"

using namespace annotation_test;

namespace {

std::string gtf_line(const std::string &seq, const std::string &feature, const std::string &start,
                     const std::string &end, const std::string &strand, const std::string &attr)
{
	return seq + "\tsrc\t" + feature + "\t" + start + "\t" + end + "\t.\t" + strand + "\t.\t" + attr + "\n";
}

std::string gene(const std::string &id, const std::string &name, const std::string &strand = "+",
                 const std::string &seq = "chr1")
{
	return gtf_line(seq, "gene", "1", "1000", strand, "gene_id \"" + id + "\"; gene_name \"" + name + "\";");
}

std::string transcript(const std::string &gid, const std::string &tid, const std::string &strand = "+",
                       const std::string &seq = "chr1")
{
	return gtf_line(seq, "transcript", "1", "1000", strand,
	                "gene_id \"" + gid + "\"; transcript_id \"" + tid + "\"; gene_name \"ignored\";");
}

std::string exon(const std::string &tid, uint32_t start, uint32_t end, const std::string &strand = "+",
                 const std::string &seq = "chr1")
{
	return gtf_line(seq, "exon", std::to_string(start), std::to_string(end), strand,
	                "gene_id \"ignored\"; transcript_id \"" + tid + "\"; exon_number \"1\";");
}

struct ParsedGtf {
	AnnotationInfo ann = {};
	NameMap *seqs = make_name_map({"chr1", "chr2"});
	NameMap *genes = kh_init(str);
	NameMap *txs = kh_init(str);
	std::string err;  // everything the parser printed
	~ParsedGtf()
	{
		release_annotation_info(&ann);
		release_name_map(seqs);
		release_name_map(genes);
		release_name_map(txs);
	}
	std::string gene_id(uint32_t g) const { return table_row(ann.gene_ids, ann.gene_id_width, g); }
	std::string gene_name(uint32_t g) const { return table_row(ann.gene_names, ann.gene_name_width, g); }
	std::string tx_id(uint32_t t) const { return table_row(ann.tx_ids, ann.tx_id_width, t); }
	std::vector<std::pair<uint32_t, uint32_t>> exons(uint32_t t) const
	{
		std::vector<std::pair<uint32_t, uint32_t>> out;
		for (uint32_t i = 0; i < ann.tx_exon_count[t]; ++i)
			out.emplace_back(ann.tx_exons[t][i].start, ann.tx_exons[t][i].end);
		return out;
	}
	void parse(const std::string &path)
	{
		testing::internal::CaptureStderr();
		parse_gtf(path.c_str(), seqs, &ann, genes, txs);
		err = testing::internal::GetCapturedStderr();
	}
};

void parse_text(const std::string &text, ParsedGtf *p)
{
	ScratchDir dir;
	write_file(dir.file("a.gtf"), text);
	p->parse(dir.file("a.gtf"));
}

void parse_path_only(const std::string &path)
{
	ParsedGtf p;
	parse_gtf(path.c_str(), p.seqs, &p.ann, p.genes, p.txs);
}

// The text must end the run with status 1 and exactly `message` on stderr after the
// warnings that precede it.
void expect_fatal(const std::string &text, const std::string &message_regex)
{
	ScratchDir dir;
	std::string path = dir.file("bad.gtf");
	write_file(path, text);
	EXPECT_EXIT(parse_path_only(path), ::testing::ExitedWithCode(1), message_regex);
}

TEST(Gtf, GenesTranscriptsAndExons)
{
	std::string text = "#!genome-build test\n" + gene("G1", "Alpha") + transcript("G1", "T1") + exon("T1", 50, 60) +
	                   exon("T1", 10, 20) + transcript("G1", "T2.long") + exon("T2.long", 5, 8) +
	                   gene("GENE0002", "B", "-", "chr2") + transcript("GENE0002", "T3", "-", "chr2") +
	                   exon("T3", 100, 200, "-", "chr2") +
	                   gtf_line("chr1", "CDS", "10", "20", "+", "gene_id \"G1\"; transcript_id \"T1\";");
	ParsedGtf p;
	parse_text(text, &p);
	EXPECT_EQ(p.err, "");
	ASSERT_EQ(p.ann.gene_count, 2u);
	EXPECT_EQ(p.ann.gene_id_width, 9u);    // "GENE0002" + 1
	EXPECT_EQ(p.ann.gene_name_width, 6u);  // "Alpha" + 1
	EXPECT_EQ(p.gene_id(0), "G1");
	EXPECT_EQ(p.gene_id(1), "GENE0002");
	EXPECT_EQ(p.gene_name(0), "Alpha");
	EXPECT_EQ(p.gene_name(1), "B");
	EXPECT_EQ(p.ann.gene_chrom[0], 0u);
	EXPECT_EQ(p.ann.gene_chrom[1], 1u);
	EXPECT_EQ(p.ann.gene_strand[0], 0u);
	EXPECT_EQ(p.ann.gene_strand[1], 1u);
	ASSERT_EQ(p.ann.tx_count, 3u);
	EXPECT_EQ(p.ann.tx_id_width, 8u);  // "T2.long" + 1
	EXPECT_EQ(p.tx_id(0), "T1");
	EXPECT_EQ(p.tx_id(1), "T2.long");
	EXPECT_EQ(p.tx_id(2), "T3");
	EXPECT_EQ(p.ann.tx_gene[0], 0u);
	EXPECT_EQ(p.ann.tx_gene[1], 0u);
	EXPECT_EQ(p.ann.tx_gene[2], 1u);
	// File order, not sorted yet.
	EXPECT_EQ(p.exons(0), (std::vector<std::pair<uint32_t, uint32_t>>{{50, 60}, {10, 20}}));
	EXPECT_EQ(p.exons(1), (std::vector<std::pair<uint32_t, uint32_t>>{{5, 8}}));
	EXPECT_EQ(p.exons(2), (std::vector<std::pair<uint32_t, uint32_t>>{{100, 200}}));
	EXPECT_EQ(map_value(p.genes, "G1"), 0);
	EXPECT_EQ(map_value(p.genes, "GENE0002"), 1);
	EXPECT_EQ(map_value(p.txs, "T2.long"), 1);
	EXPECT_EQ(map_value(p.txs, "T3"), 2);
	EXPECT_EQ(kh_size(p.genes), 2u);
	EXPECT_EQ(kh_size(p.txs), 3u);
}

TEST(Gtf, AttributeValuesAreCleaned)
{
	std::string text =
		gtf_line("chr1", "gene", "1", "9", "+", "gene_id \"G1\"; gene_name \"ABC def\";") +
		gtf_line("chr1", "gene", "1", "9", "+", "gene_id 'G2'; gene_name 'Two';") +
		gtf_line("chr1", "gene", "1", "9", "+", "gene_id=G3;gene_name=N3") +
		gtf_line("chr1", "gene", "1", "9", "+", "  ;; gene_name   \"x  Y\" ;gene_id  G4  ") +
		// A key used as a value: the id is "gene_name"; the name key is then the last token.
		gtf_line("chr1", "gene", "1", "9", "+", "gene_id gene_name") +
		gtf_line("chr1", "gene", "1", "9", "+", "gene_id \"G6\x01\x7f\xc3\xa9\"; gene_name \"N6\"");
	ParsedGtf p;
	parse_text(text, &p);
	ASSERT_EQ(p.ann.gene_count, 6u);
	EXPECT_EQ(p.gene_name(0), "ABC");
	EXPECT_EQ(p.gene_id(1), "G2");
	EXPECT_EQ(p.gene_name(1), "Two");
	EXPECT_EQ(p.gene_id(2), "G3");
	EXPECT_EQ(p.gene_name(2), "N3");
	EXPECT_EQ(p.gene_id(3), "G4");
	EXPECT_EQ(p.gene_name(3), "x");
	EXPECT_EQ(p.gene_id(4), "gene_name");
	EXPECT_EQ(p.gene_name(4), "gene_name");
	EXPECT_EQ(p.gene_id(5), "G6");
	EXPECT_EQ(p.err, "[WARNING] Line [5]: Gene name is not found, using gene id instead\n");
}

TEST(Gtf, EmptyColumnsAndTrailingTabsAreNotFields)
{
	// Runs of tabs are one separator: a trailing tab adds no field, nor do doubled tabs.
	std::string text = "chr1\t\tsrc\tgene\t1\t10\t.\t+\t.\t\tgene_id G1; gene_name N1;\t\n";
	ParsedGtf p;
	parse_text(text, &p);
	EXPECT_EQ(p.err, "");
	ASSERT_EQ(p.ann.gene_count, 1u);
	EXPECT_EQ(p.gene_id(0), "G1");
}

TEST(Gtf, StrandDotCountsAsMinus)
{
	std::string text = gene("G1", "N1", ".") + transcript("G1", "T1", "-") + exon("T1", 1, 5, "-") +
	                   exon("T1", 7, 9, "?") + gene("G2", "N2", "+") + transcript("G2", "T2", "+");
	ParsedGtf p;
	parse_text(text, &p);
	EXPECT_EQ(p.err, "");
	ASSERT_EQ(p.ann.gene_count, 2u);
	EXPECT_EQ(p.ann.gene_strand[0], 1u);
	EXPECT_EQ(p.ann.gene_strand[1], 0u);
	EXPECT_EQ(p.ann.tx_exon_count[0], 2u);
}

TEST(Gtf, InterleavedExonsAttachToTheirTranscript)
{
	std::string text = gene("G1", "N1") + transcript("G1", "T1") + transcript("G1", "T2") + exon("T2", 30, 40) +
	                   exon("T1", 1, 10) +
	                   gtf_line("chr1", "exon", "12", "14", "+", "gene_id \"G1\";");  // no transcript_id
	ParsedGtf p;
	parse_text(text, &p);
	EXPECT_EQ(p.err,
	          "[WARNING] Line [5]: Exon is not nested in transcript level\n"
	          "[WARNING] Line [6]: Using transcript id in current transcript level\n");
	EXPECT_EQ(p.exons(0), (std::vector<std::pair<uint32_t, uint32_t>>{{1, 10}, {12, 14}}));
	EXPECT_EQ(p.exons(1), (std::vector<std::pair<uint32_t, uint32_t>>{{30, 40}}));
}

TEST(Gtf, MissingIdsFallBackToTheCurrentGeneAndTranscript)
{
	std::string no_gene_id = gtf_line("chr1", "transcript", "1", "9", "+", "transcript_id \"T3\";");
	std::string text = gene("G1", "N1") +             // 1
	                   gene("G2", "N2") +             // 2
	                   gene("G1", "other") +          // 3 duplicate: current gene stays G2
	                   no_gene_id +                   // 4 -> G2
	                   transcript("G1", "T4") +       // 5 not nested: current gene -> G1
	                   transcript("G2", "T3") +       // 6 not nested (-> G2), then duplicate tx id
	                   gtf_line("chr1", "transcript", "1", "9", "+", "transcript_id \"T5\";") +  // 7 -> G2
	                   gtf_line("chr1", "exon", "3", "4", "+", "gene_id G1;") +                 // 8 -> T5
	                   gtf_line("chr1", "gene", "1", "9", "+", "gene_id G3") +                  // 9 no name
	                   transcript("G1", "T6");  // 10 not nested
	ParsedGtf p;
	parse_text(text, &p);
	EXPECT_EQ(p.err,
	          "[WARNING] Line [3]: Duplicated gene id\n"
	          "[WARNING] Line [4]: Gene id is not found in attribute field, using gene id in current gene level\n"
	          "[WARNING] Line [5]: Transcript is not nested in gene level\n"
	          "[WARNING] Line [6]: Transcript is not nested in gene level\n"
	          "[WARNING] Line [6]: Duplicated tran id\n"
	          "[WARNING] Line [7]: Gene id is not found in attribute field, using gene id in current gene level\n"
	          "[WARNING] Line [8]: Using transcript id in current transcript level\n"
	          "[WARNING] Line [9]: Gene name is not found, using gene id instead\n"
	          "[WARNING] Line [10]: Transcript is not nested in gene level\n");
	ASSERT_EQ(p.ann.gene_count, 3u);
	EXPECT_EQ(p.gene_name(0), "N1");  // the first declaration wins
	EXPECT_EQ(p.gene_name(2), "G3");
	ASSERT_EQ(p.ann.tx_count, 4u);
	EXPECT_EQ(p.tx_id(0), "T3");
	EXPECT_EQ(p.ann.tx_gene[0], 1u);
	EXPECT_EQ(p.tx_id(1), "T4");
	EXPECT_EQ(p.ann.tx_gene[1], 0u);
	EXPECT_EQ(p.tx_id(2), "T5");
	EXPECT_EQ(p.ann.tx_gene[2], 1u);
	EXPECT_EQ(p.exons(2), (std::vector<std::pair<uint32_t, uint32_t>>{{3, 4}}));
	EXPECT_EQ(p.tx_id(3), "T6");
	EXPECT_EQ(p.ann.tx_exon_count[0], 0u);
}

TEST(Gtf, DuplicateTranscriptKeepsTheCurrentTranscript)
{
	std::string text = gene("G1", "N1") + transcript("G1", "T1") + transcript("G1", "T2") +
	                   transcript("G1", "T1") + gtf_line("chr1", "exon", "3", "4", "+", "x y");
	ParsedGtf p;
	parse_text(text, &p);
	EXPECT_EQ(p.err,
	          "[WARNING] Line [4]: Duplicated tran id\n"
	          "[WARNING] Line [5]: Using transcript id in current transcript level\n");
	EXPECT_EQ(p.ann.tx_exon_count[0], 0u);
	EXPECT_EQ(p.ann.tx_exon_count[1], 1u);
}

TEST(Gtf, CommentsBlankLinesAndMissingSequences)
{
	std::string text = "#c1\n" + gene("G1", "N1") + "\n" + "#c2\n" + "\t\t\n" +
	                   gtf_line("chrX", "CDS", "20", "10", "+", "gene_id \"GX\";") + transcript("G1", "T1") +
	                   gtf_line("chr1", "CDS", "1", "10", "+", "gene_id \"nope\";") +
	                   gtf_line("chrUn", "gene", "1", "10", "+", "gene_id \"GY\";");
	ParsedGtf p;
	parse_text(text, &p);
	EXPECT_EQ(p.err,
	          "[WARNING] Line [3]: Ignore blank line\n"
	          "[WARNING] Line [5]: Ignore blank line\n"
	          "[WARNING] Line [6]: Sequence [chrX] does not exist in fasta file\n"
	          "[WARNING] Line [9]: Sequence [chrUn] does not exist in fasta file\n");
	EXPECT_EQ(p.ann.gene_count, 1u);
	EXPECT_EQ(p.ann.tx_count, 1u);
}

TEST(Gtf, CrLfLineEnds)
{
	std::string lf = gene("G1", "N1") + transcript("G1", "T1") + exon("T1", 5, 9) +
	                 gtf_line("chr1", "transcript", "1", "9", "+", "gene_id G1; transcript_id \"T2\"");
	std::string crlf;
	for (char c : lf) {
		if (c == '\n') crlf += '\r';
		crlf += c;
	}
	ParsedGtf p;
	parse_text(crlf, &p);
	EXPECT_EQ(p.err, "");
	ASSERT_EQ(p.ann.tx_count, 2u);
	EXPECT_EQ(p.tx_id(1), "T2");
	EXPECT_EQ(p.ann.tx_id_width, 3u);
	EXPECT_EQ(p.gene_name(0), "N1");
	EXPECT_EQ(p.exons(0), (std::vector<std::pair<uint32_t, uint32_t>>{{5, 9}}));
}

TEST(Gtf, NumbersFollowAtoi)
{
	std::string text = gene("G1", "N1") + transcript("G1", "T1") +
	                   gtf_line("chr1", "exon", " 0012", "13abc", "+", "transcript_id T1") +
	                   gtf_line("chr1", "exon", "abc", "0", "+", "transcript_id T1");
	ParsedGtf p;
	parse_text(text, &p);
	EXPECT_EQ(p.exons(0), (std::vector<std::pair<uint32_t, uint32_t>>{{12, 13}, {0, 0}}));
}

TEST(Gtf, FinalLineFeed)
{
	std::string body = gene("G1", "N1") + transcript("G1", "T1");
	std::string last = gtf_line("chr1", "exon", "1", "5", "+", "transcript_id T1");
	{
		ParsedGtf p;
		parse_text(body + last, &p);
		EXPECT_EQ(p.err, "");
		EXPECT_EQ(p.ann.tx_exon_count[0], 1u);
	}
	{
		ParsedGtf p;
		parse_text(body + last.substr(0, last.size() - 1), &p);
		EXPECT_EQ(p.err, "[WARNING] Encountered EOF before newline\n");
		EXPECT_EQ(p.exons(0), (std::vector<std::pair<uint32_t, uint32_t>>{{1, 5}}));
	}
	{
		ParsedGtf p;
		parse_text("", &p);
		EXPECT_EQ(p.err, "");
		EXPECT_EQ(p.ann.gene_count, 0u);
		EXPECT_EQ(p.ann.tx_count, 0u);
	}
}

TEST(Gtf, GzipEqualsPlain)
{
	std::string text = gene("G1", "N1");
	for (int t = 0; t < 500; ++t) {
		std::string tid = "T" + std::to_string(t);
		text += transcript("G1", tid);
		for (int e = 0; e < 5; ++e) text += exon(tid, 100 * e + 1, 100 * e + 50);
	}
	ScratchDir dir;
	write_file(dir.file("a.gtf"), text);
	write_gz_file(dir.file("a.gtf.gz"), text);
	ParsedGtf a, b;
	a.parse(dir.file("a.gtf"));
	b.parse(dir.file("a.gtf.gz"));
	ASSERT_EQ(a.ann.tx_count, 500u);
	ASSERT_EQ(b.ann.tx_count, 500u);
	ASSERT_EQ(a.ann.tx_id_width, b.ann.tx_id_width);
	EXPECT_EQ(memcmp(a.ann.tx_ids, b.ann.tx_ids, (size_t)a.ann.tx_count * a.ann.tx_id_width), 0);
	for (uint32_t t = 0; t < 500; ++t) EXPECT_EQ(a.exons(t), b.exons(t));
	EXPECT_EQ(a.exons(499).back(), std::make_pair(401u, 450u));
}

// More than one buffer of short lines: lines cut by the buffer end must come out whole.
TEST(Gtf, ManyLinesAcrossBufferRefills)
{
	std::string text = gene("G1", "N1") + transcript("G1", "T1");
	const uint32_t n = 120000;
	text.reserve(160u * n);
	char line[512];
	const std::string pad(200, 'x');
	for (uint32_t i = 0; i < n; ++i) {
		// Lines of varying length, so that buffer ends fall at many places within a line.
		int len = snprintf(line, sizeof line, "chr1\tsrc\texon\t%u\t%u\t.\t+\t.\ttranscript_id \"T1\"; pad %.*s\n",
		                   10 * i + 1, 10 * i + 1 + i % 7, (int)(i % 201), pad.c_str());
		text.append(line, (size_t)len);
	}
	ASSERT_GT(text.size(), (size_t)GTF_BUFFER_SIZE);
	ParsedGtf p;
	parse_text(text, &p);
	EXPECT_EQ(p.err, "");
	ASSERT_EQ(p.ann.tx_exon_count[0], n);
	uint32_t bad = 0;
	for (uint32_t i = 0; i < n; ++i)
		if (p.ann.tx_exons[0][i].start != 10 * i + 1 || p.ann.tx_exons[0][i].end != 10 * i + 1 + i % 7) ++bad;
	EXPECT_EQ(bad, 0u);
}

// The longest acceptable line has GTF_BUFFER_SIZE - 1 bytes before its line feed.
TEST(Gtf, LineOfBufferSizeMinusOneIsAccepted)
{
	std::string head = gene("G1", "N1") + transcript("G1", "T1");
	std::string line = gtf_line("chr1", "exon", "7", "9", "+", "transcript_id T1;");
	line.pop_back();
	line.append(GTF_BUFFER_SIZE - 1 - line.size(), ' ');
	ParsedGtf p;
	parse_text(head + line + "\n" + exon("T1", 20, 30), &p);
	EXPECT_EQ(p.err, "");
	EXPECT_EQ(p.exons(0), (std::vector<std::pair<uint32_t, uint32_t>>{{7, 9}, {20, 30}}));
}

TEST(GtfDeathTest, LineLongerThanTheBuffer)
{
	std::string head = gene("G1", "N1") + transcript("G1", "T1");
	std::string line = gtf_line("chr1", "exon", "7", "9", "+", "transcript_id T1;");
	line.pop_back();
	line.append(GTF_BUFFER_SIZE - line.size(), ' ');
	expect_fatal(head + line + "\n", "^\\[ERROR\\] Out of buffer, line is too long \\(over \\[16777216\\]\\)\n\n$");
	// The same without a final line feed: the line still does not fit.
	expect_fatal(head + line, "^\\[ERROR\\] Out of buffer, line is too long \\(over \\[16777216\\]\\)\n\n$");
}

TEST(GtfDeathTest, FieldCount)
{
	expect_fatal("chr1\t\tgene\t1\t10\t.\t+\t.\tgene_id \"G\";\n",
	             "^\\[ERROR\\] Line \\[1\\]: Number of fields \\[8\\] is not equal to 9\n$");
	expect_fatal("#x\n" + gene("G1", "N1") + "chr1\tsrc\tgene\t1\t10\t.\t+\t.\tgene_id G2;\textra\n",
	             "^\\[ERROR\\] Line \\[3\\]: Number of fields \\[10\\] is not equal to 9\n$");
	// A carriage return alone, or blanks alone, is one field.
	expect_fatal(gene("G1", "N1") + "\r\n", "^\\[ERROR\\] Line \\[2\\]: Number of fields \\[1\\] is not equal to 9\n$");
	expect_fatal(gene("G1", "N1") + "   \n", "^\\[ERROR\\] Line \\[2\\]: Number of fields \\[1\\] is not equal to 9\n$");
}

TEST(GtfDeathTest, StartAfterEnd)
{
	// Checked for every feature type on a known sequence.
	expect_fatal(gene("G1", "N1") + gtf_line("chr1", "CDS", "20", "10", "+", "gene_id G1;"),
	             "^\\[ERROR\\] Line \\[2\\]: Start position \\[20\\] > End position \\[10\\]\n$");
	// Compared unsigned: -1 is the largest start.
	expect_fatal(gtf_line("chr2", "exon", "-1", "10", "+", "transcript_id T1;"),
	             "^\\[ERROR\\] Line \\[1\\]: Start position \\[-1\\] > End position \\[10\\]\n$");
}

TEST(GtfDeathTest, GeneErrors)
{
	expect_fatal(gtf_line("chr1", "gene", "1", "10", "+", "gene_name N1; gene_version 3"),
	             "^\\[ERROR\\] Line \\[1\\]: Gene id is not found in attribute field\n$");
	// The key as the last token has no value.
	expect_fatal(gtf_line("chr1", "gene", "1", "10", "+", "gene_name N1; gene_id"),
	             "^\\[ERROR\\] Line \\[1\\]: Gene id is not found in attribute field\n$");
}

TEST(GtfDeathTest, TranscriptErrors)
{
	expect_fatal(gene("G1", "N1") + transcript("GX", "T1"),
	             "^\\[ERROR\\] Line \\[2\\]: No information about gene \\[GX\\] was declared\n$");
	expect_fatal("#h\n" + gtf_line("chr1", "transcript", "1", "10", "+", "transcript_id T1;"),
	             "^\\[ERROR\\] Line \\[2\\]: No gene candidate for transcript\n$");
	expect_fatal(gene("G1", "N1") + transcript("G1", "T1", "-"),
	             "^\\[ERROR\\] Line \\[2\\]: Transcript strand is not consistent with gene strand\n$");
	expect_fatal(gene("G1", "N1") + transcript("G1", "T1", "+", "chr2"),
	             "^\\[ERROR\\] Line \\[2\\]: Transcript is not on the same chromosome with gene\n$");
	expect_fatal(gene("G1", "N1") + gtf_line("chr1", "transcript", "1", "10", "+", "gene_id G1;"),
	             "^\\[ERROR\\] Line \\[2\\]: Transcript id is not found in attribute field\n$");
	// The fallback gene is checked as well.
	expect_fatal(gene("G1", "N1") + gtf_line("chr1", "transcript", "1", "10", "-", "transcript_id T1"),
	             "^\\[WARNING\\] Line \\[2\\]: Gene id is not found in attribute field, using gene id in current "
	             "gene level\n\\[ERROR\\] Line \\[2\\]: Transcript strand is not consistent with gene strand\n$");
}

TEST(GtfDeathTest, ExonErrors)
{
	std::string head = gene("G1", "N1") + transcript("G1", "T1");
	expect_fatal(head + exon("TX", 1, 5),
	             "^\\[ERROR\\] Line \\[3\\]: No information about transcript \\[TX\\] was declared\n$");
	expect_fatal(gene("G1", "N1") + gtf_line("chr1", "exon", "1", "10", "+", "gene_id G1;"),
	             "^\\[ERROR\\] Line \\[2\\]: No transcript candidate for exon\n$");
	expect_fatal(head + exon("T1", 1, 5, "-"),
	             "^\\[ERROR\\] Line \\[3\\]: Exon strand is not consistent with transcript strand\n$");
	expect_fatal(head + exon("T1", 1, 5, "+", "chr2"),
	             "^\\[ERROR\\] Line \\[3\\]: Exon is not on the same chromosome with the transcript\n$");
}

TEST(GtfDeathTest, UnreadableFiles)
{
	ScratchDir dir;
	std::string missing = dir.file("missing.gtf");
	EXPECT_EXIT(parse_path_only(missing), ::testing::ExitedWithCode(1),
	            "^\\[ERROR\\] Unable to open file \\[.*/missing\\.gtf\\] to read\n$");
	std::string directory = dir.path();
	EXPECT_EXIT(parse_path_only(directory), ::testing::ExitedWithCode(1),
	            "^\\[ERROR\\] Unable to read file \\[.*vorat-test-[^/]*\\]\n$");
	std::string text;
	for (int i = 0; i < 2000; ++i) text += gene("G" + std::to_string(i), "N" + std::to_string(i * 7919));
	write_gz_file(dir.file("full.gtf.gz"), text);
	std::string gz = read_file(dir.file("full.gtf.gz"));
	std::string cut = dir.file("cut.gtf.gz");
	write_file(cut, gz.substr(0, gz.size() * 2 / 3));
	EXPECT_EXIT(parse_path_only(cut), ::testing::ExitedWithCode(1),
	            "^\\[ERROR\\] Unable to read file \\[.*cut\\.gtf\\.gz\\]\n$");
}

}  // namespace

namespace {

std::string shared_data(const std::string &rel)
{
	return std::string(VORAT_SOURCE_DIR) + "/../shared/data/" + rel;
}

bool readable(const std::string &path)
{
	FILE *fp = fopen(path.c_str(), "rb");
	if (fp) fclose(fp);
	return fp != nullptr;
}

// NCBI style: no gene_name (every gene warns and is named by its id), CDS and codon lines.
TEST(GtfRealData, RefSeqChromosome21)
{
	std::string path = shared_data("pbmc5k-v3-chr21/GRCh38.p14_genomic_NC_000021.9.gtf.gz");
	if (!readable(path)) GTEST_SKIP() << path << " not available";
	ParsedGtf p;
	release_name_map(p.seqs);
	p.seqs = make_name_map({"NC_000021.9"});
	p.parse(path);
	EXPECT_EQ(p.ann.gene_count, 829u);
	EXPECT_EQ(p.ann.tx_count, 2114u);
	EXPECT_EQ(p.err.find("[ERROR]"), std::string::npos);
	for (uint32_t g = 0; g < p.ann.gene_count; ++g) ASSERT_EQ(p.gene_name(g), p.gene_id(g));
	uint64_t exons = 0;
	for (uint32_t t = 0; t < p.ann.tx_count; ++t) {
		ASSERT_LT(p.ann.tx_gene[t], p.ann.gene_count);
		for (uint32_t i = 0; i < p.ann.tx_exon_count[t]; ++i)
			ASSERT_LE(p.ann.tx_exons[t][i].start, p.ann.tx_exons[t][i].end);
		exons += p.ann.tx_exon_count[t];
	}
	EXPECT_GT(exons, 2114u);
}

TEST(GtfRealData, EnsemblMouseExcerpt)
{
	std::string path = shared_data("mouse-v2-sample/mouse_truncated.gtf");
	if (!readable(path)) GTEST_SKIP() << path << " not available";
	ParsedGtf p;
	release_name_map(p.seqs);
	p.seqs = make_name_map({"1"});
	p.parse(path);
	EXPECT_EQ(p.err, "");
	EXPECT_EQ(p.ann.gene_count, 54u);
	for (uint32_t g = 0; g < p.ann.gene_count; ++g) EXPECT_NE(p.gene_name(g), p.gene_id(g));
}

}  // namespace
