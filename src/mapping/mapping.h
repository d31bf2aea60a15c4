// Read mapping: k-mer seeding against the spliced transcripts, three ungapped passes,
// banded gapped extension of candidates, and the genome check through the BWT.
//
// Positions in tx_seq and in the genome are 0-based; read offsets are 0-based.
// A diagonal is (transcriptome position - read offset) in 32-bit arithmetic, compared signed.
// Read bases are compared through BASE_CODE, so case does not matter and every byte other
// than A, C, G, T is code 4 ("N").
#ifndef VORAT_MAPPING_H
#define VORAT_MAPPING_H

#include <cstddef>
#include <cstdint>
#include "index/index.h"
#include "reads/reads.h"

// The read-only index shared by all workers of a count run.
struct MappingIndex {
	const AnnotationInfo *ann;
	const KmerHash *hash;
	const GenomeBwt *bwt;
	int count_intron;   // reads without a transcript alignment are searched in the genome
	int plain;          // take the plain path everywhere (see PLAIN_MAPPING_ENV)
	// Genome text position of each genome sequence's first base (seq_count + 1 entries), for
	// guessing where a read's transcript alignment lies in the genome; null: no guesses.
	const uint64_t *seq_offset;
	// Nothing reads the alignments of a read that is not exonic (no alignment dump): a read is
	// settled as soon as it is known not to be exonic (read_settled). Never on the plain path,
	// whose first pass runs with the others.
	int exonic_only;
};

struct SeedHit {
	uint32_t diagonal;
	uint32_t read_offset;
};

// The k-mer hits of the current read.
struct SeedSet {
	SeedHit *merged;        // all hits sorted by diagonal (signed), then read offset
	int32_t n_hits;
	int32_t hit_cap;        // capacity of merged, a power of two
	int32_t *kmer_hits;     // hits per sampled k-mer
	uint32_t *kmer_offset;  // read offset per sampled k-mer
	// Per sampled k-mer its transcript positions, ascending (in the k-mer hash, not copied);
	// hit h of k-mer i lies on diagonal kmer_start[i][h] - kmer_offset[i].
	const uint32_t **kmer_start;
	int32_t n_kmers;
	int32_t kmer_cap;       // capacity of the per-k-mer arrays (kmer_cursor included)
	int32_t kmer_stride;
	int32_t *kmer_cursor;   // run bounds, n_kmers + 1 (scratch of merge_seed_hits, align_full_groups)
	int32_t *kmer_order;    // k-mers by hit count (scratch of align_full_groups)
	uint64_t *kmer_code;    // per k-mer its code, UINT64_MAX when it has none (scratch)
	SeedHit *merge_tmp;     // the second array of the merge passes
	int32_t merge_cap;
	int32_t *group_start;   // the hit groups of merged: group g is group_start[g] .. [g + 1] - 1
	int32_t n_groups;
	int32_t group_cap;      // capacity of group_start and pass_groups
	int32_t *pass_groups;   // the groups of one pass (scratch)
};

// A partial ungapped placement not good enough to accept.
struct Candidate {
	uint32_t diagonal;
	int32_t read_start;   // first aligned read offset
	int32_t length;       // aligned read bases
	int32_t score;
};

struct CandidateList {
	Candidate *records;
	int32_t capacity;
	int32_t count;
};

// An accepted transcript alignment: tx_seq position of the first aligned read base.
struct Alignment {
	uint32_t position;
	int32_t score;
};

struct AlignmentList {
	Alignment *records;
	int32_t count;
	int32_t capacity;
	int32_t best;         // largest score appended since the reset (>= 0)
};

// Reusable matrix of the banded aligner.
struct DpMatrix {
	int32_t *cells;
	int64_t cell_bytes;     // capacity of cells in bytes
	int32_t row_capacity;   // entries of rows
	int32_t **rows;
	uint8_t *read_codes;    // the read's base codes in walking order
	int32_t code_capacity;
};

// An exact match of read[read_start .. read_start + length - 1] to the genome at the
// positions of full-BWT rows lo..hi (inclusive). When the match is known to occur once,
// `pos` is its genome position and lo = hi is the row of a suffix of it (the search went on
// along the genome text instead of the BWT); otherwise pos is NO_POSITION.
struct GenomeSeed {
	int32_t read_start;
	int32_t length;
	uint32_t lo;
	uint32_t hi;
	uint32_t pos = NO_POSITION;
};

// A backward walk in progress: read[q + 1 .. a] occurs at the full-BWT rows lo..hi.
struct GenomeWalk {
	int32_t a;
	int32_t q;
	uint32_t lo;
	uint32_t hi;
};

// One occurrence of a seed: diagonal = genome position - read start (never wraps).
struct GenomeHit {
	int32_t read_start;
	uint32_t diagonal;
	int32_t seed_length;
};

