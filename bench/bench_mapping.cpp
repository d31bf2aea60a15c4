// Read-mapping throughput on a simulated data set: a generated genome (60 Mb by default)
// with a few thousand spliced genes, its BWT and transcript k-mer hash, and 100-base reads
// drawn from transcripts (with sequencing errors and small indels), introns, intergenic
// regions, the opposite strand and nowhere. Reports reads mapped per second on one thread,
// the share of time in seeding, transcript alignment and the genome check, and the outcomes.
//
// usage: bench_mapping [genome_mb=60] [genes=3000] [reads=400000] [seed=1]
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>
#include "mapping/mapping.h"

namespace {

double now_seconds()
{
	timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return (double)ts.tv_sec + ts.tv_nsec * 1e-9;
}

// CPU time of the calling thread: the throughput figure does not count the time the thread
// waited for a core on a busy machine.
double thread_seconds()
{
	timespec ts;
	clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
	return (double)ts.tv_sec + ts.tv_nsec * 1e-9;
}

std::string random_bases(std::mt19937_64 &rng, size_t n)
{
	static const char letters[] = "ACGT";
	std::string s(n, 'A');
	for (size_t i = 0; i < n; i += 32) {
		uint64_t r = rng();
		for (size_t j = i; j < n && j < i + 32; ++j, r >>= 2) s[j] = letters[r & 3];
	}
	return s;
}

std::string reverse_complement(const std::string &s)
{
	std::string r(s.size(), 'N');
	for (size_t i = 0; i < s.size(); ++i) r[i] = COMPLEMENT_LETTERS[BASE_CODE[(uint8_t)s[s.size() - 1 - i]]];
	return r;
}

struct Gene {
	uint32_t chrom_start;  // text position of the gene's first base
	std::vector<std::pair<uint32_t, uint32_t>> exons;  // text positions, half-open
	bool minus;
};

struct Data {
	std::string text;                   // the genome, all chromosomes back to back
	std::vector<Gene> genes;
	std::vector<std::string> tx;        // spliced transcripts
	std::vector<uint32_t> tx_gene;
	std::string tx_seq;
	std::vector<uint32_t> length, offset, base_tx;
	std::vector<std::pair<uint32_t, uint32_t>> introns;  // text positions, half-open
};

// Genes of 2 to 10 exons (60 to 400 bases) with introns of 100 to 6,000 bases, 1 to 4
// isoforms each (random exon subsets keeping first and last), both strands; 2% of the
// genome are processed copies of transcripts (with 1% divergence), 1% short tandem repeats.
void generate(Data &d, size_t genome_len, int n_genes, std::mt19937_64 &rng)
{
	d.text = random_bases(rng, genome_len);
	const size_t span = genome_len / (size_t)n_genes;
	for (int g = 0; g < n_genes; ++g) {
		Gene gene;
		gene.minus = rng() & 1;
		uint32_t pos = (uint32_t)(g * span + 1000 + rng() % 2000);
		const int n_exons = 2 + (int)(rng() % 9);
		gene.chrom_start = pos;
		for (int e = 0; e < n_exons; ++e) {
			const uint32_t len = 60 + (uint32_t)(rng() % 340);
			if (pos + len >= (g + 1) * span) break;
			gene.exons.push_back({pos, pos + len});
			const uint32_t intron = 100 + (uint32_t)(rng() % 6000);
			if (e + 1 < n_exons) d.introns.push_back({pos + len, std::min<uint32_t>(pos + len + intron, (uint32_t)((g + 1) * span))});
			pos += len + intron;
		}
		if (gene.exons.size() < 2) continue;
		const int n_iso = 1 + (int)(rng() % 4);
		for (int i = 0; i < n_iso; ++i) {
			std::string s;
			for (size_t e = 0; e < gene.exons.size(); ++e) {
				const bool keep = i == 0 || e == 0 || e + 1 == gene.exons.size() || (rng() % 3 != 0);
				if (keep) s += d.text.substr(gene.exons[e].first, gene.exons[e].second - gene.exons[e].first);
			}
			d.tx.push_back(gene.minus ? reverse_complement(s) : s);
			d.tx_gene.push_back((uint32_t)d.genes.size());
		}
		d.genes.push_back(gene);
	}
	// Processed copies placed in the last 10% of each gene's span (intergenic).
	size_t copied = 0;
	while (copied < genome_len / 50) {
		const std::string &t = d.tx[rng() % d.tx.size()];
		const size_t slot = rng() % (size_t)n_genes;
		const size_t at = slot * span + span - span / 10 + rng() % (span / 20);
		if (at + t.size() >= (slot + 1) * span) continue;
		std::string c = t;
		for (char &b : c)
			if (rng() % 100 == 0) b = "ACGT"[rng() % 4];
		d.text.replace(at, c.size(), c);
		copied += c.size();
	}
	// Short tandem repeats.
	size_t repeats = 0;
	while (repeats < genome_len / 100) {
		const std::string unit = random_bases(rng, 1 + rng() % 6);
		const size_t copies = 20 + rng() % 60;
		const size_t at = rng() % (genome_len - unit.size() * copies);
		for (size_t i = 0; i < copies; ++i) d.text.replace(at + i * unit.size(), unit.size(), unit);
		repeats += unit.size() * copies;
	}
	// The transcripts are re-spliced from the final genome (copies may overwrite nothing of
	// a gene, but the tandem repeats can).
	d.tx.clear();
	d.tx_gene.clear();
	std::mt19937_64 iso_rng(rng());
	for (size_t g = 0; g < d.genes.size(); ++g) {
		const Gene &gene = d.genes[g];
		const int n_iso = 1 + (int)(iso_rng() % 4);
		for (int i = 0; i < n_iso; ++i) {
			std::string s;
			for (size_t e = 0; e < gene.exons.size(); ++e) {
				const bool keep = i == 0 || e == 0 || e + 1 == gene.exons.size() || (iso_rng() % 3 != 0);
				if (keep) s += d.text.substr(gene.exons[e].first, gene.exons[e].second - gene.exons[e].first);
			}
			d.tx.push_back(gene.minus ? reverse_complement(s) : s);
			d.tx_gene.push_back((uint32_t)g);
		}
	}
	for (size_t t = 0; t < d.tx.size(); ++t) {
		d.offset.push_back((uint32_t)d.tx_seq.size());
		d.length.push_back((uint32_t)d.tx[t].size());
		d.tx_seq += d.tx[t];
		d.base_tx.insert(d.base_tx.end(), d.tx[t].size(), (uint32_t)t);
	}
	d.offset.push_back((uint32_t)d.tx_seq.size());
}

// Illumina-like errors: 0.3% substitutions, 0.02% indels, 0.1% N.
std::string add_errors(std::string s, std::mt19937_64 &rng, size_t len)
{
	std::string out;
	for (size_t i = 0; i < s.size() && out.size() < len; ++i) {
		const uint32_t r = (uint32_t)(rng() % 100000);
		if (r < 20) continue;                             // deletion
		if (r < 40) out += "ACGT"[rng() % 4];             // insertion before the base
		if (r >= 40 && r < 340) out += "ACGT"[rng() % 4];  // substitution (may repeat it)
		else if (r >= 340 && r < 440) out += 'N';
		else out += s[i];
	}
	while (out.size() < len) out += "ACGT"[rng() % 4];
	return out;
}

// 70% transcript reads (3'-biased: within the last 600 bases of the mRNA), 10% intronic,
// 8% intergenic, 7% antisense to a transcript, 5% random.
std::vector<std::string> simulate_reads(const Data &d, size_t n, size_t len, std::mt19937_64 &rng)
{
	std::vector<std::string> reads;
	reads.reserve(n);
	while (reads.size() < n) {
		const uint32_t kind = (uint32_t)(rng() % 100);
		std::string src;
		if (kind < 77) {
			const std::string &t = d.tx[rng() % d.tx.size()];
			if (t.size() < len + 4) continue;
			const size_t window = std::min<size_t>(t.size() - len - 2, 600);
			src = t.substr(t.size() - len - 2 - rng() % window, len + 2);
			if (kind >= 70) src = reverse_complement(src);
		} else if (kind < 87) {
			const auto &in = d.introns[rng() % d.introns.size()];
			if (in.second <= in.first + len + 2) continue;
			src = d.text.substr(in.first + rng() % (in.second - in.first - len - 2), len + 2);
			if (rng() & 1) src = reverse_complement(src);
		} else if (kind < 95) {
			src = d.text.substr(rng() % (d.text.size() - len - 2), len + 2);
		} else {
			src = random_bases(rng, len + 2);
		}
		reads.push_back(add_errors(src, rng, len));
	}
	return reads;
}

}  // namespace

