// vorat-simulate: a synthetic 10X-Chromium 3' data set with a known answer.
//
// Writes into --out DIR:
//   genome.fa                    random chromosomes (some soft-masked stretches, N at the ends)
//   genes.gtf                    gene / transcript / exon lines, both strands, isoforms
//   R1.fastq[.gz], R2.fastq[.gz] barcode + UMI reads and cDNA reads, in shuffled order
//   truth/matrix.mtx             true UMI counts of the true cells (Matrix Market, like vora-T's)
//   truth/barcodes.tsv           true cell barcodes, matrix column order
//   truth/features.tsv           gene id and name in annotation order, matrix row order
//   truth/summary.tsv            what was generated, read kinds included
//
// Every molecule is one (barcode, UMI, source) with one or more reads (PCR duplicates).
// Sources: the 3' end region of a transcript in mRNA orientation (exonic, counted),
// an intron of a gene on its sense strand, or an intergenic stretch (neither counted).
// Reads carry substitution errors in the cDNA, barcode and UMI. Barcodes of empty
// droplets carry a few molecules each and are not cells. The truth counts, per true
// cell and gene, the distinct UMIs of exonic molecules that have at least one read.
#include <algorithm>
#include <unordered_set>
#include "simulate.h"

using namespace sim;

namespace {

void usage()
{
	fprintf(stderr,
	        "Usage: vorat-simulate [options]\n"
	        "  --seed N          random seed [1]\n"
	        "  --genome-size N   genome bases [5000000]\n"
	        "  --genes N         genes [500]\n"
	        "  --cells N         true cells [200]\n"
	        "  --reads N         read pairs [200000]\n"
	        "  --read-len N      cDNA read length [98 for v2, 90 for v3]\n"
	        "  --version 2|3     10X-Chromium 3' chemistry: v2 (16 + 10) or v3 (16 + 12) [2]\n"
	        "  --out DIR         output directory [sim]\n"
	        "  --gzip            gzip the read files\n"
	        "  --human-like      human-like genome and annotation (repeats, N runs, long introns)\n"
	        "  --tso F           share of molecules whose read 2 starts with the template-switch oligo [0]\n"
	        "  --polya F         share of exonic molecules read through their poly(A) tail [0]\n"
	        "  --tail-errors F   share of reads with a poorly read 3' end [0]\n");
}

Options parse_options(int argc, char **argv)
{
	Options o;
	for (int i = 1; i < argc; ++i) {
		std::string a = argv[i];
		if (a == "-h" || a == "--help") {
			usage();
			exit(0);
		}
		if (a == "--human-like") {
			o.human_like = true;
			continue;
		}
		if (a == "--gzip") {
			o.gzip = true;
			continue;
		}
		if (i + 1 >= argc) die("missing value after %s", argv[i]);
		const char *v = argv[++i];
		char *end = nullptr;
		unsigned long long n = strtoull(v, &end, 10);
		bool numeric = end && *end == 0 && *v != 0 && *v != '-';
		if (a == "--out") {
			o.out = v;
			continue;
		}
		if (a == "--tso" || a == "--polya" || a == "--tail-errors") {
			double f = strtod(v, &end);
			if (!end || *end || !(f >= 0 && f <= 1)) die("not a share from 0 to 1: %s", v);
			(a == "--tso" ? o.tso : a == "--polya" ? o.polya : o.tail_errors) = f;
			continue;
		}
		if (!numeric) die("not a number: %s", v);
		if (a == "--seed") o.seed = n;
		else if (a == "--genome-size") o.genome_size = n;
		else if (a == "--genes") o.genes = (uint32_t)n;
		else if (a == "--cells") o.cells = (uint32_t)n;
		else if (a == "--reads") o.reads = n;
		else if (a == "--read-len") o.read_len = (int)n;
		else if (a == "--version") o.version = (int)n;
		else die("unknown option %s", a.c_str());
	}
	if (o.version != 2 && o.version != 3) die("--version must be 2 or 3");
	if (o.read_len == 0) o.read_len = o.version == 2 ? 98 : 90;
	if (o.read_len < 30 || o.read_len > 1000) die("--read-len must be 30 to 1000");
	if (o.genes == 0 || o.cells == 0) die("--genes and --cells must be at least 1");
	if (o.genome_size > (o.human_like ? 3500000000ULL : 2000000000ULL)) die("--genome-size too large");
	return o;
}

// ---- barcodes, molecules and reads ----

enum Kind : uint8_t { EXONIC = 0, INTRONIC = 1, INTERGENIC = 2 };

struct Molecule {
	uint32_t barcode;  // index into the barcode list (true cells first)
	uint32_t source;   // transcript (exonic), gene (intronic) or chromosome (intergenic)
	uint32_t pos;      // read start: in the mRNA (exonic) or on the chromosome
	uint32_t umi;      // 2 bits per base, first base in the top bits
	uint16_t reads;
	uint8_t kind;
	uint8_t minus;     // intergenic reads: taken from the reverse strand
};

const double MEAN_READS_PER_MOLECULE = 2.5;
const double EMPTY_READ_FRACTION = 0.05;
const double CDNA_ERROR = 0.005, CDNA_N = 0.0005;
const double BARCODE_ERROR = 0.02, BARCODE_N = 0.002, UMI_ERROR = 0.01;

std::string random_barcode(Rng &rng, int len)
{
	std::string s(len, 'A');
	for (char &c : s) c = BASES[rng.below(4)];
	return s;
}

// Distinct barcodes with no two of them one substitution apart.
std::vector<std::string> make_barcodes(size_t n, Rng &rng)
{
	std::unordered_set<std::string> seen;
	std::vector<std::string> out;
	while (out.size() < n) {
		std::string b = random_barcode(rng, 16);
		bool near = seen.count(b) > 0;
		for (int j = 0; j < 16 && !near; ++j) {
			std::string v = b;
			for (char c : std::string(BASES)) {
				if (c == b[j]) continue;
				v[j] = c;
				if (seen.count(v)) near = true;
			}
		}
		if (near) continue;
		seen.insert(b);
		out.push_back(b);
	}
	return out;
}

// Cumulative gene weights per cell type: a skewed base profile, with some genes
// raised or lowered in each type.
std::vector<std::vector<double>> make_profiles(uint32_t n_genes, int n_types, Rng &rng)
{
	std::vector<double> base(n_genes);
	for (double &w : base) w = std::exp(1.5 * rng.normal());
	std::vector<std::vector<double>> cum(n_types, std::vector<double>(n_genes));
	for (int t = 0; t < n_types; ++t) {
		double acc = 0;
		for (uint32_t g = 0; g < n_genes; ++g) {
			double w = base[g];
			if (rng.below(10) == 0) w *= std::exp(1.5 * rng.normal());
			cum[t][g] = acc += w;
		}
	}
	return cum;
}

uint32_t pick(const std::vector<double> &cum, Rng &rng)
{
	double x = rng.uniform() * cum.back();
	return (uint32_t)(std::upper_bound(cum.begin(), cum.end(), x) - cum.begin()) % (uint32_t)cum.size();
}

struct Simulation {
	const Options &o;
	std::vector<Chromosome> chroms;
	std::vector<Gene> genes;
	std::vector<Transcript> txs;
	std::vector<std::string> barcodes;  // true cells first, then empty droplets
	std::vector<Molecule> mols;
	std::vector<Artefact> artefacts;  // per molecule; empty without artefacts
	uint64_t read_kinds[3] = {0, 0, 0};
	int umi_len;
	explicit Simulation(const Options &opt) : o(opt), umi_len(opt.version == 2 ? 10 : 12) {}

