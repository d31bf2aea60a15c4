// GTF annotation parser: genes, transcripts and their exons, with the strict
// gene > transcript > exon hierarchy on one sequence and one strand.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <zlib.h>
#include "base/base.h"
#include "index/index.h"

#define GTF_FIELDS 9
#define INITIAL_TABLE_SIZE 65536

enum { KEY_GENE_ID, KEY_GENE_NAME, KEY_TRANSCRIPT_ID, KEY_COUNT };
static const char *const ATTRIBUTE_KEYS[KEY_COUNT] = {"gene_id", "gene_name", "transcript_id"};

// Tables under construction. Ids point at the keys of the id maps; names are owned here
// until they are copied into the final table.
struct GtfState {
	const NameMap *seq_names;
	AnnotationInfo *ann;
	NameMap *gene_map;
	NameMap *tx_map;
	uint32_t gene_capacity;
	uint32_t tx_capacity;
	const char **gene_id_list;
	char **gene_name_list;
	const char **tx_id_list;
	int32_t line_no;
	int64_t current_gene;  // -1: none yet
	int64_t current_tx;    // -1: none yet
};

// Keep the printable ASCII bytes (0x20..0x7E) but the two quote characters: this strips
// quotes around a value and a carriage return left at the end of the line.
static char *clean_value(const char *value)
{
	size_t n = strlen(value);
	char *out = (char *)realloc_or_die(nullptr, n + 1);
	size_t j = 0;
	for (size_t i = 0; i < n; ++i) {
		unsigned char c = (unsigned char)value[i];
		if (c >= 0x20 && c <= 0x7E && c != '"' && c != '\'') out[j++] = (char)c;
	}
	out[j] = '\0';
	return out;
}

static inline int is_attribute_separator(char c)
{
	return c == ' ' || c == ';' || c == '=';
}

// Cut the attribute column into tokens in place and pick the value of each key: the token
// right after the first token equal to the key (values are compared as keys too).
static void find_attribute_values(char *attr, const char *values[KEY_COUNT])
{
	int seen[KEY_COUNT] = {0, 0, 0};
	int waiting[KEY_COUNT] = {0, 0, 0};
	for (int k = 0; k < KEY_COUNT; ++k) values[k] = nullptr;
	char *p = attr;
	for (;;) {
		while (*p && is_attribute_separator(*p)) ++p;
		if (!*p) break;
		char *token = p;
		while (*p && !is_attribute_separator(*p)) ++p;
		if (*p) *p++ = '\0';
		for (int k = 0; k < KEY_COUNT; ++k) {
			if (waiting[k]) {
				values[k] = token;
				waiting[k] = 0;
			}
		}
		for (int k = 0; k < KEY_COUNT; ++k) {
			if (!seen[k] && strcmp(token, ATTRIBUTE_KEYS[k]) == 0) seen[k] = waiting[k] = 1;
		}
	}
}

static void grow_gene_table(GtfState *st)
{
	AnnotationInfo *ann = st->ann;
	uint32_t cap = st->gene_capacity ? st->gene_capacity * 2 : INITIAL_TABLE_SIZE;
	ann->gene_chrom = (uint32_t *)realloc_or_die(ann->gene_chrom, (size_t)cap * sizeof(uint32_t));
	ann->gene_strand = (uint8_t *)realloc_or_die(ann->gene_strand, cap);
	st->gene_id_list = (const char **)realloc_or_die(st->gene_id_list, (size_t)cap * sizeof(char *));
	st->gene_name_list = (char **)realloc_or_die(st->gene_name_list, (size_t)cap * sizeof(char *));
	st->gene_capacity = cap;
}

static void grow_tx_table(GtfState *st)
{
	AnnotationInfo *ann = st->ann;
	uint32_t cap = st->tx_capacity ? st->tx_capacity * 2 : INITIAL_TABLE_SIZE;
	ann->tx_gene = (uint32_t *)realloc_or_die(ann->tx_gene, (size_t)cap * sizeof(uint32_t));
	ann->tx_exon_count = (uint32_t *)realloc_or_die(ann->tx_exon_count, (size_t)cap * sizeof(uint32_t));
	ann->tx_exons = (Exon **)realloc_or_die(ann->tx_exons, (size_t)cap * sizeof(Exon *));
	st->tx_id_list = (const char **)realloc_or_die(st->tx_id_list, (size_t)cap * sizeof(char *));
	st->tx_capacity = cap;
}

