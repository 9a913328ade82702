#include "platform/workers.h"

#include <cstdio>
#include <memory>
#include <vector>

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#endif

#ifdef _WIN32

bool WorkersAvailable() { return false; }

bool RunInWorkers(size_t, int, const std::function<int(size_t)>&,
                  const std::function<void(size_t, const WorkerResult&)>&) {
    return false;
}

#else

namespace {

struct CloseFile {
    void operator()(FILE* f) const {
        if (f) fclose(f);
    }
};
using File = std::unique_ptr<FILE, CloseFile>;

std::string ReadAll(FILE* f) {
    std::string text;
    if (!f) return text;
    rewind(f);
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
    return text;
}

struct Piece {
    pid_t pid = -1;
    File out, err;  // unnamed temporary files the child writes into
    bool ended = false;
    WorkerResult result;
};

}  // namespace

bool WorkersAvailable() { return true; }

bool RunInWorkers(size_t count, int jobs, const std::function<int(size_t)>& work,
                  const std::function<void(size_t, const WorkerResult&)>& done) {
    if (jobs < 1) jobs = 1;
    std::vector<Piece> pieces(count);
    size_t next = 0, reported = 0;
    int running = 0;
    bool started = false;
    while (reported < count) {
        // Start pieces while there is room.
        while (next < count && running < jobs) {
            Piece& p = pieces[next];
            p.out.reset(tmpfile());
            p.err.reset(tmpfile());
            // Buffered output of ours must not be written twice.
            fflush(stdout);
            fflush(stderr);
            const pid_t pid = (p.out && p.err) ? fork() : -1;
            if (pid == 0) {
                dup2(fileno(p.out.get()), STDOUT_FILENO);
                dup2(fileno(p.err.get()), STDERR_FILENO);
                const int status = work(next);
                fflush(stdout);
                fflush(stderr);
                _exit(status & 0xFF);
            }
            if (pid < 0) {
                // No child: once one ran, the rest wait for room; with none at
                // all the caller does the work itself.
                if (!started) return false;
                if (running == 0) {
                    p.ended = true;
                    p.result.status = 1;
                    p.result.err = "cannot start a worker process\n";
                    ++next;
                }
                break;
            }
            started = true;
            p.pid = pid;
            ++running;
            ++next;
        }
        // Report every piece that ended, in order.
        while (reported < count && pieces[reported].ended) {
            Piece& p = pieces[reported];
            p.result.out = ReadAll(p.out.get());
            p.result.err = ReadAll(p.err.get());
            p.out.reset();
            p.err.reset();
            done(reported, p.result);
            p.result = WorkerResult{};
            ++reported;
        }
        if (reported == count || running == 0) continue;
        int status = 0;
        const pid_t pid = waitpid(-1, &status, 0);
        if (pid < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (size_t i = reported; i < next; ++i) {
            Piece& p = pieces[i];
            if (p.pid != pid || p.ended) continue;
            p.ended = true;
            --running;
            if (WIFEXITED(status)) {
                p.result.status = WEXITSTATUS(status);
            } else if (WIFSIGNALED(status)) {
                p.result.status = 128 + WTERMSIG(status);
                p.result.signalled = true;
            }
            break;
        }
    }
    return true;
}

#endif
