// Index construction and index files: genome sequences, GTF annotation, spliced
// transcriptome and its .info file, transcript k-mer hash (.hash), genome BWT (.bwt).
//
// Coordinates: GTF exon coordinates are 1-based inclusive, as written in the file.
// Positions in the transcriptome string `tx_seq` and in the genome text are 0-based.
// All index files are raw little-endian dumps of u32 counts and arrays.
#ifndef VORAT_INDEX_H
#define VORAT_INDEX_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <khash.h>

// String-keyed map (owns its keys) with u32 values: sequence names, gene ids, transcript ids.
KHASH_MAP_INIT_STR(str, uint32_t)
typedef khash_t(str) NameMap;

// Byte -> base code: A/a 0, C/c 1, G/g 2, T/t 3, every other byte 4.
extern const uint8_t BASE_CODE[256];
// Complement letter of a base code: "TGCAN".
extern const char COMPLEMENT_LETTERS[6];

// ---- genome sequences (genome.cpp) ----

// The genome FASTA as read at index time, duplicated names dropped (first record wins).
struct GenomeSequences {
	uint32_t seq_count;
	uint32_t name_width;     // longest name + 1 (0 when empty); row width of seq_names
	uint32_t *seq_lengths;   // bases per sequence
	char *seq_names;         // seq_count rows of name_width bytes, zero-padded
	char **seq_bases;        // bases exactly as read (case kept), zero-terminated; null after loading .info
};

// The one FASTA reader of the index (genome load and BWT build): plain or gzip, records in
// file order, duplicate names included. A file that cannot be opened or read (a damaged or
// truncated gzip stream included) ends the run with an error naming it.
struct FastaReader;
struct FastaRecord {
	const char *name;   // valid until the next fasta_next
	const char *bases;  // as in the file (case kept), zero-terminated
	size_t length;
};
FastaReader *fasta_open(const char *path);
// The next record into `record`; false at the end of the file.
bool fasta_next(FastaReader *reader, FastaRecord *record);
void fasta_close(FastaReader *reader);
struct FastaCloser {
	void operator()(FastaReader *reader) const { fasta_close(reader); }
};
typedef std::unique_ptr<FastaReader, FastaCloser> FastaReaderPtr;

// Read a plain or gzip FASTA into `genome` and `names` (name -> sequence index).
// A file that cannot be opened or read ends the run with an error naming it.
void load_genome_fasta(const char *path, GenomeSequences *genome, NameMap *names);
// Free the arrays of `genome` (seq_bases may be null) and zero the record.
void release_genome_sequences(GenomeSequences *genome);
// Free the key strings of a NameMap and the map itself (null is accepted).
void release_name_map(NameMap *map);

// ---- annotation (gtf.cpp) ----

// One exon: GTF coordinates, 1-based inclusive, on the sequence of the transcript's gene.
struct Exon {
	uint32_t start;
	uint32_t end;
};

#define GTF_BUFFER_SIZE 16777216

// A count run packs the gene index into the low GENE_BITS bits of a 64-bit UMI key, and the
// value gene_count itself marks a discarded key: an annotation holds at most MAX_GENE_COUNT genes.
#define GENE_BITS 22
#define MAX_GENE_COUNT ((1u << GENE_BITS) - 1)

// Genes, transcripts, exons and the spliced transcriptome. Indices are 0-based in
// order of first declaration in the GTF.
struct AnnotationInfo {
	uint32_t gene_count;
	uint32_t gene_name_width;  // longest name + 1; row width of gene_names
	uint32_t gene_id_width;    // longest id + 1; row width of gene_ids
	uint32_t *gene_chrom;      // genome sequence index per gene
	char *gene_names;          // gene_count rows, zero-padded
	char *gene_ids;            // gene_count rows, zero-padded
	uint8_t *gene_strand;      // 0 for "+", 1 otherwise
	uint32_t tx_count;
	uint32_t tx_id_width;
	char *tx_ids;              // tx_count rows, zero-padded
	uint32_t *tx_length;       // spliced length in bases
	uint32_t *tx_offset;       // tx_count + 1 entries; start in tx_seq, last = total length
	uint32_t *tx_gene;         // gene index per transcript
	uint32_t *base_tx;         // transcript index per position of tx_seq (in .info; count frees it)
	char *tx_seq;              // all spliced transcripts end to end, mRNA orientation
	uint32_t *tx_exon_count;
	Exon **tx_exons;           // per transcript; sorted by start after build_transcriptome
	// Made by index_transcript_starts, not stored: transcript_at(b * TX_BUCKET_BASES) for every
	// bucket b of tx_seq, and one more entry, tx_count - 1.
	uint32_t *tx_bucket;
};

