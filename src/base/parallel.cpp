// A pool of threads over a range of items, for the stages after the read pipeline.
#include <atomic>
#include <system_error>
#include <thread>
#include <vector>
#include "base/base.h"

void parallel_chunks(int n_threads, uint64_t n, uint64_t chunk,
                     const std::function<void(uint64_t begin, uint64_t end, int thread)> &body)
{
	if (chunk == 0) chunk = 1;
	const uint64_t chunks = (n + chunk - 1) / chunk;
	const int threads = n_threads < 1 ? 1 : (uint64_t)n_threads > chunks ? (int)(chunks ? chunks : 1) : n_threads;
	std::atomic<uint64_t> next{0};
	auto run = [&](int thread) {
		for (uint64_t c; (c = next.fetch_add(1, std::memory_order_relaxed)) < chunks;) {
			const uint64_t begin = c * chunk;
			body(begin, begin + chunk < n ? begin + chunk : n, thread);
		}
	};
	std::vector<std::thread> helpers;
	helpers.reserve((size_t)threads - 1);
	try {
		for (int t = 1; t < threads; ++t) helpers.emplace_back(run, t);
	} catch (const std::system_error &) {
		fatal("[ERROR] Unable to create a thread\n");
	}
	run(0);
	for (std::thread &h : helpers) h.join();
}