	// Genes are stored by chromosome and position and never overlap, so only the last
	// gene that starts at or before `last` can reach into [first, last].
	bool overlaps_gene(uint32_t chrom, uint32_t first, uint32_t last) const
	{
		auto after = std::upper_bound(genes.begin(), genes.end(), std::make_pair(chrom, last),
		                              [](const std::pair<uint32_t, uint32_t> &k, const Gene &g) {
			                              return k.first != g.chrom ? k.first < g.chrom : k.second < g.start;
		                              });
		if (after == genes.begin()) return false;
		const Gene &g = *(after - 1);
		return g.chrom == chrom && g.end >= first;
	}

	Molecule make_molecule(uint32_t barcode, const std::vector<double> &profile, Rng &rng)
	{
		Molecule m{};
		m.barcode = barcode;
		m.umi = (uint32_t)(rng.next() & ((1ULL << (2 * umi_len)) - 1));
		m.reads = (uint16_t)(1 + rng.poisson(MEAN_READS_PER_MOLECULE - 1));
		uint32_t r = (uint32_t)rng.below(100);
		m.kind = r < 80 ? EXONIC : (r < 90 ? INTRONIC : INTERGENIC);
		const uint32_t L = (uint32_t)o.read_len;
		if (m.kind == INTRONIC) {
			for (int tries = 0; tries < 50 && m.kind == INTRONIC; ++tries) {
				uint32_t g = pick(profile, rng);
				if (genes[g].introns.empty()) continue;
				const Exon &in = genes[g].introns[rng.below(genes[g].introns.size())];
				m.source = g;
				m.pos = in.start + (uint32_t)rng.below(in.end - in.start + 2 - L);
				return m;
			}
			m.kind = INTERGENIC;  // an annotation almost without introns
		}
		if (m.kind == INTERGENIC) {
			for (;;) {
				uint32_t c = (uint32_t)rng.below(chroms.size());
				const std::string &s = chroms[c].seq;
				uint32_t p = CHROM_EDGE + (uint32_t)rng.below(s.size() - 2 * CHROM_EDGE - L);
				if (overlaps_gene(c, p, p + L - 1)) continue;
				m.source = c;
				m.pos = p;
				m.minus = rng.below(2) == 1;
				return m;
			}
		}
		const Gene &g = genes[pick(profile, rng)];
		m.source = g.transcripts[rng.below(g.transcripts.size())];
		uint32_t len = (uint32_t)txs[m.source].mrna.size();
		uint32_t room = len - L;
		uint32_t from_end = std::min(room, (uint32_t)(-std::log(1.0 - rng.uniform()) * 200.0));
		m.pos = room - from_end;
		return m;
	}

