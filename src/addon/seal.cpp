// Sealed text and sealed files: the four operations behind lockbox.node.
#include "addon/addon.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>

namespace {

const char MSG_ENCRYPTED[] = "String is encrypted";
const char MSG_CANNOT_OPEN[] = "Cannot open file for writing";  // also used when reading
const char MSG_INVALID_INPUT[] = "Invalid input";
const char MSG_INVALID_FORMAT[] = "Invalid input format";
const char MSG_TOO_LARGE[] = "Input too large";
const char MSG_WRITE_FAILED[] = "Cannot write file";

struct FileCloser {
	void operator()(FILE *fp) const { fclose(fp); }
};
typedef std::unique_ptr<FILE, FileCloser> FilePtr;

void seal_bytes(char *p, size_t n)
{
	for (size_t i = 0; i < n; ++i)
		p[i] = static_cast<char>(static_cast<unsigned char>(p[i]) - SEAL_SHIFT);
}

void unseal_bytes(char *p, size_t n)
{
	for (size_t i = 0; i < n; ++i)
		p[i] = static_cast<char>(static_cast<unsigned char>(p[i]) + SEAL_SHIFT);
}

// Ends an operation with a code and a text. The text is copied into a value
// of its own first and "code" is set last, so that running out of memory on
// the way leaves "code" 1 and no "content".
void finish(Json::Value &result, int code, const std::string &content)
{
	Json::Value text(content);
	result["content"].swap(text);
	result["code"] = code;
}

}  // namespace

bool is_sealed(const std::string &text)
{
	return text.size() >= SEAL_MAGIC_LEN && memcmp(text.data(), SEAL_MAGIC, SEAL_MAGIC_LEN) == 0;
}

void write_sealed_file(const std::string &filepath, const std::string &content, Json::Value &result)
{
	result["code"] = 1;
	try {
		if (is_sealed(content)) {
			finish(result, 1, MSG_ENCRYPTED);
			return;
		}
		// Refused before the file is touched: a longer text has no 32-bit count.
		if (content.size() > SEAL_MAX_TEXT) {
			finish(result, 1, MSG_TOO_LARGE);
			return;
		}
		const int32_t n = static_cast<int32_t>(content.size());
		std::string body(content);
		seal_bytes(&body[0], body.size());

		FilePtr fp(fopen(filepath.c_str(), "wb"));
		if (!fp) {
			finish(result, 2, MSG_CANNOT_OPEN);
			return;
		}
		const uint32_t u = static_cast<uint32_t>(n);
		const unsigned char count[4] = {static_cast<unsigned char>(u), static_cast<unsigned char>(u >> 8),
										static_cast<unsigned char>(u >> 16), static_cast<unsigned char>(u >> 24)};
		bool ok = fwrite(SEAL_MAGIC, 1, SEAL_MAGIC_LEN, fp.get()) == SEAL_MAGIC_LEN;
		ok = ok && fwrite(count, 1, 4, fp.get()) == 4;
		ok = ok && fwrite(body.data(), 1, body.size(), fp.get()) == body.size();
		// Buffered data reaches the file only at the close, which can fail too
		// (a full disk): a write is reported done only when the close succeeded.
		ok = fclose(fp.release()) == 0 && ok;
		if (!ok) {
			finish(result, 1, MSG_WRITE_FAILED);
			return;
		}
		result["write"] = n;
		result["code"] = 0;
	} catch (...) {
		// The result stays as it is: "code" 1.
	}
}

void read_sealed_file(const std::string &filepath, Json::Value &result)
{
	result["code"] = 1;
	try {
		FilePtr fp(fopen(filepath.c_str(), "rb"));
		if (!fp) {
			finish(result, 2, MSG_CANNOT_OPEN);
			return;
		}
		unsigned char head[SEAL_FILE_HEADER];
		if (fread(head, 1, SEAL_FILE_HEADER, fp.get()) != SEAL_FILE_HEADER ||
			memcmp(head, SEAL_MAGIC, SEAL_MAGIC_LEN) != 0) {
			finish(result, 1, MSG_INVALID_INPUT);
			return;
		}
		const unsigned char *c = head + SEAL_MAGIC_LEN;
		const int32_t n = static_cast<int32_t>(static_cast<uint32_t>(c[0]) | static_cast<uint32_t>(c[1]) << 8 |
											   static_cast<uint32_t>(c[2]) << 16 | static_cast<uint32_t>(c[3]) << 24);

		// The count is checked against what the file really holds before any
		// memory is taken for the body; bytes after the body are ignored.
		long body_start = ftell(fp.get());
		long file_end = -1;
		if (body_start >= 0 && fseek(fp.get(), 0, SEEK_END) == 0) file_end = ftell(fp.get());
		if (n < 0 || file_end < body_start || static_cast<long>(n) > file_end - body_start ||
			fseek(fp.get(), body_start, SEEK_SET) != 0) {
			finish(result, 1, MSG_INVALID_INPUT);
			return;
		}
		std::string text(static_cast<size_t>(n), '\0');
		if (n > 0 && fread(&text[0], 1, text.size(), fp.get()) != text.size()) {
			finish(result, 1, MSG_INVALID_INPUT);
			return;
		}
		fp.reset();
		unseal_bytes(&text[0], text.size());
		finish(result, 0, text);
	} catch (...) {
	}
}

void seal_text(const std::string &content, Json::Value &result)
{
	result["code"] = 1;
	try {
		if (is_sealed(content)) {
			finish(result, 1, MSG_ENCRYPTED);
			return;
		}
		if (content.size() > SEAL_MAX_TEXT) {
			finish(result, 1, MSG_TOO_LARGE);
			return;
		}
		std::string sealed;
		sealed.reserve(SEAL_MAGIC_LEN + content.size());
		sealed.append(SEAL_MAGIC, SEAL_MAGIC_LEN);
		sealed.append(content);
		seal_bytes(&sealed[SEAL_MAGIC_LEN], content.size());
		finish(result, 0, sealed);
	} catch (...) {
	}
}

void unseal_text(const std::string &content, Json::Value &result)
{
	result["code"] = 1;
	try {
		// A zero byte inside the first 13 never matches the magic, which has
		// none, so the prefix test is the same as for sealing.
		if (!is_sealed(content)) {
			finish(result, 1, MSG_INVALID_FORMAT);
			return;
		}
		std::string plain(content, SEAL_MAGIC_LEN);
		unseal_bytes(&plain[0], plain.size());
		finish(result, 0, plain);
	} catch (...) {
	}
}
