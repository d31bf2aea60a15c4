// Genome FASTA loading: every distinct sequence with its name and length, and the
// name -> index map through which the GTF parser resolves its first column.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <zlib.h>
#include "base/base.h"
#include "index/index.h"

// gzread reports a failure as -1, which kseq would take for a byte count. Turn it into
// an end of input here; the caller asks gzerror afterwards whether the input ended well.
static int gzread_or_stop(gzFile fp, void *buf, unsigned len)
{
	int n = gzread(fp, buf, len);
	return n < 0 ? 0 : n;
}

#include <kseq.h>
KSEQ_INIT(gzFile, gzread_or_stop)

struct FastaReader {
	GzFilePtr file;
	kseq_t *seq;
	const char *path;
};

FastaReader *fasta_open(const char *path)
{
	GzFilePtr fp(gzopen(path, "r"));
	if (!fp) fatal("[ERROR] Unable to open file [%s] to read\n", path);
	FastaReader *reader = new FastaReader;
	reader->seq = kseq_init(fp.get());
	reader->file = std::move(fp);
	reader->path = path;
	return reader;
}

bool fasta_next(FastaReader *reader, FastaRecord *record)
{
	if (kseq_read(reader->seq) >= 0) {
		record->name = reader->seq->name.s;
		record->bases = reader->seq->seq.s;
		record->length = reader->seq->seq.l;
		return true;
	}
	// zlib keeps the first error of a stream; anything but Z_OK after the last read means
	// a device error or a damaged / truncated gzip member.
	int err = Z_OK;
	gzerror(reader->file.get(), &err);
	if (err != Z_OK) fatal("[ERROR] Unable to read file [%s]\n", reader->path);
	return false;
}

void fasta_close(FastaReader *reader)
{
	if (!reader) return;
	kseq_destroy(reader->seq);
	delete reader;
}

void load_genome_fasta(const char *path, GenomeSequences *genome, NameMap *names)
{
	FastaReaderPtr reader(fasta_open(path));
	FastaRecord record;

	uint32_t count = 0, capacity = 0, name_width = 0;
	uint32_t *lengths = nullptr;
	char **bases = nullptr;
	const char **kept_names = nullptr;  // keys owned by `names`

	while (fasta_next(reader.get(), &record)) {
		char *name = strdup(record.name);
		int absent = 0;
		khint_t k = kh_put(str, names, name, &absent);
		if (!absent) {
			report("[WARNING] Duplicated sequence name [%s] in genome fasta\n", record.name);
			free(name);
			continue;
		}
		if (count == capacity) {
			capacity = capacity ? capacity * 2 : 64;
			lengths = (uint32_t *)realloc_or_die(lengths, (size_t)capacity * sizeof(uint32_t));
			bases = (char **)realloc_or_die(bases, (size_t)capacity * sizeof(char *));
			kept_names = (const char **)realloc_or_die(kept_names, (size_t)capacity * sizeof(char *));
		}
		kh_value(names, k) = count;
		size_t len = record.length;
		bases[count] = (char *)realloc_or_die(nullptr, len + 1);
		memcpy(bases[count], record.bases, len);
		bases[count][len] = '\0';
		lengths[count] = (uint32_t)len;
		kept_names[count] = name;
		uint32_t width = (uint32_t)strlen(name) + 1;
		if (width > name_width) name_width = width;
		++count;
	}
	reader.reset();

	char *table = (char *)malloc_or_die((size_t)count * name_width + 1, 1, true);
	for (uint32_t i = 0; i < count; ++i)
		memcpy(table + (size_t)i * name_width, kept_names[i], strlen(kept_names[i]));
	free(kept_names);

	genome->seq_count = count;
	genome->name_width = name_width;
	genome->seq_lengths = lengths;
	genome->seq_names = table;
	genome->seq_bases = bases;
}

void release_genome_sequences(GenomeSequences *genome)
{
	if (genome->seq_bases)
		for (uint32_t i = 0; i < genome->seq_count; ++i) free(genome->seq_bases[i]);
	free(genome->seq_bases);
	free(genome->seq_lengths);
	free(genome->seq_names);
	memset(genome, 0, sizeof *genome);
}

void release_name_map(NameMap *map)
{
	if (!map) return;
	for (khint_t k = kh_begin(map); k != kh_end(map); ++k)
		if (kh_exist(map, k)) free((char *)kh_key(map, k));
	kh_destroy(str, map);
}
