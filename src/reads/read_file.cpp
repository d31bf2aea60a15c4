// Read files: format detection, pair opening, cutting two streams into blocks of
// equally many complete records, and in-place parsing of FASTQ and FASTA records.
//
// Plain and gzip files alike go through input_file.cpp.
// Blocks are handed over by exchanging buffers; only the unfinished tail of each
// stream is copied.
#include <cstdlib>
#include <cstring>
#include "base/base.h"
#include "reads/reads.h"


ReadFormat detect_read_format(const char *path)
{
	char first = 0;
	InputFile in;
	if (open_input_file(&in, path) != 0) fatal("[ERROR] Could not open file: %s\n", path);
	const int64_t got = read_input_file(&in, &first, 1);
	close_input_file(&in);
	if (got != 1) fatal("[ERROR] Could not read file: %s\n", path);
	if (first == '@') return READ_FASTQ;
	if (first == '>') return READ_FASTA;
	fatal("[ERROR] Unsupport format of file: %s\n", path);
}

static void open_stream(ReadStream *stream, const char *path)
{
	if (open_input_file(&stream->input, path) != 0) fatal("[ERROR] Could not open file: %s\n", path);
	stream->buffer = (char *)malloc_or_die(READ_BUFFER_SIZE + 1, 1);
	stream->buffer[0] = 0;
	stream->fill = 0;
	stream->eof = 0;
	stream->path = path;
}

void open_read_pair(ReadPairSource *source, const char *path1, const char *path2)
{
	if (strcmp(path1, path2) == 0) fatal("[ERROR] Two identical read files\n");
	const ReadFormat format1 = detect_read_format(path1);
	const ReadFormat format2 = detect_read_format(path2);
	if (format1 != format2) fatal("[ERROR] Format in two read files are not equal\n");
	open_stream(&source->stream1, path1);
	open_stream(&source->stream2, path2);
	source->format = format1;
	source->done = 0;
	source->delivered = 0;
}

static void close_stream(ReadStream *stream)
{
	close_input_file(&stream->input);
	free(stream->buffer);
	stream->buffer = nullptr;
	stream->fill = 0;
}

void close_read_pair(ReadPairSource *source)
{
	close_stream(&source->stream1);
	close_stream(&source->stream2);
	source->done = 1;
}

int32_t find_record_end(ReadStream *stream, int32_t start, ReadFormat format)
{
	const int lines_needed = format == READ_FASTA ? 2 : 4;
	const char *buf = stream->buffer;
	const int32_t fill = stream->fill;
	int32_t pos = start;
	int lines = 0;
	while (pos < fill) {
		const char *lf = (const char *)memchr(buf + pos, '\n', (size_t)(fill - pos));
		if (lf) {
			pos = (int32_t)(lf - buf) + 1;
		} else {
			if (!stream->eof) break;
			pos = fill;  // the file's last line, without a line feed
		}
		if (++lines == lines_needed) return pos;
	}
	if (fill - start < READ_BUFFER_SIZE) return 0;
	fatal("\n[ERROR] Read is too long from file: %s\n", stream->path);
}

// Read as much as fits after the valid bytes; a short read marks the end of the file.
static void top_up(ReadStream *stream)
{
	if (stream->eof) return;
	const int32_t want = READ_BUFFER_SIZE - stream->fill;
	if (want == 0) return;
	// A damaged or cut gzip stream is an error, not the end of the file: reads would be lost silently.
	const int64_t got = read_input_file(&stream->input, stream->buffer + stream->fill, want);
	if (got < 0) fatal("[ERROR] Could not read file: %s\n", stream->path);
	if (got < want) stream->eof = 1;
	stream->fill += (int32_t)got;
	stream->buffer[stream->fill] = 0;
}

// True when the stream still holds anything but line breaks and blanks.
static int has_leftover_text(const ReadStream *stream)
{
	for (int32_t i = 0; i < stream->fill; ++i) {
		const char c = stream->buffer[i];
		if (c != '\n' && c != '\r' && c != ' ' && c != '\t') return 1;
	}
	return 0;
}

// Give the caller the stream's text up to `cut` (exchanging buffers) and keep the tail.
static void hand_over(ReadStream *stream, char **text, int32_t cut)
{
	char *full = stream->buffer;
	stream->buffer = *text;
	*text = full;
	const int32_t rest = stream->fill - cut;
	memcpy(stream->buffer, full + cut, (size_t)rest);
	stream->fill = rest;
	stream->buffer[rest] = 0;
	full[cut] = 0;
}