static void add_gene(GtfState *st, uint32_t chrom, uint8_t strand, const char *values[KEY_COUNT])
{
	AnnotationInfo *ann = st->ann;
	if (!values[KEY_GENE_ID]) fatal("[ERROR] Line [%d]: Gene id is not found in attribute field\n", st->line_no);
	char *id = clean_value(values[KEY_GENE_ID]);
	const char *name_value = values[KEY_GENE_NAME];
	if (!name_value) {
		report("[WARNING] Line [%d]: Gene name is not found, using gene id instead\n", st->line_no);
		name_value = values[KEY_GENE_ID];
	}
	int absent = 0;
	khint_t k = kh_put(str, st->gene_map, id, &absent);
	if (!absent) {
		report("[WARNING] Line [%d]: Duplicated gene id\n", st->line_no);
		free(id);
		return;
	}
	uint32_t g = ann->gene_count;
	if (g == st->gene_capacity) grow_gene_table(st);
	kh_value(st->gene_map, k) = g;
	char *name = clean_value(name_value);
	st->gene_id_list[g] = id;
	st->gene_name_list[g] = name;
	ann->gene_chrom[g] = chrom;
	ann->gene_strand[g] = strand;
	uint32_t id_width = (uint32_t)strlen(id) + 1, name_width = (uint32_t)strlen(name) + 1;
	if (id_width > ann->gene_id_width) ann->gene_id_width = id_width;
	if (name_width > ann->gene_name_width) ann->gene_name_width = name_width;
	st->current_gene = g;
	ann->gene_count = g + 1;
}

static void add_transcript(GtfState *st, uint32_t chrom, uint8_t strand, const char *values[KEY_COUNT])
{
	AnnotationInfo *ann = st->ann;
	uint32_t g;
	if (values[KEY_GENE_ID]) {
		char *gid = clean_value(values[KEY_GENE_ID]);
		khint_t k = kh_get(str, st->gene_map, gid);
		if (k == kh_end(st->gene_map))
			fatal("[ERROR] Line [%d]: No information about gene [%s] was declared\n", st->line_no, gid);
		free(gid);
		g = kh_value(st->gene_map, k);
		if ((int64_t)g != st->current_gene) {
			report("[WARNING] Line [%d]: Transcript is not nested in gene level\n", st->line_no);
			st->current_gene = g;
		}
	} else {
		if (st->current_gene < 0) fatal("[ERROR] Line [%d]: No gene candidate for transcript\n", st->line_no);
		report("[WARNING] Line [%d]: Gene id is not found in attribute field, using gene id in current gene level\n",
		       st->line_no);
		g = (uint32_t)st->current_gene;
	}
	if (strand != ann->gene_strand[g])
		fatal("[ERROR] Line [%d]: Transcript strand is not consistent with gene strand\n", st->line_no);
	if (chrom != ann->gene_chrom[g])
		fatal("[ERROR] Line [%d]: Transcript is not on the same chromosome with gene\n", st->line_no);
	if (!values[KEY_TRANSCRIPT_ID])
		fatal("[ERROR] Line [%d]: Transcript id is not found in attribute field\n", st->line_no);

	char *tid = clean_value(values[KEY_TRANSCRIPT_ID]);
	int absent = 0;
	khint_t k = kh_put(str, st->tx_map, tid, &absent);
	if (!absent) {
		report("[WARNING] Line [%d]: Duplicated tran id\n", st->line_no);
		free(tid);
		return;
	}
	uint32_t t = ann->tx_count;
	if (t == st->tx_capacity) grow_tx_table(st);
	kh_value(st->tx_map, k) = t;
	st->tx_id_list[t] = tid;
	ann->tx_gene[t] = g;
	ann->tx_exon_count[t] = 0;
	ann->tx_exons[t] = nullptr;
	uint32_t width = (uint32_t)strlen(tid) + 1;
	if (width > ann->tx_id_width) ann->tx_id_width = width;
	st->current_tx = t;
	ann->tx_count = t + 1;
}