	void make_molecules(Rng &rng)
	{
		uint64_t total_mols = (uint64_t)((double)o.reads / MEAN_READS_PER_MOLECULE) + 1;
		uint64_t empty_mols = (uint64_t)(total_mols * EMPTY_READ_FRACTION);
		uint64_t n_empty = std::min<uint64_t>(10ULL * o.cells, std::max<uint64_t>(1, empty_mols / 2));
		barcodes = make_barcodes(o.cells + n_empty, rng);
		const int n_types = 4;
		std::vector<std::vector<double>> profiles = make_profiles((uint32_t)genes.size(), n_types, rng);

		std::vector<double> weight(o.cells);
		double wsum = 0;
		for (double &w : weight) wsum += w = std::exp(0.8 * rng.normal());
		uint64_t cell_mols = total_mols - empty_mols;
		mols.reserve(total_mols + n_empty);
		for (uint32_t c = 0; c < o.cells; ++c) {
			uint64_t n = (uint64_t)std::llround(cell_mols * weight[c] / wsum);
			const std::vector<double> &profile = profiles[c % n_types];
			for (uint64_t i = 0; i < n; ++i) mols.push_back(make_molecule(c, profile, rng));
		}
		// Empty droplets: a few molecules each, of a random cell type's profile.
		const double extra_per_empty = std::max(0.0, (double)empty_mols / (double)n_empty - 1.0);
		for (uint64_t e = 0; e < n_empty; ++e) {
			uint64_t n = 1 + rng.poisson(extra_per_empty);
			for (uint64_t i = 0; i < n; ++i)
				mols.push_back(make_molecule(o.cells + (uint32_t)e, profiles[rng.below(n_types)], rng));
		}
		// Match the requested number of read pairs exactly by adding or removing duplicates.
		uint64_t total = 0;
		for (const Molecule &m : mols) total += m.reads;
		while (total < o.reads && !mols.empty()) {
			Molecule &m = mols[rng.below(mols.size())];
			if (m.reads < 60000) {
				++m.reads;
				++total;
			}
		}
		while (total > o.reads) {
			Molecule &m = mols[rng.below(mols.size())];
			if (m.reads > 0) {
				--m.reads;
				--total;
			}
		}
	}

	std::string true_umi(const Molecule &m) const
	{
		std::string umi(umi_len, 'A');
		for (int i = 0; i < umi_len; ++i) umi[i] = BASES[(m.umi >> (2 * (umi_len - 1 - i))) & 3];
		return umi;
	}

