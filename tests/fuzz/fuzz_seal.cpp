// Fuzz target: the four sealed-text and sealed-file operations of lockbox.node.
#include <cstdint>
#include <cstdio>
#include <string>
#include <unistd.h>
#include "addon/addon.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	std::string text((const char *)data, size);
	Json::Value sealed, plain, raw, written, read;
	seal_text(text, sealed);
	unseal_text(text, raw);
	if (sealed["code"].asInt() == 0) {
		unseal_text(sealed["content"].asString(), plain);
		if (plain["code"].asInt() != 0 || plain["content"].asString() != text) abort();
	}
	char path[] = "/tmp/vorat-fuzz-seal-XXXXXX";
	int fd = mkstemp(path);
	if (fd < 0) return 0;
	close(fd);
	// The input as a sealed file of its own, then a round trip through a file.
	FILE *fp = fopen(path, "wb");
	fwrite(data, 1, size, fp);
	fclose(fp);
	read_sealed_file(path, raw);
	write_sealed_file(path, text, written);
	if (written["code"].asInt() == 0) {
		read_sealed_file(path, read);
		if (read["code"].asInt() != 0 || read["content"].asString() != text) abort();
	}
	unlink(path);
	return 0;
}