#define TX_BUCKET_SHIFT 10
#define TX_BUCKET_BASES (1u << TX_BUCKET_SHIFT)

// Parse a plain or gzip GTF into `ann` (all but the transcriptome fields; exons in file
// order). `seq_names` resolves column 1; gene_ids / tx_ids receive the cleaned ids.
// Hierarchy violations, a line of GTF_BUFFER_SIZE bytes or more, and a file that cannot
// be opened or read end the run.
void parse_gtf(const char *path, const NameMap *seq_names, AnnotationInfo *ann,
               NameMap *gene_ids, NameMap *tx_ids);
// Distinct gene ids of the "gene" lines of a GTF, whatever their sequence: at least the
// gene_count that parse_gtf will find. Reports nothing: a file that cannot be read, or a line
// that parse_gtf would refuse, counts what it can and is left to parse_gtf.
uint64_t count_gtf_genes(const char *path);
// End the run with "[ERROR] Annotation has too many genes (n, at most MAX_GENE_COUNT)" when
// `gene_count` does not fit the gene field of the UMI key.
void check_gene_count(uint64_t gene_count);

// ---- transcriptome and .info (transcriptome.cpp) ----

// Sort and check the exons, splice every transcript into tx_seq / base_tx and write `fasta_path`.
// Overlapping exons, or an exon outside its sequence (start 0 or end past its length), end the run.
// tx_seq is followed by one zero byte (not counted, not written to .info).
void build_transcriptome(const char *fasta_path, const GenomeSequences *genome, AnnotationInfo *ann);
// Write the .info file: genome names and lengths, gene and transcript tables, transcriptome, exons.
void write_annotation_info(const char *info_path, const GenomeSequences *genome, const AnnotationInfo *ann);
// Read a .info file back (genome names and lengths only: seq_bases stays null). A short read, or a
// count that asks for more bytes than the file still holds, ends the run with MSG_READ_ERROR.
// Without with_base_tx the per-base transcript table is checked as it is read and not kept
// (base_tx stays null).
void load_annotation_info(const char *info_path, GenomeSequences *genome, AnnotationInfo *ann,
                          bool with_base_tx = true);
// Free every array of `ann` (null fields are accepted) and zero the record.
void release_annotation_info(AnnotationInfo *ann);

// Transcript that holds position p of tx_seq (p below the total length): the last transcript
// starting at or before p, found by binary search over tx_offset; transcripts without bases
// are skipped as in base_tx, which count does without (4 bytes per transcriptome base).
// With tx_bucket, the search starts from the transcripts of p's bucket and the next one's
// start, usually one or two.
static inline uint32_t transcript_at(const AnnotationInfo *ann, uint32_t p)
{
	uint32_t lo = 0, hi = ann->tx_count;  // tx_offset[lo] <= p, and p < tx_offset[hi]
	if (ann->tx_bucket) {
		const uint32_t b = p >> TX_BUCKET_SHIFT;
		lo = ann->tx_bucket[b];
		hi = ann->tx_bucket[b + 1] + 1;
	}
	while (hi - lo > 1) {
		const uint32_t mid = lo + (hi - lo) / 2;
		if (ann->tx_offset[mid] <= p) lo = mid;
		else hi = mid;
	}
	return lo;
}

// Fill ann->tx_bucket from tx_offset (transcriptome.cpp); transcript_at gives the same
// answers, faster. Nothing to do for an empty transcriptome.
void index_transcript_starts(AnnotationInfo *ann);

// ---- transcript k-mer hash (kmer_hash.cpp) ----

#define HASH_BITS 27
#define MAX_KMER_SIZE 29

// One distinct k-mer in the slot table of a loaded hash.
struct KmerSlot {
	uint64_t key;     // the k-mer's code + 1 (codes have at most 2 x MAX_KMER_SIZE bits); 0: free
	uint32_t start;   // its first position in kmer_positions
	uint32_t count;   // its positions
};

