// The first pass of a run with a barcode whitelist: the read-1 files alone, counting the reads
// whose barcode is on the list as it is. Those counts are the priors of the correction that
// the mapping pass applies to every other read.
#include <cstring>
#include <vector>
#include "count/count.h"

// Text of a read file taken at a time.
#define PASS_CHUNK (1 << 22)

// Count the exact matches of one read-1 file into list->exact.
static void count_file(const char *path, const LibraryType &layout, Whitelist *list)
{
	const ReadFormat format = detect_read_format(path);
	InputFile in;
	if (open_input_file(&in, path) != 0) fatal("[ERROR] Could not open file: %s\n", path);
	const int lines_per_record = format == READ_FASTA ? 2 : 4;
	std::vector<char> text((size_t)PASS_CHUNK + READ_BUFFER_SIZE + 1);
	size_t kept = 0;     // bytes of an unfinished line carried to the next chunk
	uint64_t line = 0;   // lines seen; the sequence is line 1 of each record
	for (;;) {
		const int64_t got = read_input_file(&in, text.data() + kept, PASS_CHUNK);
		if (got < 0) fatal("[ERROR] Could not read file: %s\n", path);
		const size_t fill = kept + (size_t)got;
		size_t start = 0;
		for (;;) {
			const char *lf = (const char *)memchr(text.data() + start, '\n', fill - start);
			if (!lf) break;
			const size_t end = (size_t)(lf - text.data());
			if (line % lines_per_record == 1 && end - start >= (size_t)(layout.barcode_start + layout.barcode_len)) {
				const int64_t k =
					whitelist_find(list, pack_bases(text.data() + start + layout.barcode_start, layout.barcode_len));
				if (k >= 0) ++list->exact[(size_t)k];
			}
			++line;
			start = end + 1;
		}
		kept = fill - start;
		if (kept > READ_BUFFER_SIZE) fatal("\n[ERROR] Read is too long from file: %s\n", path);
		memmove(text.data(), text.data() + start, kept);
		if (got < PASS_CHUNK) break;
	}
	// A last line without its line feed.
	if (kept && line % lines_per_record == 1 && kept >= (size_t)(layout.barcode_start + layout.barcode_len)) {
		const int64_t k = whitelist_find(list, pack_bases(text.data() + layout.barcode_start, layout.barcode_len));
		if (k >= 0) ++list->exact[(size_t)k];
	}
	close_input_file(&in);
}

void count_listed_barcodes(const CountOptions *opt, Whitelist *list)
{
	for (int32_t f = 0; f < opt->n_pairs; ++f) count_file(opt->r1_files[f], opt->lib_type, list);
}