int64_t fill_batch(ReadPairSource *source, char **text1, char **text2)
{
	if (source->done) return -1;
	ReadStream *s1 = &source->stream1;
	ReadStream *s2 = &source->stream2;
	top_up(s1);
	top_up(s2);

	const ReadFormat format = source->format;
	int32_t cut1 = 0, cut2 = 0;
	uint32_t pairs = 0;
	int32_t end1 = find_record_end(s1, 0, format);
	int32_t end2 = find_record_end(s2, 0, format);
	while (end1 && end2) {
		cut1 = end1;
		cut2 = end2;
		++pairs;
		end1 = find_record_end(s1, cut1, format);
		end2 = find_record_end(s2, cut2, format);
	}

	if (pairs == 0) {
		// Both files should be used up together; whatever one of them still holds cannot
		// be paired and is dropped, which the user must learn about.
		const int left1 = has_leftover_text(s1), left2 = has_leftover_text(s2);
		if (left1 && left2)
			report("[WARNING] Read files [%s] and [%s] both end with an unpaired or incomplete record; the remaining "
			       "reads of both are ignored\n",
			       s1->path, s2->path);
		else if (left1)
			report("[WARNING] Read files [%s] and [%s] end at different records; the remaining reads of [%s] are ignored\n",
			       s1->path, s2->path, s1->path);
		else if (left2)
			report("[WARNING] Read files [%s] and [%s] end at different records; the remaining reads of [%s] are ignored\n",
			       s1->path, s2->path, s2->path);
		close_read_pair(source);
		return -1;
	}

	hand_over(s1, text1, cut1);
	hand_over(s2, text2, cut2);
	const uint32_t before = source->delivered;
	source->delivered += pairs;
	return before;
}

// Header line of a record starting at `text[*pos]` (after the '@' or '>' check): name, comment,
// mate suffix. Returns the offset of the header's line feed, or -1 when the text ends first.
static int32_t parse_header(ReadRecord *record, char *text, int32_t start)
{
	char *name = text + start + 1;
	record->name = name;
	record->comment = nullptr;
	char *end = name + strcspn(name, " \t\n");
	char *name_end = end;
	if (*end == ' ' || *end == '\t') {
		*end = 0;
		record->comment = end + 1;
		end = strchrnul(end + 1, '\n');
	}
	if (*end != '\n') return -1;
	const int64_t e = name_end - text;
	if (e - 2 > 0 && text[e - 2] == '/' && (text[e - 1] == '1' || text[e - 1] == '2')) text[e - 2] = 0;
	*end = 0;
	return (int32_t)(end - text);
}

// Close the record's last line, which runs from `line` to `end` (a line feed or the text end).
static int finish_record(char *text, char *end, int32_t *pos)
{
	if (*end == 0) return 1;
	*end = 0;
	if (end[1] == 0) return 1;
	*pos = (int32_t)(end + 1 - text);
	return 0;
}

int parse_fastq_record(ReadRecord *record, char *text, int32_t *pos)
{
	if (text[*pos] != '@') return 2;
	int32_t header_end = parse_header(record, text, *pos);
	if (header_end < 0) return 2;

	char *seq = text + header_end + 1;
	char *seq_end = strchrnul(seq, '\n');
	if (*seq_end != '\n') return 2;
	*seq_end = 0;
	record->seq = seq;
	record->len = (int32_t)(seq_end - seq);
	if (record->len == 0) return 2;

	char *plus = seq_end + 1;
	if (*plus != '+') return 2;
	char *plus_end = strchrnul(plus, '\n');
	if (*plus_end != '\n') return 2;
	*plus_end = 0;
	record->plus_line = plus;

	char *qual = plus_end + 1;
	char *qual_end = strchrnul(qual, '\n');
	if (qual_end - qual != record->len) return 2;
	record->qual = qual;
	return finish_record(text, qual_end, pos);
}

int parse_fasta_record(ReadRecord *record, char *text, int32_t *pos)
{
	record->qual = nullptr;
	record->plus_line = nullptr;
	if (text[*pos] != '>') return 2;
	int32_t header_end = parse_header(record, text, *pos);
	if (header_end < 0) return 2;

	char *seq = text + header_end + 1;
	char *seq_end = strchrnul(seq, '\n');
	record->seq = seq;
	record->len = (int32_t)(seq_end - seq);
	if (record->len == 0) return 2;
	return finish_record(text, seq_end, pos);
}