// Two-level k-mer table: the low hash_bits of a k-mer code choose a bucket; inside it
// the distinct k-mers are sorted by key = code >> hash_bits, each with a run of positions.
// A k-mer code packs its bases 2 bits each (A 0, C 1, G 2, T 3), first base highest.
struct KmerHash {
	uint32_t *kmer_keys;       // D keys, by bucket, ascending within a bucket
	uint32_t *kmer_starts;     // D + 1 entries; first slot in kmer_positions, last = P
	uint32_t *bucket_starts;   // 2^hash_bits + 1 entries; last = D
	uint32_t *kmer_positions;  // P positions in tx_seq (0-based), ascending per k-mer
	uint32_t hash_bits;
	uint32_t hash_mask;
	uint32_t kmer_size;        // k of the index (from the .hash file when loaded)
	uint32_t n_kmers;          // D
	uint32_t n_positions;      // P
	void *mapping;             // the mapped .hash file the arrays point into (loaded hashes), or null
	size_t mapping_bytes;
	// Every k-mer by the hash of its code (build_kmer_slots), or null: lookups then take the
	// buckets. A mapped file gets one, and its bucket table, keys and starts stay on disk.
	KmerSlot *slots;
	uint64_t slot_mask;        // slots - 1, a power of two minus one
	uint32_t slot_bits;
};

// Build the hash over ann->tx_seq with k-mer length k (1..MAX_KMER_SIZE) and print
// "Number of kmer" (D) and "Number of hashing position" (P).
void build_kmer_hash(const AnnotationInfo *ann, uint32_t k, KmerHash *hash);
// Write the .hash file: k, hash_bits, bucket_starts, keys, starts, P, positions
// (536,870,928 + 8 D + 4 P bytes).
void write_kmer_hash(const char *path, uint32_t k, const KmerHash *hash);
// Map a .hash file read-only (release_kmer_hash unmaps it) and build its slot table, or read it
// into memory when map_file is false or the file cannot be mapped (lookups then take the
// buckets); a short, inconsistent or foreign file ends the run with an error.
void load_kmer_hash(const char *path, KmerHash *hash, bool map_file = true);
// Free the arrays of the hash and zero the record.
void release_kmer_hash(KmerHash *hash);
// Fill hash->slots from the hash's arrays (in memory).
void build_kmer_slots(KmerHash *hash);
// The same for a hash whose arrays are a mapped file: they are read in chunks, and each chunk is
// unmapped after use, so that the bucket table, keys and starts never stay resident. The tables
// are checked as check_kmer_tables does.
void build_kmer_slots_mapped(KmerHash *hash);
// Check the tables that lookups trust, for buckets b0 .. b0 + n - 1: bs holds their n + 1 bucket
// starts, starts the k-mer starts from k-mer bs[0] on (bs[n] - bs[0] + 1 of them). Bucket starts
// must rise from 0 to D, k-mer starts from 0 (to P, the item after them); else MSG_READ_ERROR.
void check_kmer_tables(const KmerHash *hash, uint64_t b0, uint32_t n, const uint32_t *bs, const uint32_t *starts);
// True when every k-mer of the hash lies inside a transcriptome of `transcriptome_length`
// bases, i.e. the hash may belong to it (mapping reads transcripts at these positions).
bool kmer_positions_fit(const KmerHash *hash, uint64_t transcriptome_length);

// Occurrences of the k-mer with `code`: returns their number and points *positions at the
// first (ascending positions in tx_seq); 0 when the k-mer does not occur.
// Index of k-mer `code` in kmer_keys (its positions are kmer_starts[i] .. kmer_starts[i + 1] - 1),
// or UINT32_MAX when the k-mer has none.
static inline uint32_t kmer_index(const KmerHash *hash, uint64_t code)
{
	const uint32_t b = (uint32_t)(code & hash->hash_mask);
	const uint32_t key = (uint32_t)(code >> hash->hash_bits);
	uint32_t low = hash->bucket_starts[b], high = hash->bucket_starts[b + 1];
	while (low < high) {
		const uint32_t mid = low + ((high - low) >> 1);
		const uint32_t v = hash->kmer_keys[mid];
		if (v == key) return mid;
		if (v < key) low = mid + 1;
		else high = mid;
	}
	return UINT32_MAX;
}

