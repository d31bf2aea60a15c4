// Input files of reads: plain text or gzip, decompressed with ISA-L's inflate (several times
// faster than zlib's, and a count run inflates every byte of its reads).
//
// The file is read as a stream, never sought, so pipes work. What comes out is what zlib's
// gzread gives: a file that does not start with the gzip magic is passed through unchanged;
// gzip members that follow one another are joined; bytes after the last member that do not
// start another are ignored; a cut or damaged member is an error.
#include <cstdlib>
#include <cstring>
#include <isa-l/igzip_lib.h>
#include "base/base.h"
#include "reads/reads.h"


// Bytes of `in` read ahead and not yet decoded (or, for plain files, not yet handed out).
static uint8_t *pending(const InputFile *in, uint32_t *count)
{
	*count = in->inflater->avail_in;
	return in->inflater->next_in;
}

// Read more of the file behind the pending bytes (moved to the buffer's start).
// Returns 0, or -1 on a read error; sets file_eof at the file's end.
static int refill(InputFile *in)
{
	inflate_state *st = in->inflater;
	if (st->avail_in > 0 && st->next_in != in->packed) memmove(in->packed, st->next_in, st->avail_in);
	st->next_in = in->packed;
	const size_t room = PACKED_BUFFER_SIZE - st->avail_in;
	const size_t n = fread(in->packed + st->avail_in, 1, room, in->file);
	if (n < room) {
		if (ferror(in->file)) return -1;
		in->file_eof = 1;
	}
	st->avail_in += (uint32_t)n;
	return 0;
}

// At least `n` bytes pending, unless the file ends first.
static int want_pending(InputFile *in, uint32_t n)
{
	while (in->inflater->avail_in < n && !in->file_eof)
		if (refill(in) != 0) return -1;
	return 0;
}

static int starts_member(const InputFile *in)
{
	uint32_t count;
	const uint8_t *p = pending(in, &count);
	return count >= 2 && p[0] == 0x1f && p[1] == 0x8b;
}

// Start decoding a gzip member at the pending bytes (its checksum and length are verified).
static void start_member(InputFile *in)
{
	inflate_state *st = in->inflater;
	uint8_t *next = st->next_in;
	const uint32_t avail = st->avail_in;
	isal_inflate_init(st);
	st->next_in = next;
	st->avail_in = avail;
	st->crc_flag = ISAL_GZIP;
}

int open_input_file(InputFile *in, const char *path)
{
	memset(in, 0, sizeof *in);
	in->file = fopen(path, "rb");
	if (!in->file) return -1;
	in->inflater = (inflate_state *)malloc_or_die(1, sizeof(inflate_state));
	in->packed = (uint8_t *)malloc_or_die(PACKED_BUFFER_SIZE, 1);
	in->inflater->next_in = in->packed;
	in->inflater->avail_in = 0;
	if (want_pending(in, 2) != 0) {
		close_input_file(in);
		return -1;
	}
	in->gzip = starts_member(in);
	if (in->gzip) start_member(in);
	return 0;
}

// Plain files: the bytes read ahead at opening first, then the file itself.
static int64_t read_plain(InputFile *in, char *dst, int64_t want)
{
	uint32_t count;
	uint8_t *p = pending(in, &count);
	const int64_t from_buffer = count < want ? count : want;
	memcpy(dst, p, (size_t)from_buffer);
	in->inflater->next_in += from_buffer;
	in->inflater->avail_in -= (uint32_t)from_buffer;
	int64_t got = from_buffer;
	if (got < want && !in->file_eof) {
		const size_t n = fread(dst + got, 1, (size_t)(want - got), in->file);
		if (n < (size_t)(want - got)) {
			if (ferror(in->file)) return -1;
			in->file_eof = 1;
		}
		got += (int64_t)n;
	}
	return got;
}

int64_t read_input_file(InputFile *in, char *dst, int64_t want)
{
	if (!in->gzip) return read_plain(in, dst, want);
	inflate_state *st = in->inflater;
	int64_t got = 0;
	while (got < want && !in->finished) {
		if (st->avail_in == 0 && !in->file_eof && refill(in) != 0) return -1;
		const int64_t room = want - got;
		const uint32_t chunk = room > (int64_t)UINT32_MAX ? UINT32_MAX : (uint32_t)room;
		st->next_out = (uint8_t *)dst + got;
		st->avail_out = chunk;
		if (isal_inflate(st) != ISAL_DECOMP_OK) return -1;
		got += chunk - st->avail_out;
		if (st->block_state == ISAL_BLOCK_FINISH) {
			// The member and its checksum are done: another member, or the end.
			if (want_pending(in, 2) != 0) return -1;
			if (starts_member(in))
				start_member(in);
			else
				in->finished = 1;
		} else if (st->avail_out > 0 && st->avail_in == 0 && in->file_eof) {
			return -1;  // the file ends inside a member
		}
	}
	return got;
}

void close_input_file(InputFile *in)
{
	if (in->file) fclose(in->file);
	free(in->inflater);
	free(in->packed);
	memset(in, 0, sizeof *in);
}