static void add_exon(GtfState *st, uint32_t chrom, uint8_t strand, uint32_t start, uint32_t end,
                     const char *values[KEY_COUNT])
{
	AnnotationInfo *ann = st->ann;
	uint32_t t;
	if (values[KEY_TRANSCRIPT_ID]) {
		char *tid = clean_value(values[KEY_TRANSCRIPT_ID]);
		khint_t k = kh_get(str, st->tx_map, tid);
		if (k == kh_end(st->tx_map))
			fatal("[ERROR] Line [%d]: No information about transcript [%s] was declared\n", st->line_no, tid);
		free(tid);
		t = kh_value(st->tx_map, k);
		if ((int64_t)t != st->current_tx) {
			report("[WARNING] Line [%d]: Exon is not nested in transcript level\n", st->line_no);
			st->current_tx = t;
		}
	} else {
		if (st->current_tx < 0) fatal("[ERROR] Line [%d]: No transcript candidate for exon\n", st->line_no);
		report("[WARNING] Line [%d]: Using transcript id in current transcript level\n", st->line_no);
		t = (uint32_t)st->current_tx;
	}
	uint32_t g = ann->tx_gene[t];
	if (strand != ann->gene_strand[g])
		fatal("[ERROR] Line [%d]: Exon strand is not consistent with transcript strand\n", st->line_no);
	if (chrom != ann->gene_chrom[g])
		fatal("[ERROR] Line [%d]: Exon is not on the same chromosome with the transcript\n", st->line_no);

	// The list grows in powers of two: its capacity is implied by the count.
	uint32_t n = ann->tx_exon_count[t];
	if ((n & (n - 1)) == 0) {
		size_t cap = n ? (size_t)n * 2 : 1;
		ann->tx_exons[t] = (Exon *)realloc_or_die(ann->tx_exons[t], cap * sizeof(Exon));
	}
	ann->tx_exons[t][n].start = start;
	ann->tx_exons[t][n].end = end;
	ann->tx_exon_count[t] = n + 1;
}

// One line without its line feed, zero-terminated; fields are cut in place.
static void parse_gtf_line(GtfState *st, char *line)
{
	++st->line_no;
	if (line[0] == '#') return;

	char *fields[GTF_FIELDS];
	int n_fields = 0;
	for (char *p = line; *p;) {
		if (*p == '\t') {
			*p++ = '\0';
			continue;
		}
		if (n_fields < GTF_FIELDS) fields[n_fields] = p;
		++n_fields;
		while (*p && *p != '\t') ++p;
	}
	if (n_fields == 0) {
		report("[WARNING] Line [%d]: Ignore blank line\n", st->line_no);
		return;
	}
	if (n_fields != GTF_FIELDS)
		fatal("[ERROR] Line [%d]: Number of fields [%d] is not equal to 9\n", st->line_no, n_fields);

	khint_t k = kh_get(str, st->seq_names, fields[0]);
	if (k == kh_end(st->seq_names)) {
		report("[WARNING] Line [%d]: Sequence [%s] does not exist in fasta file\n", st->line_no, fields[0]);
		return;
	}
	uint32_t chrom = kh_value(st->seq_names, k);
	uint32_t start = (uint32_t)atoi(fields[3]), end = (uint32_t)atoi(fields[4]);
	if (start > end)
		fatal("[ERROR] Line [%d]: Start position [%s] > End position [%s]\n", st->line_no, fields[3], fields[4]);
	uint8_t strand = strcmp(fields[6], "+") == 0 ? 0 : 1;

	const char *feature = fields[2];
	int is_gene = strcmp(feature, "gene") == 0;
	int is_tx = !is_gene && strcmp(feature, "transcript") == 0;
	int is_exon = !is_gene && !is_tx && strcmp(feature, "exon") == 0;
	if (!is_gene && !is_tx && !is_exon) return;

	const char *values[KEY_COUNT];
	find_attribute_values(fields[8], values);
	if (is_gene) add_gene(st, chrom, strand, values);
	else if (is_tx) add_transcript(st, chrom, strand, values);
	else add_exon(st, chrom, strand, start, end, values);
}

// Fill `buf` after its first `used` bytes; returns the number of bytes added, 0 at the
// end of the file. A read error or a damaged gzip stream ends the run.
static size_t fill_buffer(gzFile fp, const char *path, char *buf, size_t used)
{
	int n = gzread(fp, buf + used, (unsigned)(GTF_BUFFER_SIZE - used));
	int err = Z_OK;
	if (n <= 0) gzerror(fp, &err);
	if (n < 0 || err != Z_OK) fatal("[ERROR] Unable to read file [%s]\n", path);
	return (size_t)n;
}

static char *build_name_table(const char *const *strings, uint32_t count, uint32_t width)
{
	char *table = (char *)malloc_or_die((size_t)count * width + 1, 1, true);
	for (uint32_t i = 0; i < count; ++i)
		memcpy(table + (size_t)i * width, strings[i], strlen(strings[i]));
	return table;
}