// Home slot of a k-mer code in the slot table.
static inline uint64_t kmer_slot_home(const KmerHash *hash, uint64_t code)
{
	return (code * 0x9E3779B97F4A7C15ull) >> (64 - hash->slot_bits);
}

// The slot of k-mer `code`, or null when it does not occur (hash->slots must be set).
static inline const KmerSlot *kmer_slot(const KmerHash *hash, uint64_t code)
{
	for (uint64_t s = kmer_slot_home(hash, code);; s = (s + 1) & hash->slot_mask) {
		const KmerSlot *slot = &hash->slots[s];
		if (slot->key == code + 1) return slot;
		if (slot->key == 0) return nullptr;
	}
}

static inline uint32_t kmer_lookup(const KmerHash *hash, uint64_t code, const uint32_t **positions)
{
	if (hash->slots) {
		const KmerSlot *slot = kmer_slot(hash, code);
		*positions = slot ? hash->kmer_positions + slot->start : nullptr;
		return slot ? slot->count : 0;
	}
	uint32_t b = (uint32_t)(code & hash->hash_mask);
	uint32_t key = (uint32_t)(code >> hash->hash_bits);
	uint32_t low = hash->bucket_starts[b], high = hash->bucket_starts[b + 1];
	while (low < high) {
		uint32_t mid = low + ((high - low) >> 1);
		uint32_t v = hash->kmer_keys[mid];
		if (v == key) {
			*positions = hash->kmer_positions + hash->kmer_starts[mid];
			return hash->kmer_starts[mid + 1] - hash->kmer_starts[mid];
		}
		if (v < key) low = mid + 1;
		else high = mid;
	}
	*positions = nullptr;
	return 0;
}

// ---- genome BWT (bwt.cpp) ----

#define OCC_INTERVAL 64
#define SA_INTERVAL 16
#define MAX_GENOME_LENGTH 4000111000ULL

// FM-index of the whole genome (all FASTA records concatenated, non-ACGT replaced
// by rand() & 3 after srand(11)). Rows are full-BWT rows 0..n; row 0 is the marker's suffix.
// bwt_words: per block of 64 stored characters, 4 counts of A, C, G, T before the block,
// then 4 words of 16 characters (first character in the top 2 bits); the last block is
// followed by the 4 totals.
struct GenomeBwt {
	uint8_t *packed_seq;       // ceil(n/4) bytes, 2 bits per base, first base in the top bits
	uint32_t seq_len;          // n
	uint32_t primary;          // row of the end marker
	uint32_t c_table[5];       // c_table[c+1] = number of bases with code <= c
	uint32_t bwt_word_count;   // ceil(n/16) + 4 ceil(n/64) + 4
	uint32_t *bwt_words;       // occurrence checkpoints every 64 characters, interleaved
	uint32_t sa_count;         // floor((n + 16) / 16)
	uint32_t *sa_samples;      // suffix position of every 16th row; [0] = 0xFFFFFFFF
	// The loaded .bwt file, mapped, when packed_seq (and sa_samples where aligned) point into
	// it; null for a BWT read or built in memory.
	void *mapping;
	size_t mapping_bytes;
	// Made by build_genome_kmer_table after loading, not stored: the rows kmer_lo[w]..kmer_hi[w]
	// that backward search reaches after the kmer_k bases of k-mer w (first base in the top
	// bits); lo > hi where a step comes out empty. kmer_k = 0: no table.
	int32_t kmer_k;
	uint32_t *kmer_lo;
	uint32_t *kmer_hi;
};

