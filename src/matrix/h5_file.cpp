// Writing HDF5 files through the HDF5 C library, for the 10x HDF5 matrices and the AnnData
// file: one output file at a time, groups, string and integer attributes, and datasets
// filled front to back in chunks ("columns"), so that a writer streams its data and never
// holds a whole matrix.
//
// Every call is checked: the first failure of the library (a full disk, an unwritable
// file) ends the run with an error line naming the file. The library's own error stack
// printing is switched off, as it would write to standard error behind the log's back.
// A file is written under its name + PART_SUFFIX and renamed only once closed.
#include <hdf5.h>
#include <cstdlib>
#include <cstring>
#include <type_traits>
#include <vector>
#include "matrix/matrix.h"

static_assert(std::is_same<hid_t, H5Handle>::value, "H5Handle holds an HDF5 identifier");

// Elements of a chunk of the numeric and fixed-width text datasets: whole chunks are
// compressed as they are written, so a column buffers exactly one.
#define H5_CHUNK_ELEMENTS 65536
// Variable-length strings live on the file's heap; their chunks only hold references.
#define H5_VLEN_CHUNK_ELEMENTS 4096
#define H5_DEFLATE_LEVEL 4

// Close whatever of the file is still open, errors ignored, so that nothing of it is left
// for the library to flush at exit.
static void abandon_file(const H5Out *out)
{
	if (out->file < 0) return;
	ssize_t n = H5Fget_obj_count(out->file, H5F_OBJ_ALL | H5F_OBJ_LOCAL);
	if (n > 0) {
		std::vector<hid_t> ids((size_t)n);
		n = H5Fget_obj_ids(out->file, H5F_OBJ_ALL | H5F_OBJ_LOCAL, (size_t)n, ids.data());
		for (ssize_t i = 0; i < n; ++i)
			if (H5Iget_type(ids[(size_t)i]) != H5I_FILE) H5Oclose(ids[(size_t)i]);
	}
	H5Fclose(out->file);
}

[[noreturn]] static void h5_fail(const H5Out *out)
{
	abandon_file(out);
	fatal("[ERROR] Unable to write HDF5 file [%s]\n", out->part_path);
}

static void h5_check(const H5Out *out, int64_t status)
{
	if (status < 0) h5_fail(out);
}

void h5_out_create(H5Out *out, const char *path)
{
	out->file = -1;
	build_path(out->path, path, "", "");
	build_path(out->part_path, path, PART_SUFFIX, "");
	// A failure ends the process through exit() with the file still open; the library's
	// own exit handler would then try to flush and close it again.
	static bool initialised = false;
	if (!initialised) {
		H5dont_atexit();
		initialised = true;
	}
	H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
	// Closing the file fails while an object of it is still open, instead of leaving the
	// file open behind our back.
	hid_t fapl = H5Pcreate(H5P_FILE_ACCESS), fcpl = H5Pcreate(H5P_FILE_CREATE);
	h5_check(out, fapl);
	h5_check(out, fcpl);
	h5_check(out, H5Pset_fclose_degree(fapl, H5F_CLOSE_SEMI));
#if H5_VERSION_GE(1, 10, 7)
	// One writer, no reader until the rename: a lock would only fail where the file
	// system has none.
	h5_check(out, H5Pset_file_locking(fapl, 0, 1));
#endif
	h5_check(out, H5Pset_obj_track_times(fcpl, 0));
	out->file = H5Fcreate(out->part_path, H5F_ACC_TRUNC, fcpl, fapl);
	H5Pclose(fcpl);
	H5Pclose(fapl);
	if (out->file < 0) fatal("[ERROR] Unable to open file [%s] to write\n", out->part_path);
}

void h5_out_finish(H5Out *out)
{
	// A close that fails leaves nothing that could be closed again.
	const hid_t file = out->file;
	out->file = -1;
	h5_check(out, H5Fclose(file));
	publish_output(out->part_path, out->path);
}

// Objects carry no modification time, so that equal contents give equal files.
static hid_t untimed_dataset_plist(H5Out *out)
{
	hid_t dcpl = H5Pcreate(H5P_DATASET_CREATE);
	h5_check(out, dcpl);
	h5_check(out, H5Pset_obj_track_times(dcpl, 0));
	return dcpl;
}

H5Handle h5_group(H5Out *out, H5Handle parent, const char *name)
{
	hid_t gcpl = H5Pcreate(H5P_GROUP_CREATE);
	h5_check(out, gcpl);
	h5_check(out, H5Pset_obj_track_times(gcpl, 0));
	hid_t group = H5Gcreate2(parent, name, H5P_DEFAULT, gcpl, H5P_DEFAULT);
	H5Pclose(gcpl);
	h5_check(out, group);
	return group;
}

