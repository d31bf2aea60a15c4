// Sealed text and sealed files, checked byte by byte against a plain reference.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <atomic>
#include <cstring>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "addon/addon.h"

// Largest single operator new request since the last reset: shows that a
// bad count in a sealed file never turns into a large allocation.
static std::atomic<size_t> largest_new{0};

void *operator new(size_t n)
{
	size_t seen = largest_new.load(std::memory_order_relaxed);
	while (n > seen && !largest_new.compare_exchange_weak(seen, n, std::memory_order_relaxed)) {
	}
	void *p = malloc(n ? n : 1);
	if (!p) throw std::bad_alloc();
	return p;
}
// Not inlined: GCC would otherwise see free() applied to the result of new.
__attribute__((noinline)) void operator delete(void *p) noexcept { free(p); }
__attribute__((noinline)) void operator delete(void *p, size_t) noexcept { free(p); }

namespace {

const std::string MAGIC = "VellumarkJSON";

std::string ref_seal(const std::string &plain)
{
	std::string out = MAGIC;
	for (unsigned char c : plain) out.push_back(static_cast<char>((c + 256 - 31) % 256));
	return out;
}

std::string ref_file(const std::string &plain)
{
	const uint32_t n = static_cast<uint32_t>(plain.size());
	std::string out = MAGIC;
	for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((n >> (8 * i)) & 0xff));
	return out + ref_seal(plain).substr(13);
}

std::vector<std::string> members(const Json::Value &v) { return v.getMemberNames(); }

class SealFiles : public ::testing::Test {
protected:
	void SetUp() override
	{
		char tmpl[] = "/tmp/lockbox_test_XXXXXX";
		ASSERT_NE(mkdtemp(tmpl), nullptr);
		dir_ = tmpl;
	}
	void TearDown() override
	{
		for (const std::string &p : made_) unlink(p.c_str());
		rmdir(dir_.c_str());
	}
	std::string path(const std::string &name)
	{
		made_.push_back(dir_ + "/" + name);
		return made_.back();
	}
	static void put(const std::string &p, const std::string &bytes)
	{
		FILE *fp = fopen(p.c_str(), "wb");
		ASSERT_NE(fp, nullptr);
		ASSERT_EQ(fwrite(bytes.data(), 1, bytes.size(), fp), bytes.size());
		ASSERT_EQ(fclose(fp), 0);
	}
	static std::string get(const std::string &p)
	{
		std::string out;
		FILE *fp = fopen(p.c_str(), "rb");
		if (!fp) return "<missing>";
		char buf[4096];
		size_t got;
		while ((got = fread(buf, 1, sizeof buf, fp)) > 0) out.append(buf, got);
		fclose(fp);
		return out;
	}
	static bool exists(const std::string &p)
	{
		struct stat st;
		return stat(p.c_str(), &st) == 0;
	}
	void expect_invalid(const std::string &bytes, const char *what)
	{
		const std::string p = path("bad");
		put(p, bytes);
		Json::Value r;
		read_sealed_file(p, r);
		EXPECT_EQ(r["code"].asInt(), 1) << what;
		EXPECT_EQ(r["content"].asString(), "Invalid input") << what;
		EXPECT_EQ(members(r), (std::vector<std::string>{"code", "content"})) << what;
	}

	std::string dir_;
	std::vector<std::string> made_;
};

TEST(Seal, EveryByteShiftsDownBy31WithWrapAround)
{
	std::string all;
	for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
	Json::Value r;
	seal_text(all, r);
	ASSERT_EQ(r["code"].asInt(), 0);
	const std::string s = r["content"].asString();
	ASSERT_EQ(s.size(), 13u + 256u);
	EXPECT_EQ(s.substr(0, 13), MAGIC);
	for (int b = 0; b <= 30; ++b) EXPECT_EQ(static_cast<unsigned char>(s[13 + b]), 225 + b) << b;
	EXPECT_EQ(static_cast<unsigned char>(s[13 + 31]), 0);
	EXPECT_EQ(static_cast<unsigned char>(s[13 + 255]), 224);
	EXPECT_EQ(s, ref_seal(all));

	Json::Value u;
	unseal_text(s, u);
	EXPECT_EQ(u["code"].asInt(), 0);
	EXPECT_EQ(u["content"].asString(), all);
}

TEST(Seal, EmptyTextAndBareMagic)
{
	Json::Value r;
	seal_text("", r);
	EXPECT_EQ(r["code"].asInt(), 0);
	EXPECT_EQ(r["content"].asString(), MAGIC);
	EXPECT_EQ(members(r), (std::vector<std::string>{"code", "content"}));

	Json::Value u;
	unseal_text(MAGIC, u);
	EXPECT_EQ(u["code"].asInt(), 0);
	EXPECT_EQ(u["content"].asString(), "");
}

