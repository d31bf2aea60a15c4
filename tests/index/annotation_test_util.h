// Small helpers shared by the genome, GTF and transcriptome tests: a scratch directory
// removed at the end of each test, whole-file reads and writes, gzip output through zlib.
#ifndef VORAT_TESTS_ANNOTATION_TEST_UTIL_H
#define VORAT_TESTS_ANNOTATION_TEST_UTIL_H

#include <gtest/gtest.h>
#include <stdlib.h>
#include <zlib.h>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>
#include "index/index.h"

namespace annotation_test {

// A fresh directory under the test temp dir, removed with its contents on destruction.
class ScratchDir {
public:
	ScratchDir()
	{
		std::string tmpl = ::testing::TempDir() + "vorat-test-XXXXXX";
		std::vector<char> buf(tmpl.begin(), tmpl.end());
		buf.push_back('\0');
		char *dir = mkdtemp(buf.data());
		if (!dir) ADD_FAILURE() << "mkdtemp failed for " << tmpl;
		path_ = dir ? dir : "/tmp";
	}
	~ScratchDir()
	{
		std::error_code ec;
		if (path_ != "/tmp") std::filesystem::remove_all(path_, ec);
	}
	ScratchDir(const ScratchDir &) = delete;
	ScratchDir &operator=(const ScratchDir &) = delete;
	std::string file(const std::string &name) const { return path_ + "/" + name; }
	const std::string &path() const { return path_; }

private:
	std::string path_;
};

inline void write_file(const std::string &path, const std::string &text)
{
	FILE *fp = fopen(path.c_str(), "wb");
	ASSERT_NE(fp, nullptr) << path;
	ASSERT_EQ(fwrite(text.data(), 1, text.size(), fp), text.size());
	ASSERT_EQ(fclose(fp), 0);
}

inline void write_gz_file(const std::string &path, const std::string &text)
{
	gzFile fp = gzopen(path.c_str(), "wb");
	ASSERT_NE(fp, nullptr) << path;
	if (!text.empty()) {
		ASSERT_EQ(gzwrite(fp, text.data(), (unsigned)text.size()), (int)text.size());
	}
	ASSERT_EQ(gzclose(fp), Z_OK);
}

inline std::string read_file(const std::string &path)
{
	std::string out;
	FILE *fp = fopen(path.c_str(), "rb");
	if (!fp) return out;
	char buf[65536];
	size_t got;
	while ((got = fread(buf, 1, sizeof buf, fp)) > 0) out.append(buf, got);
	fclose(fp);
	return out;
}

// Row `i` of a zero-padded name table, checked for its padding.
inline std::string table_row(const char *table, uint32_t width, uint32_t i)
{
	const char *row = table + (size_t)i * width;
	std::string s(row, strnlen(row, width));
	for (size_t j = s.size(); j < width; ++j)
		if (row[j] != '\0') ADD_FAILURE() << "padding byte " << j << " of row " << i << " is not zero";
	return s;
}

inline NameMap *make_name_map(const std::vector<std::string> &names)
{
	NameMap *map = kh_init(str);
	for (size_t i = 0; i < names.size(); ++i) {
		int absent = 0;
		khint_t k = kh_put(str, map, strdup(names[i].c_str()), &absent);
		kh_value(map, k) = (uint32_t)i;
	}
	return map;
}

// Value of `key` in the map, or -1 when absent.
inline int64_t map_value(const NameMap *map, const std::string &key)
{
	khint_t k = kh_get(str, map, key.c_str());
	return k == kh_end(map) ? -1 : (int64_t)kh_value(map, k);
}

}  // namespace annotation_test

#endif
