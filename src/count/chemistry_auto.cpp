// --chemistry auto: the kit from the reads themselves. The first pairs of the first read
// files are mapped as they are and reverse-complemented: a 3' kit reads the mRNA in sense, a
// 5' kit antisense. The UMI length follows from the length of read 1.
#include <cstring>
#include <string>
#include "count/count.h"

// Pairs mapped in both orientations at most, and what a decision needs.
#define AUTO_MAPPED_READS 100000
#define AUTO_MIN_MAPPED 1000

void detect_chemistry(CountOptions *opt, const MappingIndex *index)
{
	ReadPairSource source;
	open_read_pair(&source, opt->r1_files[0], opt->r2_files[0]);
	ReadBatch *batch = batch_create();
	MappingWorkspace *ws = create_mapping_workspace(index);
	int64_t sense = 0, antisense = 0, pairs = 0;
	int32_t read1_len = -1;
	std::string rc;
	while (sense + antisense < AUTO_MAPPED_READS && fill_batch(&source, &batch->text1, &batch->text2) != -1) {
		int (*parse)(ReadRecord *, char *, int32_t *) =
			source.format == READ_FASTA ? parse_fasta_record : parse_fastq_record;
		int32_t pos1 = 0, pos2 = 0;
		for (int s1 = 0; s1 != 1 && sense + antisense < AUTO_MAPPED_READS;) {
			ReadRecord r1, r2;
			s1 = parse(&r1, batch->text1, &pos1);
			const int s2 = parse(&r2, batch->text2, &pos2);
			if (s1 == 2 || s2 == 2) fatal("[ERROR] \nWrong format file\n\n");
			if (!r1.seq || !r2.seq) continue;
			++pairs;
			if (read1_len < 0) read1_len = r1.len;
			sense += map_read(&r2, ws) == MAP_EXONIC;
			rc.assign((size_t)r2.len, 'N');
			for (int32_t i = 0; i < r2.len; ++i) rc[(size_t)i] = COMPLEMENT_LETTERS[BASE_CODE[(uint8_t)r2.seq[r2.len - 1 - i]]];
			ReadRecord reversed = r2;
			reversed.seq = &rc[0];
			reversed.qual = nullptr;
			antisense += map_read(&reversed, ws) == MAP_EXONIC;
		}
	}
	release_mapping_workspace(ws);
	batch_release(batch);
	close_read_pair(&source);

	const int64_t mapped = sense + antisense;
	if (mapped < AUTO_MIN_MAPPED || (sense < 2 * antisense && antisense < 2 * sense))
		fatal("[ERROR] --chemistry auto cannot tell 3' from 5': of %lld pairs, %lld map in sense and %lld antisense "
		      "(%d mapped reads and a 2x majority are needed)\n",
		      (long long)pairs, (long long)sense, (long long)antisense, AUTO_MIN_MAPPED);
	// 3': 16 + 10 (v2) or 16 + 12 (v3); 5': 16 + 10 and the oligo (v2, 26 or 39 bases) or 16 + 12.
	const bool five = antisense > sense;
	const bool long_umi = read1_len >= 28 && !(five && read1_len == 39);
	const char *name = five ? (long_umi ? "10x5v3" : "10x5v2") : (long_umi ? "10xv3" : "10xv2");
	for (const Chemistry &c : CHEMISTRIES)
		if (std::string(c.name) == name) opt->lib_type = c.layout;
	opt->chemistry = name;
	report("[INFO] Chemistry auto: %s (of %lld pairs, %lld map in sense, %lld antisense; read 1 of %d bases)\n", name,
	       (long long)pairs, (long long)sense, (long long)antisense, read1_len);
}