// Reused scratch of the genome check (kept per worker so that no read allocates):
// the reverse complement, the seeds, each seed's hits back to back, and the merged list.
struct GenomeScratch {
	char *rc;
	int32_t rc_cap;
	GenomeSeed *seeds;
	int32_t seed_cap;          // also the capacity of hit_begin, hit_end, cursor, walks, walk_index
	int64_t *hit_begin;        // each seed's hits are hits[hit_begin[s] .. hit_end[s] - 1]
	int64_t *hit_end;
	int64_t *cursor;           // merge cursors
	GenomeWalk *walks;         // the anchored walks of a read, advanced together
	int32_t *walk_index;       // the walks still going
	GenomeHit *hits;
	int64_t hit_cap;
	GenomeHit *merged;
	int64_t merged_cap;
	uint32_t *rows;            // the BWT rows of the seeds to locate, seed after seed
	uint32_t *row_pos;         // their genome positions
	int64_t row_cap;
	LocateScratch locate;
	bool plain;                // every row located on its own, no shortcut: the reference path
	const PlacementHint *hint; // for the strand being searched, or null
};

// One distinct gapped extension of the read in hand (extend_candidates_gapped).
struct GappedMemoEntry {
	uint64_t hash;
	const char *left;      // the left band's transcript bases (left_rows of them)
	const char *right;     // the right band's transcript bases (right_rows of them)
	int32_t read_start;    // the candidate's span and score
	int32_t length;
	int32_t score;
	int32_t left_rows;
	int32_t right_rows;
	int32_t passed;        // the extension gave an alignment
	int32_t ref_taken;     // transcript bases it took before the candidate
	int32_t final_score;
};

struct GappedMemo {
	GappedMemoEntry *entries;
	int32_t cap;
	int32_t *slots;        // open addressing over entries by hash; -1 = free
	int32_t slot_count;    // capacity of slots
};

// Set in the environment: count reads the k-mer hash into memory, builds neither the k-mer table
// of the genome nor the transcript buckets, and the workers locate every row on their own, take
// no shortcut in the genome check and extend every gapped candidate. The faster paths give the
// same outcomes; tests compare.
#define PLAIN_MAPPING_ENV "VORAT_PLAIN_MAPPING"

// The bases of a read as a key of the read cache: 2-bit codes, base i at bits 2 x (i % 32) of
// word i / 32, the words past the read zero.
#define READ_CACHE_MAX_LEN 160
#define READ_CACHE_WORDS (READ_CACHE_MAX_LEN / 32)
#define READ_CACHE_MAX_ALIGNMENTS 10
struct ReadKey {
	uint64_t bases[READ_CACHE_WORDS];
	uint16_t len;
	uint64_t hash;
};

// Outcomes of the reads mapped so far in a run, shared by its workers (read_cache.cpp).
struct ReadCache;

// Per-worker scratch; buffers only grow.
struct MappingWorkspace {
	SeedSet seeds;
	CandidateList candidates;
	AlignmentList alignments;
	DpMatrix dp;
	GenomeScratch genome;
	GappedMemo gapped_memo;
	const MappingIndex *index;
	ReadCache *cache;   // shared by the workers of a run, or null
	int8_t occurs;      // the read in hand occurs as it is in the genome: 1 yes, 0 no, -1 not asked
};

enum MapOutcome : int {
	MAP_UNMAPPED = 0,
	MAP_EXONIC = 1,
	MAP_INTRONIC = 2,   // never produced by the mapping
	MAP_NONEXONIC = 3,
};

// Score of an aligned pair of base codes: +1 equal ACGT, -2 different ACGT, -1 with an N.
extern const int32_t SCORE_MATRIX[5][5];
// Read base code x genome base code: 0 for the same A, C, G or T, else 1 (a read N always 1).
extern const int32_t MISMATCH_MATRIX[5][5];

// Acceptance threshold of a placement that aligns `aligned` of the read's `len` bases: the
// whole read may lose 3 x max_err; a clipped one less, the allowance shrinking by one error
// for every 5 clipped bases.
static inline int32_t alignment_threshold(int32_t len, int32_t aligned, int32_t max_err)
{
	if (aligned == len) return len - 3 * max_err;
	int32_t allowed = max_err / 2 - (len - aligned) / 5;
	return aligned - 3 * (allowed > 0 ? allowed : 0);
}

#define GAP_SCORE (-3)                 // one inserted read base or skipped transcript base
#define MIN_GENOME_SEED 19             // shortest exact match kept as a genome seed
static_assert(MAX_KMER_TABLE_K < MIN_GENOME_SEED, "a walk must not become a seed inside the looked-up bases");
#define GENOME_SEED_STEP 13            // distance between seed anchors
#define MAX_SEED_OCCURRENCES 5000      // a seed with this many BWT rows or more is ignored
#define MIN_DIAGONAL_SUPPORT 40        // summed seed length before a diagonal is verified
#define GENOME_RADIX_MIN 65            // hit lists this long are radix-sorted

