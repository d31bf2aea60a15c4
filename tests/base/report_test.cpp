// Reporting helpers and checked file I/O.
#include <gtest/gtest.h>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>
#include "base/base.h"
#include "common/run_binary.h"

TEST(Log, OpenOrDieMessages)
{
	EXPECT_EXIT(open_or_die("/nonexistent/x.bin", "rb"), ::testing::ExitedWithCode(1),
	            "^\\[ERROR\\] Unable to open file \\[/nonexistent/x.bin\\] to read\n$");
	EXPECT_EXIT(open_or_die("/nonexistent/x.bin", "wb"), ::testing::ExitedWithCode(1),
	            "^\\[ERROR\\] Unable to open file \\[/nonexistent/x.bin\\] to write\n$");
	EXPECT_EXIT(open_or_die("/nonexistent/x.bin", "a+"), ::testing::ExitedWithCode(1),
	            "^\\[ERROR\\] Unable to open file \\[/nonexistent/x.bin\\]with unknown mode \\[a\\+\\]\n$");
}

TEST(Log, LongMessagesAndPercentReachTheLogWhole)
{
	TempDir dir;
	std::string log = dir / "a.log";
	std::string name(3000, 'n');
	name += "%d%s";
	EXPECT_EXIT({
		log_open(log.c_str());
		report("[INFO] file %s\n", name.c_str());
		fatal("[ERROR] bad %s\n", name.c_str());
	}, ::testing::ExitedWithCode(1), "bad n+%d%s\n");
	std::string text = read_file(log);
	EXPECT_EQ(text, "Log file: [" + log + "]\n[INFO] file " + name + "\n[ERROR] bad " + name + "\n");
}

TEST(Log, CheckedReadWriteAndPaths)
{
	TempDir dir;
	std::string path = dir / "short.bin";
	write_file(path, "abc");
	EXPECT_EXIT({
		FILE *fp = fopen(path.c_str(), "rb");
		char buf[8];
		read_or_die(buf, 1, 4, fp);
	}, ::testing::ExitedWithCode(1), "^\\[ERROR\\] fread, wrong file or file is corrupted\n$");
	EXPECT_EXIT({
		FILE *fp = fopen("/dev/full", "wb");
		std::string big(1 << 16, 'x');
		setvbuf(fp, nullptr, _IONBF, 0);
		write_or_die(big.data(), 1, big.size(), fp);
	}, ::testing::ExitedWithCode(1), "^\\[ERROR\\] fwrite, could not write data to file\n$");

	char out[PATH_BUFFER_SIZE];
	build_path(out, "dir", "/", "idx");
	EXPECT_STREQ(out, "dir/idx");
	std::string fits(PATH_BUFFER_SIZE - 1 - 4, 'd');
	build_path(out, fits.c_str(), "/", "idx");
	EXPECT_EQ(strlen(out), (size_t)PATH_BUFFER_SIZE - 1);
	std::string too_long(PATH_BUFFER_SIZE - 4, 'd');
	EXPECT_EXIT(build_path(out, too_long.c_str(), "/", "idx"), ::testing::ExitedWithCode(1),
	            "^\\[ERROR\\] Path is too long \\(over 1023 bytes\\): d+/idx\n$");
}

// A fatal error on one thread while others report: the message is the last thing written to
// standard error and the log, and the process ends at once (no exit handlers run, so no
// teardown races the threads still running).
std::string exit_handler_marker;
void exit_handler() { write_file(exit_handler_marker, "ran"); }

TEST(Log, FatalOnAWorkerEndsTheProcessAfterItsMessage)
{
	TempDir dir;
	std::string log = dir / "w.log";
	exit_handler_marker = dir / "marker";
	EXPECT_EXIT({
		log_open(log.c_str());
		atexit(exit_handler);
		std::atomic<bool> go{true};
		std::vector<std::thread> chatty;
		for (int t = 0; t < 3; ++t)
			chatty.emplace_back([&go] {
				while (go) report("Number of processed reads: 1 million reads\n");
			});
		std::thread worker([] { fatal("[ERROR] \nWrong format file\n\n"); });
		worker.join();
		go = false;
		for (std::thread &t : chatty) t.join();
	}, ::testing::ExitedWithCode(1), "\\[ERROR\\] \nWrong format file\n\n$");
	EXPECT_FALSE(file_exists(exit_handler_marker));
	std::string text = read_file(log);
	const std::string tail = "[ERROR] \nWrong format file\n\n";
	ASSERT_GE(text.size(), tail.size());
	EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
}
