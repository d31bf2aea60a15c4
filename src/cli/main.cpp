// vora-T: single-cell RNA-seq index and gene counting for 10X-Chromium 3' libraries.
#include <cstdio>
#include <cstring>
#include "cli/cli.h"

int main(int argc, char **argv)
{
	report("Vora-T is a program developed by Vellumark for ScRNA-Seq analysis\n");
	report("Version: %d.%d.%d\n", VORAT_VERSION_MAJOR, VORAT_VERSION_MINOR, VORAT_VERSION_PATCH);
	report("\n");
	if (argc == 1) {
		print_usage();
		fflush(stderr);
		return 0;
	}
	if (strcmp(argv[1], "index") == 0) {
		run_index(argc, argv);
	} else if (strcmp(argv[1], "count") == 0) {
		run_count(argc, argv);
	} else {
		// A mistyped command in a script must not look like success.
		report_console("Invalid command!\n");
		print_usage();
		fflush(stderr);
		return 1;
	}
	fflush(stderr);
	return 0;
}
