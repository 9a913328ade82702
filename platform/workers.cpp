#include "platform/workers.h"

// Windows has no fork, and the browser module no processes at all.
#if defined(_WIN32) || defined(__EMSCRIPTEN__)

bool WorkersAvailable() { return false; }

bool RunInWorkers(size_t, int, const std::function<int(size_t)>&,
                  const std::function<void(size_t, const WorkerResult&)>&) {
    return false;
}

#else

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

namespace {

// A worker takes piece numbers from the task pipe (4-byte writes and reads:
// atomic on a pipe, so each number goes to exactly one worker) until it is
// empty and closed. For each piece it reports on its own result pipe first a
// start record, then, once the piece is done, its status and output.
struct Record {
    uint32_t kind;  // kStart or kDone
    uint32_t piece;
    int32_t status;
    uint32_t pad;
    uint64_t outSize, errSize;
};
constexpr uint32_t kStart = 1, kDone = 2;

bool WriteAll(int fd, const void* data, size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = write(fd, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= size_t(n);
    }
    return true;
}

struct CloseFile {
    void operator()(FILE* f) const {
        if (f) fclose(f);
    }
};

std::string ReadBack(FILE* f) {
    std::string text;
    fflush(f);
    rewind(f);
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
    return text;
}

// The life of a worker process; never returns.
[[noreturn]] void WorkerMain(int taskFd, int resultFd, const std::function<int(size_t)>& work) {
    uint32_t piece = 0;
    // Each piece's console output goes into these files, emptied in between.
    std::unique_ptr<FILE, CloseFile> out(tmpfile()), err(tmpfile());
    fflush(stdout);
    fflush(stderr);
    if (out) dup2(fileno(out.get()), STDOUT_FILENO);
    if (err) dup2(fileno(err.get()), STDERR_FILENO);
    for (;;) {
        const ssize_t n = read(taskFd, &piece, sizeof piece);
        if (n < 0 && errno == EINTR) continue;
        if (n != ssize_t(sizeof piece)) break;
        Record start{kStart, piece, 0, 0, 0, 0};
        if (!WriteAll(resultFd, &start, sizeof start)) break;
        for (FILE* f : {out.get(), err.get()})
            if (f && (ftruncate(fileno(f), 0) != 0 || lseek(fileno(f), 0, SEEK_SET) != 0)) _exit(1);
        const int status = work(piece);
        fflush(stdout);
        fflush(stderr);
        const std::string outText = out ? ReadBack(out.get()) : std::string();
        const std::string errText = err ? ReadBack(err.get()) : std::string();
        Record done{kDone, piece, status, 0, outText.size(), errText.size()};
        if (!WriteAll(resultFd, &done, sizeof done) || !WriteAll(resultFd, outText.data(), outText.size()) ||
            !WriteAll(resultFd, errText.data(), errText.size()))
            break;
    }
    _exit(0);
}

struct Worker {
    pid_t pid = -1;
    int resultFd = -1;
    std::string pending;  // result bytes not yet parsed
    bool busy = false;    // a start record without its done record
    uint32_t piece = 0;
};

}  // namespace

bool WorkersAvailable() { return true; }