// Read the FASTA (plain or gzip), pack it and compute the BWT and SA samples.
// Returns a new calloc'ed record (free it with release_genome_bwt, then free()).
GenomeBwt *build_genome_bwt(const char *genome_path);
// From packed_seq and seq_len: fill c_table, primary, bwt_word_count and bwt_words.
// Uses the whole-text sort when it fits comfortably in memory, the blockwise one otherwise;
// both give the same result.
void compute_bwt(GenomeBwt *bwt);
// The same result as compute_bwt, built by merging text blocks of `block_bases` bases from
// the end of the text (0: one block); peak memory about 9 bytes per block base plus the words.
// Also fills sa_count and sa_samples (on two threads), as build_genome_bwt would.
void compute_bwt_blockwise(GenomeBwt *bwt, uint64_t block_bases);
// Block size compute_bwt uses for a text of n bases: 0 for the whole-text sort. The
// environment variable VORAT_BWT_BLOCK (bases; 0 = whole-text sort) overrides the choice.
uint64_t bwt_block_bases(uint64_t n);
void write_genome_bwt(const char *path, const GenomeBwt *bwt);
// Read a .bwt file into `bwt`; a short or inconsistent file ends the run with the read error.
// The counts, checkpoints and samples are checked against each other and the file size.
void load_genome_bwt(const char *path, GenomeBwt *bwt);
// End the run with the read error: the .bwt in use is not the BWT of a text.
[[noreturn]] void bwt_corrupted();
// Free the three arrays of the record (not the record itself) and null them.
void release_genome_bwt(GenomeBwt *bwt);

// Code of base i of the genome text.
static inline uint32_t genome_base(const GenomeBwt *bwt, uint32_t i)
{
	return (bwt->packed_seq[i >> 2] >> (6 - 2 * (i & 3))) & 3;
}

// Number of 2-bit fields of w equal to c. The bit count is spelled out: without a baseline
// that has the popcount instruction, __builtin_popcount is a library call.
static inline uint32_t bwt_count_in_word(uint32_t w, uint32_t c)
{
	uint32_t hi = (c & 2) ? w : ~w, lo = (c & 1) ? w : ~w;
	uint32_t x = (hi >> 1) & lo & 0x55555555u;        // one bit per matching field
	x = (x & 0x33333333u) + ((x >> 2) & 0x33333333u);  // counts per 4 bits
	x = (x + (x >> 4)) & 0x0F0F0F0Fu;                  // counts per byte
	return (x * 0x01010101u) >> 24;
}

// The BWT character of row k (k != primary, k <= n).
static inline uint32_t bwt_char(const GenomeBwt *bwt, uint32_t k)
{
	uint32_t m = k > bwt->primary ? k - 1 : k;
	uint32_t w = bwt->bwt_words[8 * (size_t)(m >> 6) + 4 + ((m >> 4) & 3)];
	return (w >> (30 - 2 * (m & 15))) & 3;
}

// Count of c in the block of stored character m, from the block start up to and including m.
static inline uint32_t bwt_block_count(const uint32_t *block, uint32_t m, uint32_t c)
{
	uint32_t r = block[c];
	uint32_t wi = (m >> 4) & 3;
	for (uint32_t i = 0; i < wi; ++i) r += bwt_count_in_word(block[4 + i], c);
	uint32_t w = block[4 + wi] & (0xFFFFFFFFu << (2 * (15 - (m & 15))));
	r += bwt_count_in_word(w, c);
	if (c == 0) r -= 15 - (m & 15);  // the cleared fields read as A
	return r;
}

// Number of c among the stored characters of rows 0..k (k may be 0xFFFFFFFF: 0).
static inline uint32_t bwt_occurrences(const GenomeBwt *bwt, uint32_t k, uint32_t c)
{
	if (k == bwt->seq_len) return bwt->c_table[c + 1] - bwt->c_table[c];
	if (k == 0xFFFFFFFFu) return 0;
	uint32_t m = k >= bwt->primary ? k - 1 : k;
	return bwt_block_count(bwt->bwt_words + 8 * (size_t)(m >> 6), m, c);
}

// bwt_occurrences(k, c) and bwt_occurrences(l, c) for k <= l, in one block walk when both
// rows fall into the same block of 64 characters.
static inline void bwt_occurrences_pair(const GenomeBwt *bwt, uint32_t k, uint32_t l, uint32_t c,
                                        uint32_t *occ_k, uint32_t *occ_l)
{
	if (k != 0xFFFFFFFFu && l != 0xFFFFFFFFu) {
		uint32_t m = k >= bwt->primary ? k - 1 : k;
		uint32_t ml = l >= bwt->primary ? l - 1 : l;
		if ((m ^ ml) < 64) {
			const uint32_t *block = bwt->bwt_words + 8 * (size_t)(m >> 6);
			*occ_k = bwt_block_count(block, m, c);
			*occ_l = bwt_block_count(block, ml, c);
			return;
		}
	}
	*occ_k = bwt_occurrences(bwt, k, c);
	*occ_l = bwt_occurrences(bwt, l, c);
}