void h5_close(H5Out *out, H5Handle object)
{
	h5_check(out, H5Oclose(object));
}

// UTF-8 strings of variable length: what h5py writes for Python str.
static hid_t vlen_text_type(H5Out *out)
{
	hid_t type = H5Tcopy(H5T_C_S1);
	h5_check(out, type);
	h5_check(out, H5Tset_size(type, H5T_VARIABLE));
	h5_check(out, H5Tset_cset(type, H5T_CSET_UTF8));
	return type;
}

// Fixed-width strings padded with zero bytes: numpy's "S" type.
static hid_t fixed_text_type(H5Out *out, uint32_t width)
{
	hid_t type = H5Tcopy(H5T_C_S1);
	h5_check(out, type);
	h5_check(out, H5Tset_size(type, width ? width : 1));
	h5_check(out, H5Tset_strpad(type, H5T_STR_NULLPAD));
	return type;
}

// Numpy's bool as h5py stores it: an 8-bit enumeration of FALSE = 0 and TRUE = 1.
static hid_t bool_type(H5Out *out)
{
	hid_t type = H5Tenum_create(H5T_NATIVE_INT8);
	h5_check(out, type);
	int8_t value = 0;
	h5_check(out, H5Tenum_insert(type, "FALSE", &value));
	value = 1;
	h5_check(out, H5Tenum_insert(type, "TRUE", &value));
	return type;
}

// A new type identifier for `kind` (closed by the caller) and its element size in memory.
static hid_t kind_type(H5Out *out, H5Kind kind, uint32_t width, size_t *size)
{
	hid_t type = -1;
	switch (kind) {
	case H5_INT32: type = H5Tcopy(H5T_NATIVE_INT32); *size = 4; break;
	case H5_INT64: type = H5Tcopy(H5T_NATIVE_INT64); *size = 8; break;
	case H5_FLOAT64: type = H5Tcopy(H5T_NATIVE_DOUBLE); *size = 8; break;
	case H5_BOOL: type = bool_type(out); *size = 1; break;
	case H5_TEXT: type = fixed_text_type(out, width); *size = width ? width : 1; break;
	case H5_VLEN_TEXT: type = vlen_text_type(out); *size = sizeof(const char *); break;
	}
	h5_check(out, type);
	return type;
}

static void put_attribute(H5Out *out, H5Handle object, const char *name, hid_t type, hid_t space,
                          const void *values)
{
	hid_t attr = H5Acreate2(object, name, type, space, H5P_DEFAULT, H5P_DEFAULT);
	h5_check(out, attr);
	h5_check(out, H5Awrite(attr, type, values));
	h5_check(out, H5Aclose(attr));
}

void h5_attr_text(H5Out *out, H5Handle object, const char *name, const char *value)
{
	hid_t type = vlen_text_type(out);
	hid_t space = H5Screate(H5S_SCALAR);
	h5_check(out, space);
	put_attribute(out, object, name, type, space, &value);
	H5Sclose(space);
	H5Tclose(type);
}

void h5_attr_texts(H5Out *out, H5Handle object, const char *name, const char *const *values, uint32_t n)
{
	hid_t type = vlen_text_type(out);
	hsize_t dims[1] = {n};
	hid_t space = H5Screate_simple(1, dims, nullptr);
	h5_check(out, space);
	put_attribute(out, object, name, type, space, values);
	H5Sclose(space);
	H5Tclose(type);
}

void h5_attr_int64s(H5Out *out, H5Handle object, const char *name, const int64_t *values, uint32_t n)
{
	hsize_t dims[1] = {n};
	hid_t space = H5Screate_simple(1, dims, nullptr);
	h5_check(out, space);
	put_attribute(out, object, name, H5T_NATIVE_INT64, space, values);
	H5Sclose(space);
}

H5Handle h5_scalar(H5Out *out, H5Handle parent, const char *name, H5Kind kind, const void *value)
{
	size_t size;
	hid_t type = kind_type(out, kind, 0, &size);
	hid_t space = H5Screate(H5S_SCALAR);
	h5_check(out, space);
	hid_t dcpl = untimed_dataset_plist(out);
	hid_t dataset = H5Dcreate2(parent, name, type, space, H5P_DEFAULT, dcpl, H5P_DEFAULT);
	H5Pclose(dcpl);
	h5_check(out, dataset);
	h5_check(out, H5Dwrite(dataset, type, H5S_ALL, H5S_ALL, H5P_DEFAULT, value));
	H5Sclose(space);
	H5Tclose(type);
	return dataset;
}

