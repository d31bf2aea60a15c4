// Helpers of the tests of the HDF5 outputs: datasets and attributes read back with the HDF5
// C library, and one canonical text per matrix (shape, barcodes, features, entries in
// column then gene order) made alike from the 10x folders and from the HDF5 files, so that
// a comparison of two texts compares the matrices entry by entry.
#ifndef VORAT_TESTS_H5_TEST_UTIL_H
#define VORAT_TESTS_H5_TEST_UTIL_H

#include <hdf5.h>
#include <map>
#include <set>
#include <string>
#include <vector>
#include "tenx_test_util.h"

namespace h5_test {

using namespace tenx_test;

// Numbers of a dataset converted to T (an integer or floating type of the native `type`);
// empty when it cannot be read.
template <typename T>
std::vector<T> numbers(hid_t file, const std::string &path, hid_t type)
{
	std::vector<T> out;
	hid_t d = H5Dopen2(file, path.c_str(), H5P_DEFAULT);
	if (d < 0) return out;
	hid_t space = H5Dget_space(d);
	out.resize((size_t)H5Sget_simple_extent_npoints(space));
	if (!out.empty() && H5Dread(d, type, H5S_ALL, H5S_ALL, H5P_DEFAULT, out.data()) < 0) out.clear();
	H5Sclose(space);
	H5Dclose(d);
	return out;
}

// Strings of a fixed-width or variable-length text dataset.
inline std::vector<std::string> strings(hid_t file, const std::string &path)
{
	std::vector<std::string> out;
	hid_t d = H5Dopen2(file, path.c_str(), H5P_DEFAULT);
	if (d < 0) return {"<missing " + path + ">"};
	hid_t type = H5Dget_type(d), space = H5Dget_space(d);
	size_t n = (size_t)H5Sget_simple_extent_npoints(space);
	if (H5Tis_variable_str(type) > 0) {
		std::vector<char *> p(n);
		if (n && H5Dread(d, type, H5S_ALL, H5S_ALL, H5P_DEFAULT, p.data()) >= 0)
			for (char *s : p) out.push_back(s);
		if (n) H5Dvlen_reclaim(type, space, H5P_DEFAULT, p.data());
	} else {
		size_t w = H5Tget_size(type);
		std::vector<char> buf(n * w + 1, 0);
		if (n && H5Dread(d, type, H5S_ALL, H5S_ALL, H5P_DEFAULT, buf.data()) >= 0)
			for (size_t i = 0; i < n; ++i) out.push_back(std::string(&buf[i * w], strnlen(&buf[i * w], w)));
	}
	H5Tclose(type);
	H5Sclose(space);
	H5Dclose(d);
	return out;
}

// A scalar text attribute of the object at `path`, or "<missing>".
inline std::string text_attr(hid_t file, const std::string &path, const char *name)
{
	if (H5Aexists_by_name(file, path.c_str(), name, H5P_DEFAULT) <= 0) return "<missing>";
	hid_t a = H5Aopen_by_name(file, path.c_str(), name, H5P_DEFAULT, H5P_DEFAULT);
	hid_t type = H5Aget_type(a);
	std::string out = "<unreadable>";
	char *p = nullptr;
	if (H5Tis_variable_str(type) > 0 && H5Aread(a, type, &p) >= 0 && p) {
		out = p;
		H5free_memory(p);
	}
	H5Tclose(type);
	H5Aclose(a);
	return out;
}

// Canonical text of a matrix: "shape R C", "b <barcode>" per column, "f <feature>" per row,
// "e <row> <column> <count>" (1-based) per entry in column then row order.
inline std::string dump(uint64_t rows, uint64_t columns, const std::vector<std::string> &barcodes,
                        const std::vector<std::string> &features, std::vector<Entry> entries)
{
	std::sort(entries.begin(), entries.end());
	std::string out = "shape " + std::to_string(rows) + " " + std::to_string(columns) + "\n";
	for (const std::string &b : barcodes) out += "b " + b + "\n";
	for (const std::string &f : features) out += "f " + f + "\n";
	for (const Entry &e : entries)
		out += "e " + std::to_string(e.gene) + " " + std::to_string(e.barcode) + " " + std::to_string(e.count) + "\n";
	return out;
}

// Row names as R's make.unique gives them: a repeated name gets ".1", ".2", ... (the first
// suffix that is not a name already).
inline std::vector<std::string> make_unique(const std::vector<std::string> &names)
{
	std::set<std::string> used(names.begin(), names.end()), seen;
	std::map<std::string, int> suffix;
	std::vector<std::string> out;
	for (const std::string &n : names) {
		if (seen.insert(n).second) {
			out.push_back(n);
			continue;
		}
		std::string candidate;
		do candidate = n + "." + std::to_string(++suffix[n]);
		while (used.count(candidate));
		used.insert(candidate);
		out.push_back(candidate);
	}
	return out;
}

// How a folder's features are listed: as the 10x HDF5 files hold them (id, name, type and
// the genome), as AnnData holds them (id, name), or as R names the rows (unique names).
enum FeatureForm { FULL, ID_NAME, UNIQUE_NAME };

inline std::string folder_dump(const std::string &dir, FeatureForm form, const std::string &genome = "")
{
	Mtx m = parse_mtx(read_gz(dir + "/matrix.mtx.gz"));
	if (!m.ok) return "<bad matrix.mtx.gz in " + dir + ">";
	std::vector<std::string> features;
	for (const std::string &line : split_lines(read_gz(dir + "/features.tsv.gz"))) {
		std::string id_name = line.substr(0, line.rfind('\t'));
		features.push_back(form == FULL      ? line + "\t" + genome
		                   : form == ID_NAME ? id_name
		                                     : id_name.substr(id_name.find('\t') + 1));
	}
	if (form == UNIQUE_NAME) features = make_unique(features);
	return dump(m.rows, m.columns, split_lines(read_gz(dir + "/barcodes.tsv.gz")), features, m.data);
}

// The dump of a compressed sparse matrix whose major axis is the column (barcode).
inline std::vector<Entry> sparse_entries(const std::vector<int64_t> &indptr, const std::vector<int64_t> &indices,
                                         const std::vector<int64_t> &data)
{
	std::vector<Entry> out;
	for (size_t c = 0; c + 1 < indptr.size(); ++c)
		for (int64_t k = indptr[c]; k < indptr[c + 1] && (size_t)k < data.size(); ++k)
			out.push_back(Entry{(uint32_t)indices[(size_t)k] + 1, (uint32_t)c + 1, (uint32_t)data[(size_t)k]});
	return out;
}

// A 10x HDF5 matrix file in the folder's form (FULL features).
inline std::string tenx_h5_dump(const std::string &path)
{
	hid_t f = H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
	if (f < 0) return "<cannot open " + path + ">";
	std::vector<int64_t> shape = numbers<int64_t>(f, "/matrix/shape", H5T_NATIVE_INT64);
	std::vector<std::string> ids = strings(f, "/matrix/features/id"), names = strings(f, "/matrix/features/name"),
	                         types = strings(f, "/matrix/features/feature_type"),
	                         genomes = strings(f, "/matrix/features/genome");
	std::vector<std::string> features;
	for (size_t g = 0; g < ids.size(); ++g)
		features.push_back(ids[g] + "\t" + (g < names.size() ? names[g] : "") + "\t" +
		                   (g < types.size() ? types[g] : "") + "\t" + (g < genomes.size() ? genomes[g] : ""));
	std::vector<Entry> entries = sparse_entries(numbers<int64_t>(f, "/matrix/indptr", H5T_NATIVE_INT64),
	                                            numbers<int64_t>(f, "/matrix/indices", H5T_NATIVE_INT64),
	                                            numbers<int64_t>(f, "/matrix/data", H5T_NATIVE_INT64));
	std::string out = shape.size() == 2 ? dump((uint64_t)shape[0], (uint64_t)shape[1], strings(f, "/matrix/barcodes"),
	                                           features, entries)
	                                    : "<no shape>";
	H5Fclose(f);
	return out;
}

}  // namespace h5_test

#endif
