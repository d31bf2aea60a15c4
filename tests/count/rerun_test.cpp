// A rerun into the directory of a finished run that fails part-way leaves no file of the
// earlier run behind, so nothing of it can be taken for the failed run's result.
#include <gtest/gtest.h>
#include "count_cmd_util.h"

using namespace count_cmd;

namespace {

struct FailingRerun {
	const char *what;
	std::string args;      // after "count -x <index>" (or the whole command when no index)
	bool with_index;
	const char *message;   // in standard error
};

TEST(CountRerun, FailingRerunLeavesNoFileOfTheEarlierRun)
{
	REQUIRE_SIM();
	sim_run::Fixture &f = sim_run::Fixture::get();
	const sim_run::CountRun &run = f.count("t1", 1);
	ASSERT_EQ(run.result.status, 0) << run.result.err;
	std::vector<std::string> earlier;
	list_files(run.out_dir, "", &earlier);
	ASSERT_GE(earlier.size(), 10u);  // the four matrix files, both 10x folders, the summary

	TempDir reads;
	write_file(reads / "short_R1.fastq", "@r1\nACGTACGTAC\n+\nIIIIIIIIII\n");
	write_file(reads / "R2.fastq", fastq_head(read_file(f.sim("R2.fastq")), 1));
	const std::string r1 = "'" + f.sim("R1.fastq") + "'", r2 = "'" + f.sim("R2.fastq") + "'";
	const FailingRerun cases[] = {
		{"index files missing", "count -x '" + reads.path + "/none' -l 0 -1 " + r1 + " -2 " + r2, false,
		 "Unable to open file"},
		{"read 1 too short, met by a worker", "-l 0 -t 2 -1 '" + reads.path + "/short_R1.fastq' -2 '" +
		 reads.path + "/R2.fastq'", true, "Read lenght of r1"},
	};
	for (const FailingRerun &c : cases) {
		SCOPED_TRACE(c.what);
		TempDir dir;
		ASSERT_EQ(std::system(("cp -r '" + run.out_dir + "/.' '" + dir.path + "/'").c_str()), 0);
		std::vector<std::string> copied;
		list_files(dir.path, "", &copied);
		ASSERT_EQ(copied, earlier);
		const std::string common = " -o '" + dir.path + "' --log '" + reads.path + "/rerun.log'";
		RunResult r = c.with_index ? count_in(reads.path, c.args + common) : run_vorat(reads.path, c.args + common);
		ASSERT_EQ(r.status, 1) << r.err;
		EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
		std::vector<std::string> left;
		list_files(dir.path, "", &left);
		EXPECT_TRUE(left.empty()) << "left behind: " << testing::PrintToString(left);
	}
}

}  // namespace
