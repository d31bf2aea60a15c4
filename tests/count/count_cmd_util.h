// Helpers of the end-to-end count tests that run vora-T on read files of their own: the
// fixture's index path, record counting, read-file rewriting (gzip, FASTA, damage) and
// the parsing of statistics lines and matrix files.
#ifndef VORAT_TESTS_COUNT_CMD_UTIL_H
#define VORAT_TESTS_COUNT_CMD_UTIL_H

#include <zlib.h>
#include <cstdint>
#include <cstring>
#include <atomic>
#include <functional>
#include <map>
#include <thread>
#include <string>
#include <vector>
#include "sim_run.h"

namespace count_cmd {

// Path prefix of the fixture's index (absolute), for runs in other directories.
inline std::string index_prefix()
{
	return sim_run::Fixture::get().dir() + "/idx/sim";
}

// `vora-T count` in `dir` on the fixture's index with the given options (read files and all).
inline RunResult count_in(const std::string &dir, const std::string &args)
{
	return run_vorat(dir, "count -x '" + index_prefix() + "' " + args);
}

// Runs the jobs two at a time (a run is mostly the loading of the index, which one core
// does), results in job order.
inline std::vector<RunResult> run_two_at_a_time(const std::vector<std::function<RunResult()>> &jobs)
{
	std::vector<RunResult> results(jobs.size());
	std::atomic<size_t> next{0};
	auto work = [&]() {
		for (size_t i; (i = next++) < jobs.size();) results[i] = jobs[i]();
	};
	std::thread helper(work);
	work();
	helper.join();
	return results;
}

// FASTQ records of a text counted the simple way: lines / 4 (a last line without line feed counts).
inline long long fastq_records(const std::string &text)
{
	return (long long)split_lines(text).size() / 4;
}

// Record `index` (0-based) of a FASTQ text as its four lines.
inline std::vector<std::string> fastq_record(const std::string &text, size_t index)
{
	std::vector<std::string> lines = split_lines(text);
	return std::vector<std::string>(lines.begin() + 4 * index, lines.begin() + 4 * index + 4);
}

// The first `n` records of a FASTQ text (whole lines, each with its line feed).
inline std::string fastq_head(const std::string &text, size_t n)
{
	size_t pos = 0;
	for (size_t lines = 0; lines < 4 * n && pos < text.size(); ++lines) {
		size_t lf = text.find('\n', pos);
		pos = lf == std::string::npos ? text.size() : lf + 1;
	}
	return text.substr(0, pos);
}

// Apply `edit` to line `line` (0-based) of a text; the other lines stay byte for byte.
template <class Edit>
inline std::string edit_line(const std::string &text, size_t line, Edit edit)
{
	std::vector<std::string> lines = split_lines(text);
	edit(lines.at(line));
	std::string out;
	for (const std::string &l : lines) out += l + "\n";
	return out;
}

// The same reads as single-line FASTA: header line with ">" instead of "@", then the bases.
inline std::string fastq_to_fasta(const std::string &text)
{
	std::vector<std::string> lines = split_lines(text);
	std::string out;
	for (size_t i = 0; i + 3 < lines.size(); i += 4) out += ">" + lines[i].substr(1) + "\n" + lines[i + 1] + "\n";
	return out;
}

inline bool write_gz(const std::string &path, const std::string &text)
{
	gzFile gz = gzopen(path.c_str(), "wb6");
	if (!gz) return false;
	bool ok = text.empty() || gzwrite(gz, text.data(), (unsigned)text.size()) == (int)text.size();
	return gzclose(gz) == Z_OK && ok;
}

// Statistics printed at the end of a count run: the value of every "[INFO] <label> : <n>"
// line, in order, with the label trimmed.
inline std::vector<std::pair<std::string, long long>> stat_lines(const std::string &err)
{
	std::vector<std::pair<std::string, long long>> out;
	for (const std::string &l : split_lines(err)) {
		if (l.compare(0, 7, "[INFO] ") != 0) continue;
		size_t colon = l.find(" : ");
		if (colon == std::string::npos) continue;
		std::string label = l.substr(7, colon - 7);
		label.erase(label.find_last_not_of(' ') + 1);
		out.emplace_back(label, std::atoll(l.c_str() + colon + 3));
	}
	return out;
}

// A key=value file of two tab-separated columns (the simulator's truth/summary.tsv).
inline std::map<std::string, long long> read_tsv_numbers(const std::string &path)
{
	std::map<std::string, long long> out;
	for (const std::string &l : split_lines(read_file(path))) {
		size_t tab = l.find('\t');
		if (tab != std::string::npos) out[l.substr(0, tab)] = std::atoll(l.c_str() + tab + 1);
	}
	return out;
}

// One record of matrix.bin (1-based gene and barcode numbers).
struct Entry {
	uint32_t gene, barcode, count;
	bool operator==(const Entry &o) const { return gene == o.gene && barcode == o.barcode && count == o.count; }
};

// matrix.bin read back: G, N and the records in file order; false when the size is wrong.
inline bool read_matrix_bin(const std::string &path, int32_t *genes, int32_t *cells, std::vector<Entry> *entries)
{
	std::string bin = read_file(path);
	if (bin.size() < 16) return false;
	uint64_t e;
	memcpy(genes, bin.data(), 4);
	memcpy(cells, bin.data() + 4, 4);
	memcpy(&e, bin.data() + 8, 8);
	if (bin.size() != 16 + 12 * e) return false;
	entries->resize(e);
	for (uint64_t i = 0; i < e; ++i) memcpy(&(*entries)[i], bin.data() + 16 + 12 * i, 12);
	return true;
}

// Every regular file of two output directories, compared byte for byte; "" when equal, else
// what differs.
inline std::string compare_dirs(const std::string &a, const std::string &b)
{
	std::vector<std::string> fa, fb;
	list_files(a, "", &fa);
	list_files(b, "", &fb);
	if (fa != fb) return "different file lists";
	if (fa.empty()) return "no files";
	std::string diff;
	for (const std::string &name : fa)
		if (read_file(a + "/" + name) != read_file(b + "/" + name)) diff += name + " ";
	return diff;
}

}  // namespace count_cmd

#endif
