// Console and log output: one process-wide log, the reporting helpers and fatal errors.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <unistd.h>
#include "base/base.h"

static FILE *log_file = nullptr;
static void (*fatal_hook)() = nullptr;
// Held for every message, and by fatal() until the process is gone: no thread writes after
// a fatal message. Recursive, as a fatal hook may report.
static std::recursive_mutex report_lock;

// Format into a string in one piece, so that every message reaches a stream in a
// single write and lines of different threads never interleave. Messages are not
// cut at 1023 characters: long file names reach the log whole.
static std::string vformat(const char *format, va_list ap)
{
	char small[1024];
	va_list copy;
	va_copy(copy, ap);
	int n = vsnprintf(small, sizeof small, format, copy);
	va_end(copy);
	if (n < 0) return std::string();
	if ((size_t)n < sizeof small) return std::string(small, (size_t)n);
	std::string out((size_t)n + 1, '\0');
	vsnprintf(&out[0], out.size(), format, ap);
	out.resize((size_t)n);
	return out;
}

static void write_text(FILE *fp, const std::string &text)
{
	if (!text.empty()) fwrite(text.data(), 1, text.size(), fp);
	fflush(fp);
}

void log_print(const char *format, ...)
{
	if (!log_file) return;
	va_list ap;
	va_start(ap, format);
	std::string text = vformat(format, ap);
	va_end(ap);
	std::lock_guard<std::recursive_mutex> hold(report_lock);
	write_text(log_file, text);
}

void report(const char *format, ...)
{
	va_list ap;
	va_start(ap, format);
	std::string text = vformat(format, ap);
	va_end(ap);
	std::lock_guard<std::recursive_mutex> hold(report_lock);
	write_text(stderr, text);
	if (log_file) write_text(log_file, text);
}

void report_split(const char *console_text, const char *log_text)
{
	std::lock_guard<std::recursive_mutex> hold(report_lock);
	write_text(stderr, console_text);
	if (log_file) write_text(log_file, log_text);
}

void report_console(const char *format, ...)
{
	va_list ap;
	va_start(ap, format);
	std::string text = vformat(format, ap);
	va_end(ap);
	std::lock_guard<std::recursive_mutex> hold(report_lock);
	write_text(stderr, text);
}

void set_fatal_hook(void (*hook)())
{
	fatal_hook = hook;
}

void fatal(const char *format, ...)
{
	va_list ap;
	va_start(ap, format);
	std::string text = vformat(format, ap);
	va_end(ap);
	// Other threads may still run: the process ends under the lock, without exit handlers
	// or stdio teardown, once the message is flushed to standard error and the log.
	std::unique_lock<std::recursive_mutex> hold(report_lock);
	write_text(stderr, text);
	if (log_file) write_text(log_file, text);
	if (fatal_hook) fatal_hook();
	_exit(1);
}

void log_open(const char *path)
{
	log_file = fopen(path, "a");
	if (log_file) {
		report_console("[INFO] Log file: [%s]\n", path);
		log_print("Log file: [%s]\n", path);
	} else {
		report_console("[WARNING] Unable to open log file. No log will be written\n");
		log_print("Unable to open log file. No log will be written\n");
	}
}