int main(int argc, char **argv)
{
	const size_t genome_mb = argc > 1 ? (size_t)atol(argv[1]) : 60;
	const int n_genes = argc > 2 ? atoi(argv[2]) : 3000;
	const size_t n_reads = argc > 3 ? (size_t)atol(argv[3]) : 400000;
	const uint64_t seed = argc > 4 ? (uint64_t)atoll(argv[4]) : 1;
	const size_t read_len = 100;
	std::mt19937_64 rng(seed);

	double t0 = now_seconds();
	Data d;
	generate(d, genome_mb * 1000000, n_genes, rng);
	fprintf(stderr, "genome %zu bases, %zu genes, %zu transcripts, transcriptome %zu bases (%.1f s)\n",
	        d.text.size(), d.genes.size(), d.tx.size(), d.tx_seq.size(), now_seconds() - t0);

	char dir_template[] = "/tmp/vorat_bench_XXXXXX";
	const char *dir = mkdtemp(dir_template);
	if (!dir) return 1;
	const std::string fasta = std::string(dir) + "/genome.fa";
	FILE *fp = fopen(fasta.c_str(), "wb");
	if (!fp) return 1;
	const size_t chrom = d.text.size() / 4;
	for (int c = 0; c < 4; ++c) {
		fprintf(fp, ">chr%d\n", c + 1);
		const size_t end = c == 3 ? d.text.size() : (size_t)(c + 1) * chrom;
		for (size_t i = (size_t)c * chrom; i < end; i += 80) {
			const size_t w = std::min<size_t>(80, end - i);
			if (fwrite(d.text.data() + i, 1, w, fp) != w || fputc('\n', fp) == EOF) return 1;
		}
	}
	fclose(fp);
	t0 = now_seconds();
	GenomeBwt *bwt = build_genome_bwt(fasta.c_str());
	unlink(fasta.c_str());
	rmdir(dir);
	fprintf(stderr, "BWT built (%.1f s)\n", now_seconds() - t0);

	AnnotationInfo ann{};
	ann.gene_count = (uint32_t)d.genes.size();
	ann.tx_count = (uint32_t)d.tx.size();
	ann.tx_length = d.length.data();
	ann.tx_offset = d.offset.data();
	ann.tx_gene = d.tx_gene.data();
	ann.base_tx = d.base_tx.data();
	ann.tx_seq = &d.tx_seq[0];
	KmerHash hash{};
	t0 = now_seconds();
	build_kmer_hash(&ann, 29, &hash);
	fprintf(stderr, "k-mer hash built (%.1f s)\n", now_seconds() - t0);

	std::vector<std::string> reads = simulate_reads(d, n_reads, read_len, rng);
	const MappingIndex index{&ann, &hash, bwt, 0, 0, nullptr, 0};
	const MappingIndex index_intron{&ann, &hash, bwt, 1, 0, nullptr, 0};

	for (const MappingIndex *idx : {&index, &index_intron}) {
		MappingWorkspace *ws = create_mapping_workspace(idx);
		// Warm-up pass that grows the buffers, then the timed plain run.
		for (size_t i = 0; i < 2000 && i < reads.size(); ++i) {
			ReadRecord r{};
			r.seq = &reads[i][0];
			r.len = (int32_t)reads[i].size();
			map_read(&r, ws);
		}
		long outcomes[4] = {0, 0, 0, 0};
		const double start = now_seconds(), start_cpu = thread_seconds();
		for (std::string &s : reads) {
			ReadRecord r{};
			r.seq = &s[0];
			r.len = (int32_t)s.size();
			outcomes[map_read(&r, ws) & 3]++;
		}
		const double total = thread_seconds() - start_cpu, wall = now_seconds() - start;

		// The same steps as map_read, timed one by one.
		double t_seed = 0, t_tx = 0, t_genome = 0;
		long check[4] = {0, 0, 0, 0};
		for (std::string &s : reads) {
			ReadRecord r{};
			r.seq = &s[0];
			r.len = (int32_t)s.size();
			const int32_t L = r.len, max_err = (int32_t)(L * 0.055);
			const double a = now_seconds();
			ws->alignments.count = 0;
			ws->alignments.best = 0;
			ws->candidates.count = 0;
			ws->seeds.n_hits = 0;
			seed_read(&r, idx->hash, &ws->seeds);
			merge_seed_hits(&ws->seeds);
			const double b = now_seconds();
			map_to_transcriptome(&r, ws);
			if (ws->alignments.count == 0)
				for (int32_t c = 0; c < ws->candidates.count; ++c)
					extend_candidate_gapped(&r, &ws->candidates.records[c], ws);
			const double c = now_seconds();
			int outcome;
			if (ws->alignments.count > 0) {
				const int32_t mm = (L - ws->alignments.best + 2) / 3;
				outcome = classify_read(&r, 1, mm < max_err ? mm : max_err, ws);
			} else {
				outcome = classify_read(&r, 0, max_err, ws);
			}
			const double e = now_seconds();
			check[outcome & 3]++;
			t_seed += b - a;
			t_tx += c - b;
			t_genome += e - c;
		}
		const double timed = t_seed + t_tx + t_genome;
		printf("count_intron %s: %zu reads of %zu bases in %.2f s CPU (%.2f s wall): %.0f reads/s on one "
		       "thread (%.1f us per read)\n",
		       idx->count_intron ? "on " : "off", reads.size(), read_len, total, wall, reads.size() / total,
		       1e6 * total / reads.size());
		printf("  share of time: seeding %.1f%%, transcript alignment %.1f%%, genome check %.1f%% "
		       "(timed run %.2f s)\n",
		       100 * t_seed / timed, 100 * t_tx / timed, 100 * t_genome / timed, timed);
		printf("  outcomes: exonic %.1f%%, nonexonic %.1f%%, unmapped %.1f%%\n",
		       100.0 * outcomes[MAP_EXONIC] / reads.size(), 100.0 * outcomes[MAP_NONEXONIC] / reads.size(),
		       100.0 * outcomes[MAP_UNMAPPED] / reads.size());
		for (int k = 0; k < 4; ++k)
			if (check[k] != outcomes[k]) {
				fprintf(stderr, "timed run disagrees with map_read\n");
				return 1;
			}
		release_mapping_workspace(ws);
	}
	return 0;
}