H5Handle h5_column_open(H5Column *column, H5Out *out, H5Handle parent, const char *name, H5Kind kind,
                        uint64_t rows, uint32_t columns, uint32_t text_width)
{
	column->out = out;
	column->kind = kind;
	column->width = columns ? columns : 1;
	column->type = kind_type(out, kind, text_width, &column->element_size);
	column->total = rows;
	column->written = 0;
	column->used = 0;
	const bool vlen = kind == H5_VLEN_TEXT;
	const uint64_t chunk_rows = (vlen ? H5_VLEN_CHUNK_ELEMENTS : H5_CHUNK_ELEMENTS) / column->width;
	column->chunk_rows = rows < chunk_rows ? rows : chunk_rows;
	// Variable-length strings are written as they come: their pointers must not outlive the put.
	column->buffer = vlen ? nullptr
	                      : (char *)realloc_or_die(nullptr, (size_t)column->chunk_rows * column->width *
	                                                            column->element_size);

	hsize_t dims[2] = {rows, column->width};
	const int rank = columns ? 2 : 1;
	hid_t space = H5Screate_simple(rank, dims, nullptr);
	h5_check(out, space);
	hid_t dcpl = untimed_dataset_plist(out);
	if (rows > 0) {  // an empty dataset cannot be chunked
		hsize_t chunk[2] = {column->chunk_rows, column->width};
		h5_check(out, H5Pset_chunk(dcpl, rank, chunk));
		if (!vlen) {
			h5_check(out, H5Pset_shuffle(dcpl));
			h5_check(out, H5Pset_deflate(dcpl, H5_DEFLATE_LEVEL));
		}
	}
	column->dataset = H5Dcreate2(parent, name, column->type, space, H5P_DEFAULT, dcpl, H5P_DEFAULT);
	h5_check(out, column->dataset);
	H5Pclose(dcpl);
	H5Sclose(space);
	return column->dataset;
}

// Write `n` rows at the column's end.
static void column_write(H5Column *column, const void *rows, uint64_t n)
{
	H5Out *out = column->out;
	if (n == 0) return;
	hid_t file_space = H5Dget_space(column->dataset);
	h5_check(out, file_space);
	hsize_t start[2] = {column->written, 0}, count[2] = {n, column->width};
	const int rank = H5Sget_simple_extent_ndims(file_space);
	h5_check(out, H5Sselect_hyperslab(file_space, H5S_SELECT_SET, start, nullptr, count, nullptr));
	hid_t mem_space = H5Screate_simple(rank, count, nullptr);
	h5_check(out, mem_space);
	h5_check(out, H5Dwrite(column->dataset, column->type, mem_space, file_space, H5P_DEFAULT, rows));
	H5Sclose(mem_space);
	H5Sclose(file_space);
	column->written += n;
}

static void column_flush(H5Column *column)
{
	column_write(column, column->buffer, column->used);
	column->used = 0;
}

// Rows beyond the size given at creation are a fault of the writer, never silently dropped.
static void check_room(const H5Column *column, uint64_t n)
{
	if (column->written + column->used + n > column->total)
		h5_fail(column->out);
}

void h5_column_put(H5Column *column, const void *rows, size_t n)
{
	check_room(column, n);
	if (column->kind == H5_VLEN_TEXT) {
		column_write(column, rows, n);
		return;
	}
	const size_t row_size = column->width * column->element_size;
	const char *p = (const char *)rows;
	while (n > 0) {
		size_t room = (size_t)column->chunk_rows - column->used;
		size_t part = n < room ? n : room;
		memcpy(column->buffer + column->used * row_size, p, part * row_size);
		column->used += part;
		p += part * row_size;
		n -= part;
		if (column->used == column->chunk_rows) column_flush(column);
	}
}

void h5_column_put_text(H5Column *column, const char *text)
{
	check_room(column, 1);
	char *row = column->buffer + column->used * column->element_size;
	size_t length = strlen(text);
	if (length > column->element_size) length = column->element_size;
	memcpy(row, text, length);
	memset(row + length, 0, column->element_size - length);
	if (++column->used == column->chunk_rows) column_flush(column);
}

void h5_column_close(H5Column *column)
{
	if (column->kind != H5_VLEN_TEXT) column_flush(column);
	if (column->written != column->total)
		h5_fail(column->out);
	h5_check(column->out, H5Dclose(column->dataset));
	H5Tclose(column->type);
	free(column->buffer);
	column->buffer = nullptr;
}
