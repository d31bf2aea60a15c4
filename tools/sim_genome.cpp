// vorat-simulate: the random genome, its gene annotation, and the FASTA and GTF writers.
#include <algorithm>
#include "simulate.h"

namespace sim {

std::vector<Chromosome> make_genome(const Options &o, Rng &rng)
{
	uint32_t n_chrom = (uint32_t)std::min<uint64_t>(8, o.genome_size / 2000000 + 1);
	std::vector<Chromosome> chroms(n_chrom);
	uint64_t left = o.genome_size;
	for (uint32_t c = 0; c < n_chrom; ++c) {
		uint64_t len = c + 1 == n_chrom ? left : o.genome_size / n_chrom;
		left -= len;
		chroms[c].name = "chr" + std::to_string(c + 1);
		std::string &s = chroms[c].seq;
		s.resize(len);
		for (uint64_t i = 0; i < len; i += 32) {
			uint64_t r = rng.next();
			for (uint64_t k = i; k < len && k < i + 32; ++k, r >>= 2) s[k] = BASES[r & 3];
		}
		for (uint64_t i = 0; i < len; ++i) {  // soft-masked repeats-to-be, about 3 %
			if (rng.below(20000) != 0) continue;
			uint64_t run = rng.range(200, 1000);
			for (uint64_t k = i; k < len && k < i + run; ++k) s[k] = (char)(s[k] | 0x20);
			i += run;
		}
		for (uint64_t i = 0; i < len && i < CHROM_EDGE; ++i) s[i] = s[len - 1 - i] = 'N';
	}
	return chroms;
}

static std::string spliced(const Chromosome &chrom, const std::vector<Exon> &exons, bool minus)
{
	std::string out;
	for (const Exon &e : exons)
		for (uint32_t p = e.start; p <= e.end; ++p) out += (char)(chrom.seq[p] & ~0x20);
	if (minus) {
		std::reverse(out.begin(), out.end());
		for (char &c : out) c = complement(c);
	}
	return out;
}

// Genes are laid out one per equal region of each chromosome, with intergenic space
// between them, so that no two genes overlap.
void make_annotation(const Options &o, const std::vector<Chromosome> &chroms, Rng &rng,
                     std::vector<Gene> &genes, std::vector<Transcript> &txs)
{
	const uint32_t three_prime_min = (uint32_t)std::max(300, o.read_len + 100);
	uint64_t usable = 0;
	for (const Chromosome &c : chroms) usable += c.seq.size() - 2 * CHROM_EDGE;
	uint32_t assigned = 0;
	for (uint32_t c = 0; c < chroms.size(); ++c) {
		uint64_t chrom_usable = chroms[c].seq.size() - 2 * CHROM_EDGE;
		uint32_t k = c + 1 == chroms.size() ? o.genes - assigned
		                                    : (uint32_t)((double)o.genes * chrom_usable / usable);
		assigned += k;
		if (k == 0) continue;
		uint64_t region = chrom_usable / k;
		if (region < 3 * (uint64_t)three_prime_min + 1000) die("genome too small for that many genes");
		for (uint32_t r = 0; r < k; ++r) {
			Gene g;
			g.chrom = c;
			g.minus = rng.below(2) == 1;
			uint32_t gi = (uint32_t)genes.size();
			char buf[32];
			snprintf(buf, sizeof buf, "SIMG%06u", gi + 1);
			g.id = buf;
			g.name = "Gene" + std::to_string(gi + 1);
			uint64_t span = (uint64_t)(region * (0.35 + 0.3 * rng.uniform()));
			uint64_t region_start = CHROM_EDGE + r * region;
			uint64_t gene_start = region_start + rng.below(region - span);

			// Exon lengths, the 3' exon (last in mRNA order) long enough for reads.
			std::vector<uint32_t> lens;
			uint32_t n_exons = (uint32_t)rng.range(1, 8);
			for (;;) {
				lens.assign(n_exons, 0);
				uint64_t total = 0;
				for (uint32_t e = 0; e < n_exons; ++e) total += lens[e] = (uint32_t)rng.range(60, 300);
				uint32_t three = g.minus ? 0 : n_exons - 1;
				total -= lens[three];
				lens[three] = (uint32_t)rng.range(three_prime_min, three_prime_min + 900);
				total += lens[three];
				if (total + (n_exons - 1) * 80ULL <= span || n_exons == 1) {
					if (n_exons == 1) span = total;
					break;
				}
				--n_exons;
			}
			uint64_t exonic = 0;
			for (uint32_t l : lens) exonic += l;
			uint64_t intron_budget = span - exonic;
			std::vector<double> w(n_exons > 1 ? n_exons - 1 : 0);
			double wsum = 0;
			for (double &x : w) wsum += x = 0.2 + rng.uniform();
			std::vector<Exon> exons;
			uint64_t pos = gene_start;
			for (uint32_t e = 0; e < n_exons; ++e) {
				exons.push_back({(uint32_t)pos, (uint32_t)(pos + lens[e] - 1)});
				pos += lens[e];
				if (e + 1 < n_exons) pos += 80 + (uint64_t)((intron_budget - (n_exons - 1) * 80.0) * w[e] / wsum);
			}
			g.start = exons.front().start;
			g.end = exons.back().end;
			for (uint32_t e = 0; e + 1 < n_exons; ++e)
				if (exons[e + 1].start - exons[e].end - 1 >= (uint32_t)o.read_len + 20)
					g.introns.push_back({exons[e].end + 1, exons[e + 1].start - 1});

			// Isoforms: the full transcript, then exon skipping, a shorter 3' end or a later start.
			uint32_t n_iso = rng.below(10) < 6 ? 1 : (rng.below(3) < 2 ? 2 : 3);
			for (uint32_t t = 0; t < n_iso; ++t) {
				std::vector<Exon> iso = exons;
				if (t > 0) {
					if (iso.size() >= 3 && rng.below(2) == 0) {
						iso.erase(iso.begin() + 1 + (long)rng.below(iso.size() - 2));
					} else {
						Exon &three = g.minus ? iso.front() : iso.back();
						uint32_t cut = (uint32_t)rng.range(50, 150) * t;
						if (three.end - three.start + 1 >= three_prime_min + cut) {
							if (g.minus) three.start += cut;
							else three.end -= cut;
						} else {
							Exon &five = g.minus ? iso.back() : iso.front();
							uint32_t trim = std::min<uint32_t>(30 * t, (five.end - five.start) / 2);
							if (g.minus) five.end -= trim;
							else five.start += trim;
						}
					}
				}
				Transcript tx;
				tx.gene = gi;
				snprintf(buf, sizeof buf, "SIMT%06u.%u", gi + 1, t + 1);
				tx.id = buf;
				tx.exons = iso;
				tx.mrna = spliced(chroms[c], iso, g.minus);
				g.transcripts.push_back((uint32_t)txs.size());
				txs.push_back(std::move(tx));
			}
			genes.push_back(std::move(g));
		}
	}
}

void make_dir(const std::string &path)
{
	if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) die("cannot create directory %s", path.c_str());
}