	// Drawn from a generator of their own, so that the molecules and the truth stay those of
	// the same seed without artefacts.
	void make_artefacts()
	{
		if (o.tso <= 0 && o.polya <= 0) return;
		Rng rng(o.seed ^ 0xa27efac7ULL);
		artefacts.resize(mols.size());
		for (size_t i = 0; i < mols.size(); ++i) {
			const bool exonic = mols[i].kind == EXONIC;
			artefacts[i] = draw_artefact(o, exonic, exonic ? (uint32_t)txs[mols[i].source].mrna.size() : 0, rng);
		}
	}

	// Read of molecule `mi`, with its errors; `rng` is the read's own generator.
	void render(uint64_t index, uint32_t mi, Rng &rng, std::string &r1, std::string &r2)
	{
		const Molecule &m = mols[mi];
		const int L = o.read_len;
		char name[48];
		int name_len = snprintf(name, sizeof name, "@sim.%llu", (unsigned long long)index + 1);
		std::string bc = barcodes[m.barcode];
		if (rng.uniform() < BARCODE_ERROR) {
			int j = (int)rng.below(16);
			bc[j] = BASES[(strchr(BASES, bc[j]) - BASES + 1 + rng.below(3)) % 4];
		}
		if (rng.uniform() < BARCODE_N) bc[rng.below(16)] = 'N';
		std::string umi = true_umi(m);
		if (rng.uniform() < UMI_ERROR) {
			int j = (int)rng.below(umi_len);
			umi[j] = BASES[(strchr(BASES, umi[j]) - BASES + 1 + rng.below(3)) % 4];
		}
		r1.assign(name, name_len);
		r1 += " 1:N:0:0\n" + bc + umi + "\n+\n" + std::string(16 + umi_len, 'F') + "\n";

		std::string seq;
		if (m.kind == EXONIC) {
			seq = txs[m.source].mrna.substr(m.pos, L);
		} else {
			const Chromosome &c = chroms[m.kind == INTRONIC ? genes[m.source].chrom : m.source];
			seq = c.seq.substr(m.pos, L);
			for (char &x : seq) x = (char)(x & ~0x20);
			bool minus = m.kind == INTRONIC ? genes[m.source].minus : m.minus;
			if (minus) {
				std::reverse(seq.begin(), seq.end());
				for (char &x : seq) x = complement(x);
			}
		}
		if (!artefacts.empty()) {
			static const std::string none;
			apply_artefact(artefacts[mi], m.kind == EXONIC ? txs[m.source].mrna : none, barcodes[m.barcode],
			               true_umi(m), L, seq);
		}
		std::string qual(L, 'F');
		for (int i = 0; i < L; ++i) {
			double u = rng.uniform();
			if (u < CDNA_N) {
				seq[i] = 'N';
				qual[i] = '#';
			} else if (u < CDNA_N + CDNA_ERROR) {
				const char *p = strchr(BASES, seq[i]);
				seq[i] = BASES[((p ? p - BASES : 0) + 1 + rng.below(3)) % 4];
				qual[i] = ':';
			}
		}
		add_tail_errors(o, rng, seq, qual);
		r2.assign(name, name_len);
		r2 += " 2:N:0:0\n" + seq + "\n+\n" + qual + "\n";
	}

	void write_reads()
	{
		std::vector<uint32_t> order;  // one entry per read: its molecule
		order.reserve(o.reads);
		for (uint32_t i = 0; i < mols.size(); ++i)
			for (uint32_t k = 0; k < mols[i].reads; ++k) order.push_back(i);
		Rng shuffle(o.seed ^ 0x5eed5eedULL);
		for (size_t i = order.size(); i > 1; --i) std::swap(order[i - 1], order[shuffle.below(i)]);

		const char *ext = o.gzip ? ".fastq.gz" : ".fastq";
		OutFile f1(o.out + "/R1" + ext, o.gzip), f2(o.out + "/R2" + ext, o.gzip);
		std::string r1, r2;
		for (size_t i = 0; i < order.size(); ++i) {
			uint64_t s = o.seed * 0x9e3779b97f4a7c15ULL + i;
			Rng rng(splitmix64(s));
			render(i, order[i], rng, r1, r2);
			++read_kinds[mols[order[i]].kind];
			f1.put(r1);
			f2.put(r2);
		}
	}

