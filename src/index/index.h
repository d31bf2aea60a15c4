// Index construction and index files: genome sequences, GTF annotation, spliced
// transcriptome and its .info file, transcript k-mer hash (.hash); the genome BWT (.bwt) and
// its walks are declared in index/bwt.h, included at the end.
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

#include "index/bwt.h"

#endif