// ---- workspace (workspace.cpp) ----

// Workspace with the starting capacities: 256 hits, 8 k-mers, 64 candidates, 64 alignments,
// a 100 x 100 matrix. Every allocation failure ends the run.
MappingWorkspace *create_mapping_workspace(const MappingIndex *index);
void release_mapping_workspace(MappingWorkspace *ws);
// Append to the lists, doubling their capacity when full; an alignment raises `best`.
void append_alignment(AlignmentList *list, uint32_t position, int32_t score);
void append_candidate(CandidateList *list, uint32_t diagonal, int32_t read_start,
                      int32_t length, int32_t score);

// ---- seeding (seeding.cpp) ----

// Number and stride of the sampled k-mers of a read of `len` bases. A read shorter than k
// gets no k-mer (0, 0).
void kmer_sampling(int32_t len, int32_t k, int32_t *n_kmers, int32_t *stride);
// Sample the read's k-mers, look them up and fill kmer_hits, kmer_offset, kmer_start,
// n_kmers, kmer_stride and n_hits.
void seed_read(const ReadRecord *read, const KmerHash *hash, SeedSet *seeds);
// Merge the per-k-mer hit lists into `merged`, sorted by signed diagonal, ties by k-mer order.
void merge_seed_hits(SeedSet *seeds);
// End (exclusive) of the hit group that starts at merged[start]: equal diagonals whose hit
// positions lie in the same transcript.
int32_t hit_group_end(const SeedSet *seeds, const AnnotationInfo *ann, int32_t start);

// ---- ungapped alignment (ungapped.cpp) ----

// Ungapped X-drop extension over at most n_max pairs, ref[i] against read[i] from i = 0
// (right) or ref[-1 - i] against read[-1 - i] (left). Gives back the gained score and the
// read bases taken; returns their cost (taken - score; 0 when nothing is taken).
int32_t extend_ungapped_right(const char *ref, const char *read, int32_t n_max, int32_t X,
                              int32_t B, int32_t *score, int32_t *taken);
int32_t extend_ungapped_left(const char *ref, const char *read, int32_t n_max, int32_t X,
                             int32_t B, int32_t *score, int32_t *taken);
// Score and extend one hit group (`size` entries of merged); appends an Alignment, a
// Candidate or nothing.
void align_hit_group(const ReadRecord *read, const SeedHit *group, int32_t size,
                     int32_t max_err, int32_t min_score, int32_t max_clip, MappingWorkspace *ws);
// Extend every candidate again with one budget for the whole call; accepted candidates move
// to the AlignmentList.
void reextend_candidates(const ReadRecord *read, MappingWorkspace *ws);
// The three passes and the re-extension over the read's hit groups (needs merged hits); the
// first pass is skipped when align_full_groups has done it.
void map_to_transcriptome(const ReadRecord *read, MappingWorkspace *ws, bool first_pass_done = false);
// The first pass straight from the k-mer lists, before any merging: the groups that every
// k-mer hits are the diagonals common to all lists. Leaves the alignments and candidates that
// the first pass of map_to_transcriptome leaves; returns 1 when it accepted an alignment.
int align_full_groups(const ReadRecord *read, MappingWorkspace *ws);

// ---- gapped extension (gapped.cpp) ----

// Row table of a rows x cols matrix (row i at cell i x cols); buffers only grow.
int32_t **dp_matrix_rows(DpMatrix *matrix, int32_t rows, int32_t cols);
// Banded X-drop extension over at most `rows` reference and `cols` read bases, ref[i]
// against read[j] (right) or ref[-1 - i] against read[-1 - j] (left). Gives back the gained
// score and the reference and read bases used; returns the cost (read used - score).
int32_t banded_extend_right(DpMatrix *matrix, const char *ref, const char *read, int32_t rows,
                            int32_t cols, int32_t band, int32_t X, int32_t B, int32_t *score,
                            int32_t *ref_used, int32_t *read_used);
int32_t banded_extend_left(DpMatrix *matrix, const char *ref, const char *read, int32_t rows,
                           int32_t cols, int32_t band, int32_t X, int32_t B, int32_t *score,
                           int32_t *ref_used, int32_t *read_used);
// Gapped extension of one candidate at both ends; appends an Alignment when it passes.
void extend_candidate_gapped(const ReadRecord *read, const Candidate *candidate,
                             MappingWorkspace *ws);