	void write_truth()
	{
		const std::string dir = o.out + "/truth";
		make_dir(dir);
		struct Key {
			uint32_t cell, gene, umi;
			bool operator<(const Key &k) const
			{
				return cell != k.cell ? cell < k.cell : gene != k.gene ? gene < k.gene : umi < k.umi;
			}
			bool operator==(const Key &k) const { return cell == k.cell && gene == k.gene && umi == k.umi; }
		};
		std::vector<Key> keys;
		for (const Molecule &m : mols)
			if (m.kind == EXONIC && m.reads > 0 && m.barcode < o.cells)
				keys.push_back({m.barcode, txs[m.source].gene, m.umi});
		std::sort(keys.begin(), keys.end());
		keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
		std::string body;
		uint64_t records = 0;
		char line[64];
		for (size_t i = 0; i < keys.size();) {
			size_t j = i;
			while (j < keys.size() && keys[j].cell == keys[i].cell && keys[j].gene == keys[i].gene) ++j;
			snprintf(line, sizeof line, "%u\t%u\t%zu\n", keys[i].gene + 1, keys[i].cell + 1, j - i);
			body += line;
			++records;
			i = j;
		}
		{
			OutFile f(dir + "/matrix.mtx", false);
			f.put("%%MatrixMarket matrix coordinate integer general\n%Truth count matrix generated by vorat-simulate\n");
			snprintf(line, sizeof line, "%zu\t%u\t%llu\n", genes.size(), o.cells, (unsigned long long)records);
			f.put(line);
			f.put(body);
		}
		{
			OutFile f(dir + "/barcodes.tsv", false);
			for (uint32_t c = 0; c < o.cells; ++c) f.put(barcodes[c] + "\n");
		}
		{
			OutFile f(dir + "/features.tsv", false);
			for (const Gene &g : genes) f.put(g.id + "\t" + g.name + "\n");
		}
		OutFile f(dir + "/summary.tsv", false);
		snprintf(line, sizeof line, "read_pairs\t%llu\n", (unsigned long long)(read_kinds[0] + read_kinds[1] + read_kinds[2]));
		f.put(line);
		snprintf(line, sizeof line, "exonic_reads\t%llu\n", (unsigned long long)read_kinds[EXONIC]);
		f.put(line);
		snprintf(line, sizeof line, "intronic_reads\t%llu\n", (unsigned long long)read_kinds[INTRONIC]);
		f.put(line);
		snprintf(line, sizeof line, "intergenic_reads\t%llu\n", (unsigned long long)read_kinds[INTERGENIC]);
		f.put(line);
		snprintf(line, sizeof line, "cells\t%u\nempty_droplets\t%zu\n", o.cells, barcodes.size() - o.cells);
		f.put(line);
		snprintf(line, sizeof line, "genes\t%zu\ntranscripts\t%zu\n", genes.size(), txs.size());
		f.put(line);
		snprintf(line, sizeof line, "true_molecules\t%zu\n", keys.size());
		f.put(line);
		snprintf(line, sizeof line, "barcode_len\t16\numi_len\t%d\nread_len\t%d\n", umi_len, o.read_len);
		f.put(line);
	}
};

}  // namespace

int main(int argc, char **argv)
{
	Options o = parse_options(argc, argv);
	make_dir(o.out);
	Simulation sim(o);
	Rng rng(o.seed);
	if (o.human_like) {
		make_human_like(o, rng, sim.chroms, sim.genes, sim.txs);
	} else {
		sim.chroms = make_genome(o, rng);
		make_annotation(o, sim.chroms, rng, sim.genes, sim.txs);
	}
	write_genome(o.out + "/genome.fa", sim.chroms);
	write_gtf(o.out + "/genes.gtf", sim.chroms, sim.genes, sim.txs);
	sim.make_molecules(rng);
	sim.make_artefacts();
	sim.write_reads();
	sim.write_truth();
	fprintf(stderr, "vorat-simulate: %llu read pairs (%llu exonic, %llu intronic, %llu intergenic), %u cells, %zu genes -> %s\n",
	        (unsigned long long)o.reads, (unsigned long long)sim.read_kinds[EXONIC],
	        (unsigned long long)sim.read_kinds[INTRONIC], (unsigned long long)sim.read_kinds[INTERGENIC], o.cells,
	        sim.genes.size(), o.out.c_str());
	return 0;
}