TEST(Seal, AlreadySealedIsRefusedButTwelveBytePrefixIsNot)
{
	Json::Value r;
	seal_text(MAGIC + "{}", r);
	EXPECT_EQ(r["code"].asInt(), 1);
	EXPECT_EQ(r["content"].asString(), "String is encrypted");

	Json::Value bare;
	seal_text(MAGIC, bare);
	EXPECT_EQ(bare["code"].asInt(), 1);
	EXPECT_EQ(bare["content"].asString(), "String is encrypted");

	const std::string prefix = MAGIC.substr(0, 12);
	Json::Value p;
	seal_text(prefix, p);
	EXPECT_EQ(p["code"].asInt(), 0);
	EXPECT_EQ(p["content"].asString(), ref_seal(prefix));

	// The magic later in the text does not count as sealed.
	Json::Value later;
	seal_text("x" + MAGIC, later);
	EXPECT_EQ(later["code"].asInt(), 0);
	EXPECT_EQ(later["content"].asString(), ref_seal("x" + MAGIC));
}

TEST(Unseal, RejectsTextWithoutLeadingMagic)
{
	const std::vector<std::string> bad = {"", "VellumarkJSO", "xVellumarkJSON", "  VellumarkJSON{}",
										  std::string("Vellumark\0SON", 13), "vellumarkJSON", "{\"a\":1}"};
	for (const std::string &t : bad) {
		Json::Value r;
		unseal_text(t, r);
		EXPECT_EQ(r["code"].asInt(), 1) << t;
		EXPECT_EQ(r["content"].asString(), "Invalid input format") << t;
	}
}

TEST(Seal, FailureResetsAPreviousCode)
{
	Json::Value r;
	r["code"] = 0;
	unseal_text("plain", r);
	EXPECT_EQ(r["code"].asInt(), 1);
}

TEST(Seal, RandomRoundTripsInMemory)
{
	std::mt19937 rng(12345);
	for (int iter = 0; iter < 500; ++iter) {
		std::string t(rng() % 700, '\0');
		for (char &c : t) c = static_cast<char>(rng() % 4 == 0 ? 0 : rng() % 256);
		Json::Value s, u;
		seal_text(t, s);
		ASSERT_EQ(s["code"].asInt(), 0);
		ASSERT_EQ(s["content"].asString(), ref_seal(t));
		unseal_text(s["content"].asString(), u);
		ASSERT_EQ(u["code"].asInt(), 0);
		ASSERT_EQ(u["content"].asString(), t);
	}
}

TEST_F(SealFiles, FileLayoutIsMagicCountBody)
{
	for (size_t n : {0u, 1u, 3u, 255u, 256u, 70000u}) {
		std::string t(n, 'a');
		for (size_t i = 0; i < n; ++i) t[i] = static_cast<char>(i * 7);
		if (n >= 13) t[0] = 'x';
		std::string name = "f";
		name += std::to_string(n);
		const std::string p = path(name);
		Json::Value r;
		write_sealed_file(p, t, r);
		EXPECT_EQ(r["code"].asInt(), 0);
		EXPECT_EQ(r["write"].asInt(), static_cast<int>(n));
		EXPECT_EQ(members(r), (std::vector<std::string>{"code", "write"}));
		const std::string bytes = get(p);
		EXPECT_EQ(bytes.size(), 17 + n);
		EXPECT_EQ(bytes, ref_file(t));
	}
}

TEST_F(SealFiles, FileBytesUnsealedShowTheShiftedCount)
{
	const std::string p = path("count");
	Json::Value w, u;
	write_sealed_file(p, "hi", w);
	ASSERT_EQ(w["code"].asInt(), 0);
	unseal_text(get(p), u);
	ASSERT_EQ(u["code"].asInt(), 0);
	EXPECT_EQ(u["content"].asString(), std::string("\x21\x1f\x1f\x1fhi", 6));
}

TEST_F(SealFiles, WriteRefusesSealedContentWithoutTouchingTheFile)
{
	const std::string p = path("sealed");
	Json::Value r;
	write_sealed_file(p, MAGIC + "abc", r);
	EXPECT_EQ(r["code"].asInt(), 1);
	EXPECT_EQ(r["content"].asString(), "String is encrypted");
	EXPECT_FALSE(r.isMember("write"));
	EXPECT_FALSE(exists(p));
}

TEST_F(SealFiles, WriteTruncatesAnExistingFile)
{
	const std::string p = path("again");
	put(p, std::string(1000, 'z'));
	Json::Value r;
	write_sealed_file(p, "ab", r);
	EXPECT_EQ(r["code"].asInt(), 0);
	EXPECT_EQ(get(p), ref_file("ab"));
}

