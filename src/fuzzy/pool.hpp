#pragma once
// The process-wide worker pool of the batch classifier.
//
// Created on first use with one thread per CPU the process may run on (the
// affinity mask), or ZEMO_ETL_NUM_THREADS threads when that variable holds a
// positive number at creation; the calling thread counts as one of them.
// A forked child drops the parent's pool (its threads do not exist there)
// and creates its own on first use.

#include <cstddef>
#include <functional>

namespace zemo::fuzzy {

// Runs body(begin, end) over disjoint ranges covering [0, n), on the pool
// and the calling thread, and returns when every range is done. An exception
// thrown by the body is rethrown here after the other ranges have stopped:
// no new range starts, and interruption polls in running ones throw. The
// caller's interrupt check (common/interrupt.hpp) keeps running while it
// waits for the workers; when it says stop, Interrupted is thrown here once
// every worker has left the batch.
void parallel_for(std::size_t n, const std::function<void(std::size_t, std::size_t)>& body);

// Threads working on a batch, the caller included; creates the pool.
std::size_t pool_size();

}  // namespace zemo::fuzzy
