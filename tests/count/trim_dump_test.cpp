// The alignment dump and the trimming of read 2 through the binary: one record per read pair,
// with its columns checked against the read files, the statistics and the annotation; reads
// given an oligo or a poly(A) tail count for their gene with --trim-adapters, and a run
// without the option trims nothing and reports nothing of it.
#include <gtest/gtest.h>
#include <regex>
#include "count_cmd_util.h"

using namespace count_cmd;

namespace {

const std::string TSO = "AAGCAGTGGTATCAACGCAGAGTACATGGG";

std::vector<std::string> split_tabs(const std::string &line)
{
	std::vector<std::string> out;
	size_t start = 0;
	for (size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1)
		out.push_back(line.substr(start, tab - start));
	out.push_back(line.substr(start));
	return out;
}

// Transcript id -> (gene id, spliced length) from the simulator's GTF.
std::map<std::string, std::pair<std::string, long long>> transcripts_of(const std::string &gtf)
{
	std::map<std::string, std::pair<std::string, long long>> out;
	const std::regex ids("gene_id \"([^\"]+)\"; transcript_id \"([^\"]+)\"");
	for (const std::string &l : split_lines(read_file(gtf))) {
		std::vector<std::string> f = split_tabs(l);
		std::smatch m;
		if (f.size() < 9 || f[2] != "exon" || !std::regex_search(f[8], m, ids)) continue;
		auto &t = out[m[2]];
		t.first = m[1];
		t.second += std::atoll(f[4].c_str()) - std::atoll(f[3].c_str()) + 1;
	}
	return out;
}

// Reads of 80 bases at the end of a first exon (plus strand) and the first 18 bases of the
// intron behind it, outside every exon: the transcript alignment is clipped where the genome
// holds the whole read, so the genome wins and the pair is nonexonic.
std::vector<std::string> exon_intron_reads(const std::string &gtf, const std::string &fasta, size_t n)
{
	std::map<std::string, std::string> chroms;
	std::string name;
	for (const std::string &l : split_lines(read_file(fasta))) {
		if (!l.empty() && l[0] == '>') name = l.substr(1, l.find(' ') - 1);
		else chroms[name] += l;
	}
	struct Exon {
		std::string chrom;
		long long start, end;  // 1-based, inclusive
		bool plus, first;
	};
	std::vector<Exon> exons;
	for (const std::string &l : split_lines(read_file(gtf))) {
		std::vector<std::string> f = split_tabs(l);
		if (f.size() < 9 || f[2] != "exon") continue;
		exons.push_back({f[0], std::atoll(f[3].c_str()), std::atoll(f[4].c_str()), f[6] == "+",
		                 f[8].find("exon_number \"1\"") != std::string::npos});
	}
	std::vector<std::string> out;
	for (const Exon &e : exons) {
		if (out.size() == n) break;
		if (!e.plus || !e.first || e.end - e.start + 1 < 80) continue;
		bool clear = true;  // no exon of any transcript reaches into the 18 intron bases
		for (const Exon &o : exons) clear = clear && !(o.chrom == e.chrom && o.start <= e.end + 18 && o.end > e.end);
		std::string seq = chroms[e.chrom].substr((size_t)(e.end - 80), 98);
		for (char &c : seq) c = (char)toupper((unsigned char)c);
		if (clear && seq.size() == 98 && seq.find_first_not_of("ACGT") == std::string::npos) out.push_back(seq);
	}
	return out;
}

std::string record_name(const std::string &header)
{
	return header.substr(1, header.find(' ') - 1);
}

TEST(AlignDump, OneRecordPerPairInInputOrderWithOneThread)
{
	REQUIRE_SIM();
	sim_run::Fixture &f = sim_run::Fixture::get();
	const sim_run::CountRun &plain = f.count("t1", 1);
	const sim_run::CountRun &run = f.count("dump1", 1, "--dump-align");
	ASSERT_EQ(plain.result.status, 0) << plain.result.err;
	ASSERT_EQ(run.result.status, 0) << run.result.err;
	std::vector<std::string> lines = split_lines(read_file(run.out_dir + "/VoraT.align.tsv"));
	std::vector<std::string> r1 = split_lines(read_file(f.sim("R1.fastq")));
	ASSERT_EQ(lines.size() * 4, r1.size());
	const auto transcripts = transcripts_of(f.sim("genes.gtf"));

	std::map<std::string, long long> outcomes;
	for (size_t i = 0; i < lines.size(); ++i) {
		std::vector<std::string> c = split_tabs(lines[i]);
		ASSERT_EQ(c.size(), 10u) << lines[i];
		EXPECT_EQ(c[0], record_name(r1[4 * i])) << lines[i];
		EXPECT_EQ(c[1], r1[4 * i + 1].substr(0, 16)) << lines[i];
		EXPECT_EQ(c[2], r1[4 * i + 1].substr(16, 10)) << lines[i];
		++outcomes[c[3]];
		EXPECT_EQ(c[8] + " " + c[9], "0 0") << lines[i];
		if (c[3] == "unmapped") {
			EXPECT_EQ(c[4] + c[5] + c[6] + c[7], "****") << lines[i];
			continue;
		}
		auto t = transcripts.find(c[5]);
		ASSERT_NE(t, transcripts.end()) << lines[i];
		EXPECT_TRUE(c[4] == (c[3] == "exonic" ? t->second.first : "*") || c[4] == "*") << lines[i];
		const long long pos = std::atoll(c[6].c_str()), mismatches = std::atoll(c[7].c_str());
		EXPECT_GE(pos, 1) << lines[i];
		EXPECT_LE(pos, t->second.second) << lines[i];
		EXPECT_GE(mismatches, 0) << lines[i];
		EXPECT_LE(mismatches, 5) << lines[i];  // (int)(98 x 0.055)
	}
	// The outcomes are those of the statistics, and the dump changes nothing else.
	EXPECT_GT(outcomes["exonic"], 1000);
	EXPECT_GT(outcomes["unmapped"], 1000);
	EXPECT_EQ(outcomes["exonic"] + outcomes["nonexonic"] + outcomes["unmapped"], (long long)lines.size());
	EXPECT_EQ(outcomes["exonic"], sim_run::stat_line(run.result.err, "Number of exonic mapped reads"));
	EXPECT_EQ(outcomes["nonexonic"], sim_run::stat_line(run.result.err, "Number of nonexonic reads"));
	EXPECT_EQ(outcomes["unmapped"], sim_run::stat_line(run.result.err, "Number of unmapped reads"));
	// Without --trim-adapters nothing is trimmed and nothing of it is reported.
	const std::vector<std::pair<std::string, long long>> stats = stat_lines(run.result.err);
	ASSERT_FALSE(stats.empty());
	EXPECT_EQ(stats.back().first, "Number of unmapped reads");
	EXPECT_EQ(run.result.err.find("trimmed"), std::string::npos);
	EXPECT_EQ(read_file(run.out_dir + "/summary.json").find("trimmed"), std::string::npos);
	std::vector<std::string> a, b;
	list_files(plain.out_dir, "", &a);
	list_files(run.out_dir, "", &b);
	b.erase(std::remove(b.begin(), b.end(), "VoraT.align.tsv"), b.end());
	ASSERT_EQ(a, b);
	for (const std::string &name : a)
		EXPECT_TRUE(same_file(plain.out_dir + "/" + name, run.out_dir + "/" + name));
}

// Exonic pairs of the data set rebuilt with artefacts: the oligo (whole or its end) before
// read 2, a poly(A) tail with what follows after its first 60 bases, both leaving too little.
struct Variant {
	const char *tag;
	std::string (*make)(const std::string &seq);
	int front, back;
	bool counts;
};

const Variant VARIANTS[] = {
	{"asis", [](const std::string &s) { return s; }, 0, 0, true},
	{"tso", [](const std::string &s) { return TSO + s.substr(0, s.size() - 30); }, 30, 0, true},
	{"tsoend", [](const std::string &s) { return TSO.substr(12) + s.substr(0, s.size() - 18); }, 18, 0, true},
	{"polya", [](const std::string &s) { return s.substr(0, 60) + std::string(30, 'A') + "GTCAGTTC"; }, 0, 38, true},
	{"short", [](const std::string &s) { return TSO + s.substr(0, 20) + std::string(48, 'A'); }, 30, 48, false},
};

TEST(TrimAdapters, ArtefactReadsCountForTheirGene)
{
	REQUIRE_SIM();
	sim_run::Fixture &f = sim_run::Fixture::get();
	const sim_run::CountRun &dump = f.count("dump1", 1, "--dump-align");
	ASSERT_EQ(dump.result.status, 0) << dump.result.err;
	std::vector<std::string> lines = split_lines(read_file(dump.out_dir + "/VoraT.align.tsv"));
	const std::string r1 = read_file(f.sim("R1.fastq")), r2 = read_file(f.sim("R2.fastq"));

	// 40 pairs that map to one gene without mismatch, each in every variant. Where a tail is
	// put, the two bases before it are not A, so that the tail is exactly the stretch.
	std::string in1, in2;
	std::map<std::string, std::string> gene_of;
	const size_t n_variants = sizeof VARIANTS / sizeof VARIANTS[0];
	for (size_t i = 0; i < lines.size() && gene_of.size() < 40 * n_variants; ++i) {
		std::vector<std::string> c = split_tabs(lines[i]);
		if (c[3] != "exonic" || c[4] == "*" || c[7] != "0") continue;
		std::vector<std::string> p1 = fastq_record(r1, i), p2 = fastq_record(r2, i);
		if (p2[1].substr(18, 2).find('A') != std::string::npos || p2[1].substr(58, 2).find('A') != std::string::npos ||
		    p2[1].find("AAAAAAA") != std::string::npos)
			continue;
		for (const Variant &v : VARIANTS) {
			const std::string name = c[0] + "_" + v.tag, seq = v.make(p2[1]);
			gene_of[name] = c[4];
			in1 += "@" + name + "\n" + p1[1] + "\n+\n" + p1[3] + "\n";
			in2 += "@" + name + "\n" + seq + "\n+\n" + std::string(seq.size(), 'F') + "\n";
		}
	}
	const size_t n = gene_of.size() / n_variants;
	ASSERT_EQ(n, 40u);
	const std::vector<std::string> boundary = exon_intron_reads(f.sim("genes.gtf"), f.sim("genome.fa"), 10);
	ASSERT_EQ(boundary.size(), 10u);
	for (size_t i = 0; i < boundary.size(); ++i) {
		const std::string name = "boundary" + std::to_string(i) + "_boundary";
		in1 += "@" + name + "\n" + std::string(26, 'C') + "\n+\n" + std::string(26, 'F') + "\n";
		in2 += "@" + name + "\n" + boundary[i] + "\n+\n" + std::string(98, 'F') + "\n";
	}
	const std::string dir = f.dir() + "/trim-e2e";
	ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
	write_file(dir + "/R1.fastq", in1);
	write_file(dir + "/R2.fastq", in2);
	const RunResult run = count_in(dir, "-l 0 -t 2 --dump-align --trim-adapters -1 R1.fastq -2 R2.fastq");
	ASSERT_EQ(run.status, 0) << run.err;

	// With the option: every variant as planned, the too-short ones unmapped, and the trimming
	// counted in the statistics lines (after the usual four) and in summary.json.
	std::map<std::string, std::vector<std::string>> trimmed;
	for (const std::string &l : split_lines(read_file(dir + "/VoraT.align.tsv"))) {
		std::vector<std::string> c = split_tabs(l);
		trimmed[c[0]] = c;
	}
	ASSERT_EQ(trimmed.size(), gene_of.size() + boundary.size());
	long long nonexonic = 0;
	for (const auto &kv : trimmed) {
		const std::vector<std::string> &c = kv.second;
		const std::string tag = kv.first.substr(kv.first.rfind('_') + 1);
		if (tag == "boundary") {
			// Nonexonic with the transcript alignment that lost; a few may find no alignment.
			EXPECT_TRUE(c[3] == "nonexonic" || c[3] == "unmapped") << kv.first;
			EXPECT_EQ(c[4], "*") << kv.first;
			EXPECT_EQ(c[5].substr(0, 4), c[3] == "nonexonic" ? "SIMT" : "*") << kv.first;
			nonexonic += c[3] == "nonexonic";
		}
		for (const Variant &v : VARIANTS) {
			if (tag != v.tag) continue;
			EXPECT_EQ(c[3], v.counts ? "exonic" : "unmapped") << kv.first;
			EXPECT_EQ(c[4], v.counts ? gene_of[kv.first] : "*") << kv.first;
			EXPECT_EQ(c[8], std::to_string(v.front)) << kv.first;
			EXPECT_EQ(c[9], std::to_string(v.back)) << kv.first;
		}
	}
	std::vector<std::pair<std::string, long long>> stats = stat_lines(run.err);
	ASSERT_GE(stats.size(), 8u) << run.err;
	std::vector<std::pair<std::string, long long>> tail(stats.end() - 8, stats.end());
	EXPECT_GE(nonexonic, 5);
	const long long pairs = (long long)(5 * n + boundary.size());
	const std::vector<std::pair<std::string, long long>> expected = {
		{"Total number of reads", pairs},
		{"Number of exonic mapped reads", (long long)(4 * n)},
		{"Number of nonexonic reads", nonexonic},
		{"Number of unmapped reads", pairs - (long long)(4 * n) - nonexonic},
		{"Number of TSO-trimmed reads", (long long)(3 * n)},
		{"Number of poly(A)-trimmed reads", (long long)(2 * n)},
		{"Number of quality-trimmed reads", 0},
		{"Number of reads too short to map", (long long)n},
	};
	EXPECT_EQ(tail, expected);
	EXPECT_NE(read_file(dir + "/summary.json").find("\"trimmed_reads\": {\"tso\": 120, \"polya\": 80, "
	                                                      "\"quality\": 0, \"too_short\": 40},"),
	          std::string::npos);
}

}  // namespace