bool RunInWorkers(size_t count, int jobs, const std::function<int(size_t)>& work,
                  const std::function<void(size_t, const WorkerResult&)>& done) {
    if (count == 0) return true;
    if (count > UINT32_MAX) return false;
    if (jobs < 1) jobs = 1;
    int tasks[2];
    if (pipe(tasks) != 0) return false;
    // A worker that dies must not end the program with SIGPIPE.
    signal(SIGPIPE, SIG_IGN);

    int taskWrite = tasks[1];  // -1 once every number is queued
    std::vector<Worker> workers;
    const auto startWorker = [&]() -> bool {
        int results[2];
        if (pipe(results) != 0) return false;
        fflush(stdout);
        fflush(stderr);
        const pid_t pid = fork();
        if (pid == 0) {
            close(results[0]);
            if (taskWrite >= 0) close(taskWrite);
            for (const Worker& w : workers)
                if (w.resultFd >= 0) close(w.resultFd);
            WorkerMain(tasks[0], results[1], work);
        }
        close(results[1]);
        if (pid < 0) {
            close(results[0]);
            return false;
        }
        Worker w;
        w.pid = pid;
        w.resultFd = results[0];
        workers.push_back(w);
        return true;
    };
    for (int i = 0; i < jobs; ++i)
        if (!startWorker()) break;
    if (workers.empty()) {
        close(tasks[0]);
        close(tasks[1]);
        return false;
    }

    std::map<size_t, WorkerResult> finished;  // ended, not yet reported
    size_t reported = 0, queued = 0, restarts = 0;
    std::vector<uint32_t> numbers(count);
    for (size_t i = 0; i < count; ++i) numbers[i] = uint32_t(i);
    while (reported < count) {
        std::vector<pollfd> fds;
        std::vector<size_t> owner;  // the worker of each result descriptor
        for (size_t k = 0; k < workers.size(); ++k)
            if (workers[k].resultFd >= 0) {
                fds.push_back({workers[k].resultFd, POLLIN, 0});
                owner.push_back(k);
            }
        if (taskWrite >= 0) fds.push_back({taskWrite, POLLOUT, 0});
        if (fds.empty()) break;
        if (poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (taskWrite >= 0 && (fds.back().revents & (POLLOUT | POLLERR))) {
            // As many numbers as fit at once; the rest when there is room.
            const size_t batch = std::min<size_t>(count - queued, 512);
            const ssize_t n = write(taskWrite, numbers.data() + queued, batch * sizeof(uint32_t));
            if (n > 0) queued += size_t(n) / sizeof(uint32_t);
            if (queued == count || (n < 0 && errno != EINTR && errno != EAGAIN)) {
                close(taskWrite);
                taskWrite = -1;
            }
        }
        for (size_t f = 0; f < owner.size(); ++f) {
            if (!(fds[f].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            Worker& w = workers[owner[f]];
            char buffer[65536];
            const ssize_t n = read(w.resultFd, buffer, sizeof buffer);
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (n > 0) {
                w.pending.append(buffer, size_t(n));
                for (;;) {
                    if (w.pending.size() < sizeof(Record)) break;
                    Record r;
                    memcpy(&r, w.pending.data(), sizeof r);
                    if (r.kind == kStart) {
                        w.busy = true;
                        w.piece = r.piece;
                        w.pending.erase(0, sizeof r);
                        continue;
                    }
                    if (w.pending.size() - sizeof r < r.outSize + r.errSize) break;
                    WorkerResult result;
                    result.status = r.status;
                    result.out = w.pending.substr(sizeof r, r.outSize);
                    result.err = w.pending.substr(sizeof r + r.outSize, r.errSize);
                    w.pending.erase(0, sizeof r + r.outSize + r.errSize);
                    w.busy = false;
                    if (r.piece < count) finished[r.piece] = std::move(result);
                }
                continue;
            }
            // The worker has gone: finished, or ended in the middle of a piece.
            {
                close(w.resultFd);
                w.resultFd = -1;
                int status = 0;
                waitpid(w.pid, &status, 0);
                w.pid = -1;
                if (w.busy) {
                    WorkerResult result;
                    result.status = WIFSIGNALED(status) ? 128 + WTERMSIG(status) : 1;
                    result.signalled = WIFSIGNALED(status);
                    if (w.piece < count) finished[w.piece] = std::move(result);
                    // Its share of the remaining pieces goes to a new worker.
                    if (restarts++ < count) startWorker();
                }
            }
        }
        for (auto it = finished.find(reported); it != finished.end(); it = finished.find(reported)) {
            done(reported, it->second);
            finished.erase(it);
            ++reported;
        }
        // Nothing left that could report the missing pieces.
        bool alive = false;
        for (const Worker& w : workers) alive = alive || w.resultFd >= 0;
        if (!alive && taskWrite < 0 && reported < count && finished.empty()) {
            for (; reported < count; ++reported) {
                WorkerResult lost;
                lost.status = 1;
                lost.err = "the worker process converting this picture was lost\n";
                done(reported, lost);
            }
        }
    }
    if (taskWrite >= 0) close(taskWrite);
    close(tasks[0]);
    // The workers end once the task pipe is empty and closed.
    for (Worker& w : workers) {
        if (w.resultFd >= 0) close(w.resultFd);
        if (w.pid > 0) waitpid(w.pid, nullptr, 0);
    }
    return true;
}

#endif
