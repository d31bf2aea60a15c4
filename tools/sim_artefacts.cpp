// vorat-simulate: the sequence that real cDNA reads carry besides cDNA.
//
// - Template-switch oligo: a molecule whose fragment holds its 5' end is read from the oligo
//   on; read 2 starts with the oligo or, when the read starts inside it, with its last bases.
// - Poly(A) read-through: a short fragment ends in the transcript's 3' end, so read 2 runs
//   through the poly(A) tail into the UMI, the barcode and the read-1 primer (all reverse
//   complemented).
// - Quality tails: the last bases of some reads are read poorly, with many substitutions.
// The first two belong to the fragment, so every read of a molecule (its PCR duplicates)
// carries them; the third belongs to the read.
#include "simulate.h"

namespace sim {

const char TSO[] = "AAGCAGTGGTATCAACGCAGAGTACATGGG";
// Read-1 sequencing primer that precedes the barcode on the fragment.
const char READ1_PRIMER[] = "CTACACGACGCTCTTCCGATCT";
const int POLYA_TAIL = 30;                           // A's of the oligo-dT primer
const int MIN_POLYA_CDNA = 40;                       // cDNA bases before the tail, at least
const int MIN_TAIL = 10, MAX_TAIL = 25;              // poorly read bases at the end
const double TAIL_ERROR = 0.2;                       // substitution rate in them
const int MIN_TSO_PART = 12;                         // shortest end of the oligo a read starts with

static std::string reverse_complement(const std::string &s)
{
	std::string rc(s.rbegin(), s.rend());
	for (char &c : rc) c = complement(c);
	return rc;
}

Artefact draw_artefact(const Options &o, bool exonic, uint32_t mrna_len, Rng &rng)
{
	Artefact a;
	if (rng.uniform() < o.tso) {
		const int whole = (int)sizeof TSO - 1;
		a.tso_len = (uint8_t)(rng.uniform() < 0.6 ? whole : (int)rng.range(MIN_TSO_PART, whole - 1));
	}
	// A read that starts with the oligo reads the 5' end of its molecule, not the 3' end.
	const int L = o.read_len;
	if (exonic && a.tso_len == 0 && L - 10 > MIN_POLYA_CDNA && rng.uniform() < o.polya) {
		const uint32_t most = std::min<uint32_t>((uint32_t)(L - 10), mrna_len);
		if (most >= (uint32_t)MIN_POLYA_CDNA) a.polya_cdna = (uint16_t)rng.range(MIN_POLYA_CDNA, most);
	}
	return a;
}

void apply_artefact(const Artefact &a, const std::string &mrna, const std::string &barcode, const std::string &umi,
                    int L, std::string &seq)
{
	if (a.tso_len) {
		seq = std::string(TSO + (sizeof TSO - 1 - a.tso_len)) + seq;
		seq.resize((size_t)L);
	} else if (a.polya_cdna) {
		seq = mrna.substr(mrna.size() - a.polya_cdna) + std::string(POLYA_TAIL, 'A') + reverse_complement(umi) +
		      reverse_complement(barcode) + reverse_complement(READ1_PRIMER);
		while ((int)seq.size() < L) seq += 'A';  // past the end of the fragment: the flow cell's poly(A)
		seq.resize((size_t)L);
	}
}

void add_tail_errors(const Options &o, Rng &rng, std::string &seq, std::string &qual)
{
	if (o.tail_errors <= 0 || rng.uniform() >= o.tail_errors) return;
	const int L = (int)seq.size();
	const int tail = std::min(L, (int)rng.range(MIN_TAIL, MAX_TAIL));
	for (int i = L - tail; i < L; ++i) {
		qual[i] = ',';
		if (rng.uniform() >= TAIL_ERROR) continue;
		const char *p = strchr(BASES, seq[i]);
		seq[i] = BASES[((p ? p - BASES : 0) + 1 + rng.below(3)) % 4];
	}
}

}  // namespace sim