// Row of the suffix that starts one position earlier than the suffix of row k.
static inline uint32_t bwt_lf(const GenomeBwt *bwt, uint32_t k)
{
	if (k == bwt->primary) return 0;
	uint32_t c = bwt_char(bwt, k);
	return bwt->c_table[c] + bwt_occurrences(bwt, k, c);
}

// Position in the genome text of the suffix at row k (row 0 gives 0xFFFFFFFF).
static inline uint32_t bwt_locate(const GenomeBwt *bwt, uint32_t k)
{
	uint32_t steps = 0;
	while (k % SA_INTERVAL != 0) {
		k = bwt_lf(bwt, k);
		// A BWT that is not one of a text (checkpoints agree, characters do not) can hold
		// a cycle without a sampled row; a true walk never takes more than n steps.
		if (++steps > bwt->seq_len) bwt_corrupted();
	}
	return bwt->sa_samples[k / SA_INTERVAL] + steps;
}

// Reused buffers of bwt_locate_rows; zero-initialise, free with release_locate_scratch.
struct LocateScratch {
	uint32_t *row;        // the walks still running: current row and the item each one locates,
	uint32_t *item;       // ordered by row within each run that one LF step keeps in order
	uint32_t *next_row;   // the same after one step, before they are put back in order
	uint32_t *next_item;
	uint8_t *next_class;  // the BWT character that took each walk there (0 = the end marker)
	int64_t cap;
};

// bwt_locate of each of rows[0 .. n-1] into pos[0 .. n-1] (rows may repeat). All walks take
// their LF steps together, level by level, and stay ordered by row: rows that one string's
// interval covers are neighbours in the BWT, and one LF step by the same base keeps them
// neighbours and in order. Their steps then read the occurrence blocks almost in sequence,
// ahead of time through prefetching, instead of one random block per step and walk.
void bwt_locate_rows(const GenomeBwt *bwt, const uint32_t *rows, int64_t n, uint32_t *pos,
                     LocateScratch *scratch);
void release_locate_scratch(LocateScratch *scratch);

// ---- BWT walks (bwt_walk.cpp) ----

// One backward-search step: narrows rows *lo..*hi by base code c; returns 0 when empty.
int genome_backward_step(const GenomeBwt *bwt, uint32_t c, uint32_t *lo, uint32_t *hi);

// Longest k-mer of the interval table.
#define MAX_KMER_TABLE_K 12
// k-mer length of the table for a genome of n bases: the longest whose table (8 bytes per
// k-mer) takes at most n / 8 bytes, up to 12 (128 MiB); 0 (no table) below 6.
int32_t genome_kmer_table_k(uint64_t n);
// Fill bwt->kmer_k, kmer_lo and kmer_hi with the backward-search interval of every k-mer
// (k from genome_kmer_table_k; nothing when 0). Built level by level from the last base, each level's steps
// reading the occurrence blocks in ascending order; large levels are split between two threads.
void build_genome_kmer_table(GenomeBwt *bwt, int32_t k);
// Free the table alone (release_genome_bwt frees it with the rest) and set kmer_k to 0.
void release_genome_kmer_table(GenomeBwt *bwt);

// ---- transcripts on the genome (transcriptome.cpp) ----

#define NO_POSITION 0xFFFFFFFFu

// Where the genome check may expect the bases it searches: the genome text positions of the
// read's best transcript alignment, taken to start at the read's first base without gaps.
// Only a guess, compared with the text before it is used.
struct PlacementHint {
	const AnnotationInfo *ann;
	const uint64_t *seq_offset;
	uint32_t t;           // transcript of the alignment
	int64_t first;        // transcript offset of read offset 0 (negative before the transcript)
	int32_t len;          // read length
	bool reversed;        // the bases searched are the read's reverse complement
};
// Genome text position of bases[i] under the hint (see PlacementHint), or NO_POSITION when it
// falls outside the transcript.
uint32_t hint_text_position(const PlacementHint *hint, int32_t i);

#endif