void parse_gtf(const char *path, const NameMap *seq_names, AnnotationInfo *ann,
               NameMap *gene_ids, NameMap *tx_ids)
{
	GzFilePtr fp(gzopen(path, "r"));
	if (!fp) fatal("[ERROR] Unable to open file [%s] to read\n", path);

	GtfState st;
	memset(&st, 0, sizeof st);
	// The id and name lists live only while the file is read; freed on every path, so that
	// a program that catches a fatal error does not lose them.
	struct ListsGuard {
		GtfState *st;
		~ListsGuard()
		{
			for (uint32_t g = 0; st->gene_name_list && g < st->ann->gene_count; ++g) free(st->gene_name_list[g]);
			free(st->gene_name_list);
			free(st->gene_id_list);
			free(st->tx_id_list);
		}
	} lists_guard{&st};
	st.seq_names = seq_names;
	st.ann = ann;
	st.gene_map = gene_ids;
	st.tx_map = tx_ids;
	st.current_gene = -1;
	st.current_tx = -1;
	ann->gene_count = ann->gene_name_width = ann->gene_id_width = 0;
	ann->tx_count = ann->tx_id_width = 0;
	ann->gene_chrom = nullptr;
	ann->gene_strand = nullptr;
	ann->tx_gene = ann->tx_exon_count = nullptr;
	ann->tx_exons = nullptr;
	grow_gene_table(&st);
	grow_tx_table(&st);

	// One spare byte terminates a last line that fills the buffer but for its line feed.
	std::unique_ptr<char[]> buffer(new char[(size_t)GTF_BUFFER_SIZE + 1]);
	char *buf = buffer.get();
	size_t used = fill_buffer(fp.get(), path, buf, 0);
	size_t pos = 0;
	int at_eof = used == 0;
	for (;;) {
		char *line = buf + pos;
		char *lf = (char *)memchr(line, '\n', used - pos);
		if (lf) {
			*lf = '\0';
			parse_gtf_line(&st, line);
			pos = (size_t)(lf - buf) + 1;
			continue;
		}
		size_t rest = used - pos;
		if (pos > 0) memmove(buf, buf + pos, rest);
		pos = 0;
		used = rest;
		if (rest == GTF_BUFFER_SIZE)
			fatal("[ERROR] Out of buffer, line is too long (over [%lu])\n\n", (unsigned long)GTF_BUFFER_SIZE);
		if (at_eof) {
			if (rest > 0) {
				report("[WARNING] Encountered EOF before newline\n");
				buf[rest] = '\0';
				parse_gtf_line(&st, buf);
			}
			break;
		}
		size_t added = fill_buffer(fp.get(), path, buf, used);
		if (added == 0) at_eof = 1;
		used += added;
	}
	buffer.reset();
	fp.reset();

	ann->gene_ids = build_name_table(st.gene_id_list, ann->gene_count, ann->gene_id_width);
	ann->gene_names = build_name_table(st.gene_name_list, ann->gene_count, ann->gene_name_width);
	ann->tx_ids = build_name_table(st.tx_id_list, ann->tx_count, ann->tx_id_width);
}

uint64_t count_gtf_genes(const char *path)
{
	GzFilePtr fp(gzopen(path, "r"));
	if (!fp) return 0;
	std::unique_ptr<char[]> buffer(new char[(size_t)GTF_BUFFER_SIZE + 1]);
	char *line = buffer.get();
	NameMap *ids = kh_init(str);
	uint64_t genes = 0;
	bool inside_line = false;  // the previous piece did not end its line
	while (gzgets(fp.get(), line, GTF_BUFFER_SIZE + 1)) {
		const size_t len = strlen(line);
		const bool continued = inside_line;
		inside_line = len == 0 || line[len - 1] != '\n';
		if (continued || line[0] == '#') continue;
		// Fields as parse_gtf_line cuts them: runs of tabs separate, the ninth is the attributes.
		char *fields[GTF_FIELDS];
		int n_fields = 0;
		for (char *p = line; *p && *p != '\n';) {
			if (*p == '\t') {
				*p++ = '\0';
				continue;
			}
			if (n_fields < GTF_FIELDS) fields[n_fields] = p;
			++n_fields;
			while (*p && *p != '\t' && *p != '\n') ++p;
			if (*p == '\n') *p = '\0';
		}
		if (n_fields != GTF_FIELDS || strcmp(fields[2], "gene") != 0) continue;
		const char *values[KEY_COUNT];
		find_attribute_values(fields[8], values);
		if (!values[KEY_GENE_ID]) continue;
		int absent = 0;
		char *id = clean_value(values[KEY_GENE_ID]);
		kh_put(str, ids, id, &absent);
		if (absent) ++genes;
		else free(id);
	}
	release_name_map(ids);
	return genes;
}