// extend_candidate_gapped for every candidate of the read, in order. The outcome of an
// extension depends only on the read, the candidate's span and score and the transcript bases
// its bands read: candidates on isoforms that share those bases are extended once.
void extend_candidates_gapped(const ReadRecord *read, MappingWorkspace *ws);

// ---- read cache (read_cache.cpp) ----

// A cache of about `entries` reads (128 bytes each, touched only as they are filled); every
// allocation failure ends the run.
ReadCache *create_read_cache(uint64_t entries);
void release_read_cache(ReadCache *cache);
// The key of a read of `len` bases; false when the read is not cached: longer than
// READ_CACHE_MAX_LEN, empty, or with a byte other than A, C, G and T.
bool read_cache_key(const char *seq, int32_t len, ReadKey *key);
// The outcome of the bases of `key` if they were stored: appends their alignments, in their
// order, to the (reset) list and returns true.
bool read_cache_find(ReadCache *cache, const ReadKey *key, AlignmentList *alignments, MapOutcome *outcome);
// Keep the outcome of the bases of `key` (with up to READ_CACHE_MAX_ALIGNMENTS alignments;
// more are not kept), in place of one that has not been asked for lately when the set is full.
void read_cache_store(ReadCache *cache, const ReadKey *key, MapOutcome outcome, const AlignmentList *alignments);

// ---- read mapping (map_read.cpp) ----

// Map one cDNA read as sequenced and classify it; on MAP_EXONIC ws->alignments holds the result.
// With a read cache (ws->cache) a read whose bases were mapped before takes their outcome.
MapOutcome map_read(const ReadRecord *read, MappingWorkspace *ws);
// What a run without an alignment dump (exonic_only) reads of a read's alignments: of an exonic
// read the gene that its best ones settle on, of any other nothing. The first best alignment
// keeps it, with the first best one of another gene when they do not agree: settle_gene gives
// the same answer and `best` is the same, however many alignments the read has. Returns how
// many were copied to `kept`. The read cache of such a run keeps these alone.
int32_t settling_alignments(const AlignmentList *all, MapOutcome outcome, const AnnotationInfo *ann, Alignment kept[2]);
// Gene index of a read from its best-scoring alignments (tx_gene of the transcript of each position),
// or -1 when no alignment qualifies or the best ones point to different genes.
int64_t settle_gene(const AlignmentList *alignments, const AnnotationInfo *ann);

// ---- genome check (genome_check.cpp) ----

// Outcome of a read from whether it has transcript alignments and its mismatch limit.
MapOutcome classify_read(const ReadRecord *read, int has_alignment, int32_t limit, MappingWorkspace *ws);
// Ask the genome whether the read in hand occurs as it is, on either strand, with the place of
// its first alignment as the hint; sets ws->occurs to 1 or 0 (read_settled asks it).
void ask_read_occurs(const ReadRecord *read, MappingWorkspace *ws);
// Whether the read in hand is known not to be exonic while its alignments are still being found
// (exonic_only runs): it has an alignment and occurs as it is in the genome, which beats every
// alignment with an error. Asked of the genome once per read, at its first alignment; the passes
// stop as soon as it holds. Called only after the first pass has failed: every alignment without
// an error comes from that pass (align_full_groups), so none of them has one.
static inline bool read_settled(const ReadRecord *read, MappingWorkspace *ws)
{
	if (ws->occurs < 0) {
		if (!ws->index->exonic_only || ws->alignments.count == 0) return false;
		ask_read_occurs(read, ws);
	}
	return ws->occurs == 1;
}
// Free the scratch's buffers and zero it.
void release_genome_scratch(GenomeScratch *scratch);
// Room in the scratch's per-seed arrays for `need` seeds.
void reserve_genome_seeds(GenomeScratch *scratch, int32_t need);
// A workspace whose index has no BWT (bwt null) finds nothing in the genome.
// One strand of the genome check: 1 when the bases have an ungapped genome placement with
// fewer than `limit` mismatches (or occur exactly), else 0.
int search_genome_strand(const GenomeBwt *bwt, const char *bases, int32_t len, int32_t limit,
                         GenomeScratch *scratch);
// Sort hits by ascending diagonal: in-place radix sort from 65 hits on, insertion sort below.
void sort_genome_hits(GenomeHit *hits, int64_t count);
// The seeds' occurrences sorted by diagonal; *list points into the scratch. Returns the count.
int64_t collect_genome_hits(const GenomeBwt *bwt, const GenomeSeed *seeds, int32_t count,
                            GenomeScratch *scratch, GenomeHit **list);
// Mismatches of the read against the genome on the group's diagonal, capped at `limit`.
// Positions past the end of the genome count as mismatches.
int32_t verify_genome_diagonal(const GenomeBwt *bwt, const char *read, int32_t len,
                               const GenomeHit *group, int32_t size, int32_t limit);
#endif
