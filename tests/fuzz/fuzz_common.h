// Shared pieces of the fuzz targets: fatal errors become exceptions so that one input's
// "[ERROR]" ends that input only, and inputs are handed over as temporary files.
#ifndef VORAT_FUZZ_COMMON_H
#define VORAT_FUZZ_COMMON_H

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include "base/base.h"

struct FatalError {};

static void throw_on_fatal() { throw FatalError(); }

// Route fatal() into FatalError. (The messages themselves are silenced by running the
// fuzzer with -close_fd_mask=2, which keeps libFuzzer's own report.)
static inline void fuzz_setup()
{
	set_fatal_hook(throw_on_fatal);
}

// A temporary file holding `size` bytes of `data`; removed by the destructor.
struct FuzzFile {
	std::string path;
	FuzzFile(const uint8_t *data, size_t size, const char *suffix = "")
	{
		char tmpl[] = "/tmp/vorat-fuzz-XXXXXX";
		int fd = mkstemp(tmpl);
		path = tmpl;
		if (fd >= 0) {
			size_t done = 0;
			while (done < size) {
				ssize_t n = write(fd, data + done, size - done);
				if (n <= 0) break;
				done += (size_t)n;
			}
			close(fd);
		}
		if (*suffix) {
			std::string renamed = path + suffix;
			rename(path.c_str(), renamed.c_str());
			path = renamed;
		}
	}
	~FuzzFile() { unlink(path.c_str()); }
};


#include <dirent.h>
#include <set>
// Descriptors left open by an input that ended in a fatal error are closed again.
static inline void close_leaked_fds(const std::set<int> &keep)
{
	DIR *d = opendir("/proc/self/fd");
	if (!d) return;
	std::set<int> open_now;
	while (struct dirent *e = readdir(d)) {
		if (e->d_name[0] == '.') continue;
		open_now.insert(atoi(e->d_name));
	}
	int own = dirfd(d);
	for (int fd : open_now)
		if (fd != own && !keep.count(fd)) close(fd);
	closedir(d);
}
static inline std::set<int> current_fds()
{
	std::set<int> fds;
	DIR *d = opendir("/proc/self/fd");
	if (!d) return fds;
	int own = dirfd(d);
	while (struct dirent *e = readdir(d)) {
		if (e->d_name[0] == '.') continue;
		int fd = atoi(e->d_name);
		if (fd != own) fds.insert(fd);
	}
	closedir(d);
	return fds;
}

#endif
