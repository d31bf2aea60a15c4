// Fuzz target: read-pair blocks and the record parsers over arbitrary bytes.
// The input is split in two files at its first 0xFF byte (or in the middle).
#include <cstring>
#include <vector>
#include "fuzz/fuzz_common.h"
#include "reads/reads.h"

static void parse_all(char *text, uint32_t format)
{
	int32_t pos = 0;
	for (int guard = 0; guard < 1000000; ++guard) {
		ReadRecord r;
		int s = format == READ_FASTA ? parse_fasta_record(&r, text, &pos) : parse_fastq_record(&r, text, &pos);
		if (s != 0) break;
	}
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	fuzz_setup();
	static std::set<int> fds = current_fds();
	const uint8_t *cut = (const uint8_t *)memchr(data, 0xFF, size);
	size_t n1 = cut ? (size_t)(cut - data) : size / 2;
	size_t n2 = size - n1 - (cut ? 1 : 0);

	// The parsers alone, on a zero-terminated copy of each half.
	for (int half = 0; half < 2; ++half) {
		std::vector<char> text(READ_BUFFER_SIZE + 1, 0);
		const uint8_t *p = half ? data + size - n2 : data;
		size_t n = half ? n2 : n1;
		memcpy(text.data(), p, n < READ_BUFFER_SIZE ? n : READ_BUFFER_SIZE);
		parse_all(text.data(), READ_FASTQ);
		memcpy(text.data(), p, n < READ_BUFFER_SIZE ? n : READ_BUFFER_SIZE);
		parse_all(text.data(), READ_FASTA);
	}

	// Whole blocks, as a reader and a worker handle them.
	FuzzFile f1(data, n1), f2(data + size - n2, n2);
	ReadPairSource src = {};
	char *t1 = (char *)malloc(READ_BUFFER_SIZE + 1), *t2 = (char *)malloc(READ_BUFFER_SIZE + 1);
	try {
		open_read_pair(&src, f1.path.c_str(), f2.path.c_str());
		while (fill_batch(&src, &t1, &t2) != -1) {
			if (strlen(t1) > READ_BUFFER_SIZE || strlen(t2) > READ_BUFFER_SIZE) abort();
			parse_all(t1, src.format);
			parse_all(t2, src.format);
		}
	} catch (const FatalError &) {
	}
	close_read_pair(&src);
	free(t1);
	free(t2);
	close_leaked_fds(fds);
	return 0;
}