void write_genome(const std::string &path, const std::vector<Chromosome> &chroms)
{
	OutFile f(path, false);
	for (const Chromosome &c : chroms) {
		f.put(">" + c.name + " simulated\n");
		for (size_t i = 0; i < c.seq.size(); i += 60) {
			f.put(c.seq.data() + i, std::min<size_t>(60, c.seq.size() - i));
			f.put("\n", 1);
		}
	}
}

void write_gtf(const std::string &path, const std::vector<Chromosome> &chroms, const std::vector<Gene> &genes,
               const std::vector<Transcript> &txs)
{
	OutFile f(path, false);
	f.put("#!genome-build simulated\n");
	char line[1024];
	for (const Gene &g : genes) {
		const char *chr = chroms[g.chrom].name.c_str(), strand = g.minus ? '-' : '+';
		snprintf(line, sizeof line,
		         "%s\tsim\tgene\t%u\t%u\t.\t%c\t.\tgene_id \"%s\"; gene_name \"%s\"; gene_biotype \"protein_coding\";\n",
		         chr, g.start + 1, g.end + 1, strand, g.id.c_str(), g.name.c_str());
		f.put(line);
		for (uint32_t t : g.transcripts) {
			const Transcript &tx = txs[t];
			snprintf(line, sizeof line,
			         "%s\tsim\ttranscript\t%u\t%u\t.\t%c\t.\tgene_id \"%s\"; transcript_id \"%s\"; gene_name \"%s\";\n",
			         chr, tx.exons.front().start + 1, tx.exons.back().end + 1, strand, g.id.c_str(), tx.id.c_str(),
			         g.name.c_str());
			f.put(line);
			size_t n = tx.exons.size();
			for (size_t k = 0; k < n; ++k) {  // mRNA order, as annotations usually list them
				const Exon &e = tx.exons[g.minus ? n - 1 - k : k];
				snprintf(line, sizeof line,
				         "%s\tsim\texon\t%u\t%u\t.\t%c\t.\tgene_id \"%s\"; transcript_id \"%s\"; exon_number \"%zu\";\n",
				         chr, e.start + 1, e.end + 1, strand, g.id.c_str(), tx.id.c_str(), k + 1);
				f.put(line);
			}
		}
	}
}

}  // namespace sim
