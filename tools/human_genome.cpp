// vorat-simulate --human-like: a genome and annotation shaped like a mammalian reference.
//
// Up to 25 sequences with the relative sizes of the human chromosomes (and a 16.6 kb
// mitochondrion-like one at full size), each with N runs at both ends and a centromere-like
// N run of 1-3 Mb (scaled with the chromosome) between its arms. The background varies in
// GC content between 100 kb windows. Interspersed repeats cover about half of it, in
// human-like shares: a young SINE-like family of about 300 bp at 0.5-3 % divergence (~11 %),
// older SINE subfamilies at 5-15 % (~3 %), 3'-truncated LINE-like fragments of a 6 kb
// element (~20 %), simple repeats (~3 %), and segmental duplications of 10-100 kb (~5 %),
// copies in both orientations and soft-masked (lower case) like a masked reference.
// Genes (non-overlapping, both strands, in position order on the arms) have human-like
// exon and intron lengths (introns shrink when the genome leaves less room per gene) and
// about three isoforms each. Repeats stay inside 3' terminal exons and in some other exons.
#include <algorithm>
#include <cmath>
#include "simulate.h"

namespace sim {

namespace {

// Relative sizes (Mb) of human chromosomes 1-22, X and Y.
const double CHROM_MB[] = {248, 242, 198, 190, 181, 171, 159, 145, 138, 134, 135, 133,
                           114, 107, 102, 90,  83,  80,  59,  64,  47,  51,  156, 57};
const uint32_t N_NUCLEAR = sizeof CHROM_MB / sizeof CHROM_MB[0];
const uint64_t MITO_LENGTH = 16569;
const uint64_t FULL_GENOME = 3100000000ULL;

char random_base(Rng &rng) { return BASES[rng.next() & 3]; }

std::string random_seq(Rng &rng, size_t n)
{
	std::string s(n, 'A');
	for (char &c : s) c = random_base(rng);
	return s;
}

// Substitutes each base of s (to another base) at rate `divergence`.
void mutate(std::string &s, double divergence, Rng &rng)
{
	const uint64_t threshold = (uint64_t)(divergence * 18446744073709551615.0);
	for (char &c : s) {
		if (rng.next() >= threshold) continue;
		const char *b = strchr(BASES, c & ~0x20);
		if (b && *b) c = BASES[(b - BASES + 1 + rng.below(3)) % 4];
	}
}

void reverse_complement(std::string &s)
{
	std::reverse(s.begin(), s.end());
	for (char &c : s) c = complement(c);
}

// Writes `copy`, soft-masked, over the sequence at a random position of [from, to).
void place(std::string &seq, uint64_t from, uint64_t to, const std::string &copy, Rng &rng)
{
	if (to <= from || to - from <= copy.size()) return;
	uint64_t p = from + rng.below(to - from - copy.size());
	for (size_t i = 0; i < copy.size(); ++i) seq[p + i] = (char)(copy[i] | 0x20);
}

// Background with GC content drawn per 100 kb window (35-55 %), eight bases per draw.
void fill_background(std::string &s, Rng &rng)
{
	char table[256];
	for (uint64_t w = 0; w < s.size(); w += 100000) {
		const double gc = 0.35 + 0.2 * rng.uniform();
		for (int b = 0; b < 256; ++b) {
			const bool strong = b < (int)(gc * 256);
			table[b] = strong ? ((b & 1) ? 'C' : 'G') : ((b & 1) ? 'A' : 'T');
		}
		const uint64_t end = std::min<uint64_t>(s.size(), w + 100000);
		for (uint64_t i = w; i < end;) {
			uint64_t r = rng.next();
			for (int k = 0; k < 8 && i < end; ++k, ++i, r >>= 8) s[i] = table[r & 0xFF];
		}
	}
}

struct RepeatLibrary {
	std::string young_sine;
	std::vector<std::string> old_sines;
	std::string line;
};

RepeatLibrary make_library(Rng &rng)
{
	RepeatLibrary lib;
	lib.young_sine = random_seq(rng, 282) + std::string(18, 'A');  // poly-A tail
	for (int f = 0; f < 4; ++f) {
		std::string s = random_seq(rng, 240 + 20 * f);
		lib.old_sines.push_back(s);
	}
	lib.line = random_seq(rng, 6000);
	return lib;
}

// Interspersed repeats over the stretch [from, to) of a sequence.
void add_repeats(std::string &seq, uint64_t from, uint64_t to, const RepeatLibrary &lib,
                 const std::vector<std::string *> &donors, Rng &rng)
{
	// Copies land on each other: 1.45 times the shares gives them their cover.
	const uint64_t len = (uint64_t)(1.45 * (double)(to - from));
	auto oriented = [&](std::string s) {
		if (rng.below(2)) reverse_complement(s);
		return s;
	};
	for (uint64_t i = 0, n = (uint64_t)(0.11 * len / 300); i < n; ++i) {
		std::string c = lib.young_sine;
		mutate(c, 0.005 + 0.025 * rng.uniform(), rng);
		place(seq, from, to, oriented(c), rng);
	}
	for (uint64_t i = 0, n = (uint64_t)(0.03 * len / 260); i < n; ++i) {
		std::string c = lib.old_sines[rng.below(lib.old_sines.size())];
		mutate(c, 0.05 + 0.10 * rng.uniform(), rng);
		place(seq, from, to, oriented(c), rng);
	}
	// LINE fragments keep the 3' end; most are short, a few full length.
	for (uint64_t i = 0, n = (uint64_t)(0.20 * len / 1000); i < n; ++i) {
		const uint64_t keep = std::min<uint64_t>(6000, 100 + (uint64_t)(-std::log(1.0 - rng.uniform()) * 900.0));
		std::string c = lib.line.substr(6000 - keep);
		mutate(c, 0.05 + 0.15 * rng.uniform(), rng);
		place(seq, from, to, oriented(c), rng);
	}
	for (uint64_t i = 0, n = (uint64_t)(0.03 * len / 80); i < n; ++i) {
		const std::string unit = random_seq(rng, (size_t)rng.range(1, 6));
		std::string c;
		while (c.size() < 20 + rng.below(180)) c += unit;
		mutate(c, 0.02, rng);
		place(seq, from, to, c, rng);
	}
	// Segmental duplications: 10-100 kb from any sequence already built (this one included).
	for (uint64_t i = 0, n = (uint64_t)(0.05 * len / 55000); i < n; ++i) {
		const std::string &donor = *donors[rng.below(donors.size())];
		const uint64_t l = rng.range(10000, 100000);
		if (donor.size() < l + 2 * CHROM_EDGE) continue;
		std::string c = donor.substr(CHROM_EDGE + rng.below(donor.size() - l - 2 * CHROM_EDGE), l);
		if (c.find('N') != std::string::npos) continue;
		mutate(c, 0.005 + 0.025 * rng.uniform(), rng);
		place(seq, from, to, oriented(c), rng);
	}
}

uint32_t lognormal(Rng &rng, double median, double sigma, uint32_t lo, uint32_t hi)
{
	const double x = median * std::exp(sigma * rng.normal());
	return (uint32_t)std::min<double>(hi, std::max<double>(lo, x));
}

std::string spliced(const std::string &seq, const std::vector<Exon> &exons, bool minus)
{
	std::string out;
	for (const Exon &e : exons)
		for (uint32_t p = e.start; p <= e.end; ++p) out += (char)(seq[p] & ~0x20);
	if (minus) reverse_complement(out);
	return out;
}

// Genes on the arm [from, to) of chromosome c, one per equal region.
void add_genes(const Options &o, uint32_t c, std::string &seq, uint64_t from, uint64_t to, uint32_t count,
               Rng &rng, std::vector<Gene> &genes, std::vector<Transcript> &txs)
{
	if (count == 0) return;
	const uint32_t three_min = (uint32_t)std::max(300, o.read_len + 100);
	const uint64_t region = (to - from) / count;
	for (uint32_t r = 0; r < count; ++r) {
		Gene g;
		g.chrom = c;
		g.minus = rng.below(2) == 1;
		const uint32_t gi = (uint32_t)genes.size();
		char buf[48];
		snprintf(buf, sizeof buf, "SIMG%06u", gi + 1);
		g.id = buf;
		g.name = "Gene" + std::to_string(gi + 1);

		// Exon and intron lengths in gene order (5' first on the plus strand).
		uint32_t n_exons = std::min<uint32_t>(40, 1 + (uint32_t)(-std::log(1.0 - rng.uniform()) * 9.0));
		std::vector<uint32_t> lens(n_exons);
		for (uint32_t &l : lens) l = lognormal(rng, 130, 0.5, 30, 1500);
		uint32_t three = g.minus ? 0 : n_exons - 1;
		lens[three] = lognormal(rng, 1000, 0.8, three_min + 300, 12000);
		uint64_t exonic = 0, intronic = 0;
		for (uint32_t l : lens) exonic += l;
		// The gene takes at most 60 % of its region: drop 5' exons, shorten the 3' one, then
		// shrink the introns.
		const uint64_t room = region * 6 / 10;
		while (n_exons > 1 && exonic + 80ULL * (n_exons - 1) > room) {
			exonic -= g.minus ? lens.back() : lens.front();
			if (g.minus) lens.pop_back();
			else lens.erase(lens.begin());
			n_exons = (uint32_t)lens.size();
			three = g.minus ? 0 : n_exons - 1;
		}
		if (exonic > room) {
			if (room < three_min) die("genome too small for that many genes");
			lens[three] = (uint32_t)room;
			exonic = room;
		}
		std::vector<uint32_t> introns(n_exons - 1);
		for (uint32_t &l : introns) intronic += l = lognormal(rng, 1800, 1.3, 80, 400000);
		if (exonic + intronic > room) {  // every intron keeps at least 80 bases
			const uint64_t min_introns = 80ULL * (n_exons - 1);
			const double f = (double)(room - exonic - min_introns) / (double)(intronic - min_introns);
			intronic = 0;
			for (uint32_t &l : introns) intronic += l = 80 + (uint32_t)((l - 80) * f);
		}
		if (exonic + intronic > room) die("genome too small for that many genes");
		const uint64_t start = from + r * region + rng.below(region - exonic - intronic);
		std::vector<Exon> exons;
		uint64_t pos = start;
		for (uint32_t e = 0; e < n_exons; ++e) {
			exons.push_back({(uint32_t)pos, (uint32_t)(pos + lens[e] - 1)});
			pos += lens[e] + (e + 1 < n_exons ? introns[e] : 0);
		}
		// Coding exons are mostly free of repeats: redraw most of them. 3' terminal exons keep theirs.
		for (uint32_t e = 0; e < n_exons; ++e)
			if (e != three && rng.below(10) < 7)
				for (uint32_t p = exons[e].start; p <= exons[e].end; ++p) seq[p] = random_base(rng);
		g.start = exons.front().start;
		g.end = exons.back().end;
		for (uint32_t e = 0; e + 1 < n_exons; ++e)
			if (exons[e + 1].start - exons[e].end - 1 >= (uint32_t)o.read_len + 20)
				g.introns.push_back({exons[e].end + 1, exons[e + 1].start - 1});

		// Isoforms: the full one, then skipped exons, later starts and shorter 3' ends.
		const uint32_t n_iso = 1 + std::min<uint32_t>(7, rng.poisson(2.0));
		for (uint32_t t = 0; t < n_iso; ++t) {
			std::vector<Exon> iso;
			for (uint32_t e = 0; e < n_exons; ++e) {
				const bool terminal = e == 0 || e + 1 == n_exons;
				if (t > 0 && !terminal && rng.below(5) == 0) continue;
				iso.push_back(exons[e]);
			}
			if (t > 0 && iso.size() > 2 && rng.below(3) == 0) {  // later transcription start
				if (g.minus) iso.pop_back();
				else iso.erase(iso.begin());
			}
			Exon &three_end = g.minus ? iso.front() : iso.back();
			const uint32_t cut = (uint32_t)rng.below(300) * (t > 0);
			if (three_end.end - three_end.start + 1 >= three_min + cut) {
				if (g.minus) three_end.start += cut;
				else three_end.end -= cut;
			}
			Transcript tx;
			tx.gene = gi;
			snprintf(buf, sizeof buf, "SIMT%06u.%u", gi + 1, t + 1);
			tx.id = buf;
			tx.exons = iso;
			g.transcripts.push_back((uint32_t)txs.size());
			txs.push_back(std::move(tx));
		}
		genes.push_back(std::move(g));
	}
}

}  // namespace

void make_human_like(const Options &o, Rng &rng, std::vector<Chromosome> &chroms, std::vector<Gene> &genes,
                     std::vector<Transcript> &txs)
{
	const uint32_t n_nuclear = (uint32_t)std::clamp<uint64_t>(o.genome_size / 1000000, 1, N_NUCLEAR);
	const bool mito = n_nuclear == N_NUCLEAR && o.genome_size >= FULL_GENOME / 4;
	const uint64_t nuclear = o.genome_size - (mito ? MITO_LENGTH : 0);
	double weight = 0;
	for (uint32_t c = 0; c < n_nuclear; ++c) weight += CHROM_MB[c];
	const double scale = (double)o.genome_size / (double)FULL_GENOME;
	const RepeatLibrary lib = make_library(rng);

	chroms.resize(n_nuclear + (mito ? 1 : 0));
	std::vector<std::string *> donors;
	std::vector<uint64_t> arm_end(n_nuclear), arm2_start(n_nuclear);
	uint64_t left = nuclear;
	for (uint32_t c = 0; c < n_nuclear; ++c) {
		const uint64_t len = c + 1 == n_nuclear ? left : (uint64_t)(nuclear * CHROM_MB[c] / weight);
		left -= len;
		Chromosome &ch = chroms[c];
		ch.name = c < 22 ? "chr" + std::to_string(c + 1) : (c == 22 ? "chrX" : "chrY");
		ch.seq.resize(len);
		fill_background(ch.seq, rng);
		donors.push_back(&ch.seq);
		add_repeats(ch.seq, 0, len, lib, donors, rng);
		// Telomere-like and centromere-like N runs.
		const uint64_t edge = std::max<uint64_t>(CHROM_EDGE, std::min<uint64_t>(10000, len / 100));
		const uint64_t centromere = (uint64_t)((1000000 + rng.below(2000001)) * std::min(1.0, scale * 4));
		const uint64_t cen_start = len * (3 + rng.below(3)) / 10;
		for (uint64_t i = 0; i < edge; ++i) ch.seq[i] = ch.seq[len - 1 - i] = 'N';
		for (uint64_t i = cen_start; i < cen_start + centromere && i < len - edge; ++i) ch.seq[i] = 'N';
		arm_end[c] = cen_start;
		arm2_start[c] = std::min(len - edge, cen_start + centromere);
	}
	if (mito) {
		chroms.back().name = "chrM";
		chroms.back().seq = random_seq(rng, MITO_LENGTH);
	}

	// Genes in proportion to the arm lengths, in chromosome and position order.
	uint64_t usable = 0;
	for (uint32_t c = 0; c < n_nuclear; ++c) usable += chroms[c].seq.size();
	uint32_t assigned = 0;
	for (uint32_t c = 0; c < n_nuclear; ++c) {
		const uint64_t len = chroms[c].seq.size();
		const uint32_t k = c + 1 == n_nuclear ? o.genes - assigned : (uint32_t)((double)o.genes * len / usable);
		assigned += k;
		const uint64_t lo = std::max<uint64_t>(CHROM_EDGE, std::min<uint64_t>(10000, len / 100));
		const uint64_t arm1 = arm_end[c] - lo, arm2 = len - lo - arm2_start[c];
		const uint32_t k1 = (uint32_t)((double)k * arm1 / (double)(arm1 + arm2));
		add_genes(o, c, chroms[c].seq, lo, arm_end[c], k1, rng, genes, txs);
		add_genes(o, c, chroms[c].seq, arm2_start[c], len - lo, k - k1, rng, genes, txs);
	}
	for (Transcript &tx : txs) tx.mrna = spliced(chroms[genes[tx.gene].chrom].seq, tx.exons, genes[tx.gene].minus);
}

}  // namespace sim
