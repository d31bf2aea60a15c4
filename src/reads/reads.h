// Read input: pairs of read files cut into blocks of equally many complete records,
// parsed in place.
#ifndef VORAT_READS_H
#define VORAT_READS_H

#include <cstdint>
#include <cstdio>

struct inflate_state;

#define READ_BUFFER_SIZE 1048576

// Format of a read file, decided by its first byte.
enum ReadFormat : uint32_t {
	READ_FASTQ = 0,  // "@"
	READ_FASTA = 1,  // ">"
};

#define PACKED_BUFFER_SIZE (1 << 18)  // bytes of a read file read ahead at a time

// A read file opened for streaming: plain text, or gzip members decoded one after the other.
struct InputFile {
	FILE *file;
	inflate_state *inflater;  // its next_in/avail_in are the bytes read ahead, for plain files too
	uint8_t *packed;          // buffer of the bytes read ahead
	int32_t gzip;             // the file starts with the gzip magic
	int32_t file_eof;         // the file has no more bytes to read
	int32_t finished;         // gzip: the last member is decoded
};

// One open read file with its read-ahead buffer (READ_BUFFER_SIZE + 1 bytes).
struct ReadStream {
	InputFile input;
	int32_t fill;        // valid bytes in buffer
	int32_t eof;         // set once a read returned fewer bytes than asked
	char *buffer;
	const char *path;    // for messages
};

// One pair of read files, used by one reader thread at a time.
struct ReadPairSource {
	ReadStream stream1;
	ReadStream stream2;
	int32_t done;        // exhausted: later calls deliver nothing
	ReadFormat format;   // of both files
	uint32_t delivered;  // record pairs delivered in earlier blocks
};

// One parsed read; every field points into the block text (changed in place).
struct ReadRecord {
	char *seq;
	char *name;       // header after "@"/">" up to the first blank or tab, "/1" "/2" removed
	char *qual;       // FASTQ only, else null
	char *plus_line;  // FASTQ only, else null
	char *comment;    // header text after the first blank or tab, or null
	int32_t len;      // bytes in seq
};

// ---- input files (input_file.cpp) ----

// Open `path` and look at its first bytes; -1 when it cannot be opened or read.
int open_input_file(InputFile *in, const char *path);
// Up to `want` bytes of the file's text (decompressed); fewer only at its end. -1 when the file
// cannot be read, a gzip member is damaged or the file ends inside one. Bytes after the last
// gzip member that do not start another are ignored, as gzip and zlib do.
int64_t read_input_file(InputFile *in, char *dst, int64_t want);
// Close the file and free the buffers (safe on a closed or failed file).
void close_input_file(InputFile *in);

// ---- read files (read_file.cpp) ----

// ReadFormat of a file from its first byte; ends the run when it cannot be opened, is empty
// or starts with anything but '@' or '>'.
ReadFormat detect_read_format(const char *path);
// Check a pair (identical names, equal formats) and open both files.
void open_read_pair(ReadPairSource *source, const char *path1, const char *path2);
// Offset just past the next complete record starting at `start`, or 0 when none is complete yet.
int32_t find_record_end(ReadStream *stream, int32_t start, ReadFormat format);
// Fill a block: exchanges *text1 / *text2 (READ_BUFFER_SIZE + 1 bytes each, from malloc) with the
// stream buffers, so buffers circulate between pairs and batches and are released with free().
// Returns the number of pairs delivered before this block, or -1 when exhausted; the first -1
// closes the pair (close_read_pair) and warns when one file still held reads that had no mate.
// A damaged gzip stream ends the run with "[ERROR] Could not read file: <path>".
// A record that cannot fit in READ_BUFFER_SIZE bytes ends the run ("Read is too long").
int64_t fill_batch(ReadPairSource *source, char **text1, char **text2);
// Parse the record at text + *pos in place (line ends and name end become zero bytes).
// 0: parsed, more follow (*pos moved); 1: parsed, last in text; 2: malformed at *pos.
int parse_fastq_record(ReadRecord *record, char *text, int32_t *pos);
int parse_fasta_record(ReadRecord *record, char *text, int32_t *pos);
// Close the files of a pair and release its buffers (safe to call twice).
void close_read_pair(ReadPairSource *source);

// ---- adapter and poly(A) trimming (adapter_trim.cpp) ----

// The template-switch oligo of 10X-Chromium 3' libraries, as it reads at the start of read 2.
extern const char TSO_SEQUENCE[];
#define TSO_MIN_MATCH 10             // shortest end of the oligo that is trimmed
#define TSO_ONE_MISMATCH_FROM 14     // a matched stretch this long may hold one mismatch
#define TSO_TWO_MISMATCHES_FROM 20   // and from this length on two
#define POLYA_MIN_A 8                // A's of a poly(A) stretch that reaches the end of the read
#define POLYA_MIN_A_INSIDE 15        // A's of one with bases behind it
#define TRIM_QUALITY 20              // 3' bases below this Phred quality are trimmed (BWA's rule)

// Bases to drop from each end of a cDNA read before it is mapped.
struct ReadTrim {
	int32_t front;     // the oligo (whole, or the end of it that the read starts with)
	int32_t polya;     // the poly(A) stretch and everything behind it (before `quality`)
	int32_t quality;   // the poorly read 3' end
};

// Where the cDNA of a read begins and ends. First the 3' end whose qualities (Phred + 33; none
// for FASTA) fall below TRIM_QUALITY, by BWA's rule: the cut that maximises the sum of
// (TRIM_QUALITY - quality) over the bases cut. Then the longest end of the oligo that the read
// starts with (one mismatch allowed from 14 bases on, two from 20). Then, in what is left, the
// first poly(A) stretch (a run of A with at most one other base inside) that holds
// POLYA_MIN_A_INSIDE A's, or POLYA_MIN_A when it reaches the end, cut with what follows: real
// transcripts hold short A-rich stretches, the oligo-dT read-through holds about 30 A's. Bases
// compare case-insensitively; N never matches. Pure: the read is not changed.
ReadTrim trim_adapters(const char *seq, const char *qual, int32_t len);
// The part of `read` that `trim` keeps, as a view into the same buffers (seq and qual start
// after the front cut, len leaves out both ends; nothing is copied or changed). The bases
// behind the view are the read's own: users of the view read `len` bases, not up to a
// terminator.
ReadRecord trimmed_span(const ReadRecord *read, ReadTrim trim);

#endif
