// Several pieces of work side by side, each in a process of its own: its
// memory, its failures and its console output stay its own, and the output
// comes back whole, in the order the pieces were given.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

// What one piece of work left: its exit status (128 + the signal's number
// when a signal ended it) and everything it wrote to standard output and
// standard error.
struct WorkerResult {
    int status = 0;
    bool signalled = false;
    std::string out, err;
};

// Whether this system can run work in child processes (it cannot on Windows,
// where the caller does the work itself, one piece after another).
bool WorkersAvailable();

// Runs work(0) ... work(count - 1), at most jobs at a time, each in a child
// process that starts as a copy of this one (so work sees everything the
// caller prepared) and ends with work's return value as its exit status. The
// children's standard output and error are caught; done(i, result) runs on
// the calling thread for each piece in index order, as soon as that piece and
// every one before it has ended. The caller must not run other threads while
// this forks. False when no child could be started at all.
bool RunInWorkers(size_t count, int jobs, const std::function<int(size_t)>& work,
                  const std::function<void(size_t, const WorkerResult&)>& done);