TEST_F(SealFiles, UnopenableFiles)
{
	Json::Value w;
	write_sealed_file(dir_ + "/no/such/dir/out.lb", "x", w);
	EXPECT_EQ(w["code"].asInt(), 2);
	EXPECT_EQ(w["content"].asString(), "Cannot open file for writing");
	EXPECT_FALSE(w.isMember("write"));

	Json::Value wd;
	write_sealed_file(dir_, "x", wd);  // a directory
	EXPECT_EQ(wd["code"].asInt(), 2);

	Json::Value r;
	read_sealed_file(dir_ + "/missing.lb", r);
	EXPECT_EQ(r["code"].asInt(), 2);
	EXPECT_EQ(r["content"].asString(), "Cannot open file for writing");
}

TEST_F(SealFiles, ReadingADirectoryIsInvalidInput)
{
	Json::Value r;
	read_sealed_file(dir_, r);
	if (r["code"].asInt() == 2) GTEST_SKIP() << "directories cannot be opened here";
	EXPECT_EQ(r["code"].asInt(), 1);
	EXPECT_EQ(r["content"].asString(), "Invalid input");
}

TEST_F(SealFiles, FailedWriteIsNotReportedAsDone)
{
	if (!exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
	Json::Value r;
	write_sealed_file("/dev/full", "some text", r);
	EXPECT_EQ(r["code"].asInt(), 1);
	EXPECT_EQ(r["content"].asString(), "Cannot write file");
	EXPECT_FALSE(r.isMember("write"));
}

TEST_F(SealFiles, TruncatedFilesAndBadCountsAreInvalidInput)
{
	const std::string good = ref_file("payload");  // 17 + 7 bytes
	for (size_t len = 0; len < good.size(); ++len)
		expect_invalid(good.substr(0, len), ("cut at " + std::to_string(len)).c_str());

	std::string wrong = good;
	wrong[12] = 'n';
	expect_invalid(wrong, "wrong magic");

	auto with_count = [&](uint32_t n, const std::string &body) {
		std::string f = MAGIC;
		for (int i = 0; i < 4; ++i) f.push_back(static_cast<char>((n >> (8 * i)) & 0xff));
		return f + body;
	};
	expect_invalid(with_count(0xffffffffu, "abc"), "count -1");
	expect_invalid(with_count(0x80000000u, "abc"), "count INT32_MIN");
	expect_invalid(with_count(0x7fffffffu, "abc"), "count INT32_MAX");
	expect_invalid(with_count(4, "abc"), "count one past the end");

	// The count is checked before the body is allocated.
	largest_new = 0;
	expect_invalid(with_count(0x7ffffff0u, std::string(100, 'a')), "count far past the end");
	EXPECT_LT(largest_new.load(), size_t(1) << 20);

	// A count that fits is read; bytes after the body are not part of the text.
	const std::string p = path("trailing");
	put(p, with_count(2, ref_seal("xyz").substr(13)));
	Json::Value r;
	read_sealed_file(p, r);
	EXPECT_EQ(r["code"].asInt(), 0);
	EXPECT_EQ(r["content"].asString(), "xy");
}

TEST_F(SealFiles, RandomRoundTripsThroughFiles)
{
	std::mt19937 rng(777);
	const std::string p = path("round");
	for (int iter = 0; iter < 100; ++iter) {
		std::string t(rng() % 3000, '\0');
		for (char &c : t) c = static_cast<char>(rng() % 3 == 0 ? 0 : rng() % 256);
		Json::Value w, r;
		write_sealed_file(p, t, w);
		ASSERT_EQ(w["code"].asInt(), 0);
		ASSERT_EQ(w["write"].asUInt64(), t.size());
		read_sealed_file(p, r);
		ASSERT_EQ(r["code"].asInt(), 0);
		ASSERT_EQ(r["content"].asString(), t);
	}
}

// 2^31 bytes have no signed 32-bit count: refused instead of a wrapped count.
TEST_F(SealFiles, TextOf2To31BytesIsRefused)
{
	std::string huge;
	try {
#if defined(__cpp_lib_string_resize_and_overwrite)
		// Only the first bytes are written: the rest of the 2 GiB is never
		// touched, so the test costs no memory bandwidth. The operations
		// must refuse after looking at the magic only.
		huge.resize_and_overwrite(size_t(1) << 31, [](char *p, size_t n) {
			memset(p, 'a', 64);
			return n;
		});
#else
		huge.assign(size_t(1) << 31, 'a');
#endif
	} catch (const std::bad_alloc &) {
		GTEST_SKIP() << "cannot allocate 2 GiB";
	}
	Json::Value s;
	seal_text(huge, s);
	EXPECT_EQ(s["code"].asInt(), 1);
	EXPECT_EQ(s["content"].asString(), "Input too large");

	const std::string p = path("huge");
	Json::Value w;
	write_sealed_file(p, huge, w);
	EXPECT_EQ(w["code"].asInt(), 1);
	EXPECT_EQ(w["content"].asString(), "Input too large");
	EXPECT_FALSE(w.isMember("write"));
	EXPECT_FALSE(exists(p));
}

}  // namespace
