// Mutation sweep: every corpus file of the formats this build decodes, every
// prefix of it (sampled evenly for large files), and a fixed number of seeded
// single-byte changes and 4-byte overwrites, each converted by the console
// program itself (extension lookup, load with the try-every-decoder fallback,
// tiles, include), started afresh for every input under a CPU-time and
// address-space limit. Prints counts per format and keeps every offender.
//
//   sweep --corpus DIR [--formats bmp,gif,...] [--out DIR] [options]
//   sweep --measure FILE|DIR...      the files as they are, one line each
//
// Exit status: 0 clean; 1 a sanitizer report, crash, unexpected end or a run
// out of memory; 3 only inputs over the time or memory budget.
//
// Inputs are made one at a time, and the programs are started by a small
// launcher process forked before any file is read: a child forked from the
// sweep itself would inherit its memory (and report the sweep's peak as its
// own), while the launcher stays a few megabytes.
//
// Formats are the corpus's folders; a file joins when its extension maps to a
// format with a decoder in this build, so a new decoder is swept as soon as
// its row in the format table is filled in.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "codecs/format_table.h"
#include "image/format_table.h"
#include "image/image_format.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZENT_SWEEP_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define ZENT_SWEEP_ASAN 1
#endif

namespace fs = std::filesystem;

namespace {

// A sanitizer report ends the child with this status, apart from the 0 and 1
// the converter itself returns.
constexpr int kSanitizerExit = 77;

#ifdef ZENT_SWEEP_ASAN
constexpr bool kUnderAsan = true;
#else
constexpr bool kUnderAsan = false;
#endif

}  // namespace

// The programs the sweep starts get these through their environment (the
// sweep's own copies apply to the sweep). Address-space limits do not work
// under ASan (its shadow reserves terabytes), so single allocations are
// capped instead and fail as a real malloc would.
const char kAsanOptions[] =
    "exitcode=77:detect_leaks=1:allocator_may_return_null=1:max_allocation_size_mb=1024:"
    "quarantine_size_mb=32:malloc_context_size=20";
const char kUbsanOptions[] = "exitcode=77:halt_on_error=1:print_stacktrace=1";

#ifdef ZENT_SWEEP_ASAN
extern "C" __attribute__((used)) const char* __asan_default_options() { return kAsanOptions; }
#endif
extern "C" __attribute__((used)) const char* __ubsan_default_options() { return kUbsanOptions; }

namespace {

// out-of-memory: the program stopped because an allocation failed under the
// address-space limit (or ASan's allocation cap). The converter's own memory
// ceiling refuses a picture before allocating it, so this is never a clean
// refusal: either the decoder asked for more than the ceiling allows, or the
// limit is too small for a real file.
enum Category {
    kSuccess,
    kCleanFailure,
    kSanitizer,
    kOverTime,
    kOverMemory,
    kOutOfMemory,
    kCrash,
    kUnexpected,
    kCategories
};
const char* const kCategoryNames[kCategories] = {"success",     "clean-failure", "sanitizer", "over-time",
                                                  "over-memory", "out-of-memory", "crash",     "unexpected"};

struct Options {
    std::string corpus;
    std::vector<std::string> formats;  // empty: every folder of the corpus
    std::string out = "sweep-out";
    std::vector<std::string> measure;
    std::string program;        // the console program; default: zent beside the sweep's folder
    size_t prefixes = 512;      // prefix lengths per file; every prefix below this size
    size_t byteChanges = 200;   // seeded single-byte changes per file
    size_t wordChanges = 100;   // seeded 4-byte overwrites per file
    size_t filesPerFormat = 0;  // 0: all; otherwise an even sample of the sorted files
    uint64_t seed = 1;
    double timeLimit = 2.0;     // CPU seconds per input
    size_t memoryMb = 400;      // peak resident memory per input
    size_t addressSpaceMb = 1024;  // 0: no address-space limit
    double maxSeconds = 0;      // 0: no bound; else shared evenly by the formats
    size_t largeFileKb = 1024;  // files above this size run a sample of their inputs
    size_t largeInputs = 64;    // the sample's size (the unchanged file always among them)
    bool verbose = false;
};

struct Result {
    Category category = kUnexpected;
    double cpuSeconds = 0, wallSeconds = 0;
    double peakMb = 0;
    std::string detail;  // exit status or signal, and the first message line
};

struct Tally {
    size_t counts[kCategories] = {};
    size_t inputs = 0;
    double maxCpu = 0, maxPeakMb = 0;
    std::string slowest, largest;
    size_t sampledFiles = 0;
};

std::vector<uint8_t> ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool WriteAll(const fs::path& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    return bool(out);
}

std::string ReadText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string Lowered(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return s;
}

// True when the file's extension maps to a format this build can decode.
bool Decodable(const fs::path& path) {
    std::string ext = path.extension().string();
    if (ext.size() < 2) return false;
    const FormatRow* row = FindFormatRow(FormatIdFromExtension(Lowered(ext.substr(1)).c_str()));
    return row && row->decode;
}

// splitmix64: small, seedable, the same on every platform.
struct Random {
    uint64_t state;
    uint64_t Next() {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    size_t Below(size_t n) { return n ? size_t(Next() % n) : 0; }
};

uint64_t Fnv1a(const std::string& s) {
    uint64_t h = 0xCBF29CE484222325ull;
    for (unsigned char c : s) h = (h ^ c) * 0x100000001B3ull;
    return h;
}

// Values that make sizes, counts and offsets go wrong in interesting ways.
const uint32_t kWords[] = {0xFFFFFFFFu, 0x7FFFFFFFu, 0x80000000u, 0x00000000u, 0xFFFFFF7Fu, 0x00000080u,
                           0x0000FFFFu, 0x00010000u, 0x7FFF0000u, 0x00008000u, 0xFFFF0000u, 0x01000000u};

// One input made from a file: the file itself, a prefix of it, one byte
// changed or one 4-byte word overwritten. Only the recipe is kept; the bytes
// are made when the input runs, so a sweep holds one input at a time.
struct Mutation {
    enum Kind { kWhole, kPrefix, kByte, kWord } kind = kWhole;
    size_t at = 0;       // prefix length, or the offset changed
    uint32_t value = 0;  // the new byte or word
    std::string Tag() const {
        char tag[64];
        switch (kind) {
        case kWhole: return "file";
        case kPrefix: snprintf(tag, sizeof tag, "p%zu", at); break;
        case kByte: snprintf(tag, sizeof tag, "b%zu_%02x", at, unsigned(value)); break;
        case kWord: snprintf(tag, sizeof tag, "w%zu_%08" PRIx32, at, value); break;
        }
        return tag;
    }
    // The input's bytes into out (its storage reused from one input to the next).
    void Make(const std::vector<uint8_t>& file, std::vector<uint8_t>& out) const {
        out.assign(file.begin(), file.begin() + long(kind == kPrefix ? at : file.size()));
        if (kind == kByte) out[at] = uint8_t(value);
        if (kind == kWord)
            for (int k = 0; k < 4; ++k) out[at + size_t(k)] = uint8_t(value >> (8 * k));
    }
};

// The prefix lengths: all of them for a small file, otherwise the first
// quarter of the budget byte by byte (the headers) and the rest evenly spread.
std::vector<size_t> PrefixLengths(size_t size, size_t budget) {
    std::vector<size_t> lengths;
    if (size <= budget) {
        for (size_t n = 0; n < size; ++n) lengths.push_back(n);
        return lengths;
    }
    const size_t head = budget / 4;
    for (size_t n = 0; n < head; ++n) lengths.push_back(n);
    const size_t spread = budget - head;
    for (size_t i = 0; i < spread; ++i) lengths.push_back(head + (size - head) * i / spread);
    return lengths;
}

// Every input of a file, in a fixed order: the file, its prefixes, the byte
// changes, the word overwrites (the last two drawn from a generator seeded by
// the file's name, so a sweep is repeatable).
std::vector<Mutation> PlanInputs(const std::vector<uint8_t>& file, const std::string& name, const Options& o) {
    std::vector<Mutation> plan{Mutation{}};
    for (size_t n : PrefixLengths(file.size(), o.prefixes)) plan.push_back({Mutation::kPrefix, n, 0});
    if (file.empty()) return plan;
    Random rng{Fnv1a(name) ^ o.seed};
    for (size_t i = 0; i < o.byteChanges; ++i) {
        const size_t at = rng.Below(file.size());
        uint8_t v = uint8_t(rng.Next());
        if (v == file[at]) v = uint8_t(~v);
        plan.push_back({Mutation::kByte, at, v});
    }
    if (file.size() < 4) return plan;
    for (size_t i = 0; i < o.wordChanges; ++i) {
        const size_t at = rng.Below(file.size() - 3);
        const uint64_t pick = rng.Next();
        const size_t choice = size_t(pick % (std::size(kWords) + 2));
        // Mostly the listed values; now and then a random word.
        const uint32_t pat = choice < std::size(kWords) ? kWords[choice] : uint32_t(pick >> 32);
        plan.push_back({Mutation::kWord, at, pat});
    }
    return plan;
}

// A large file costs a real decode per input: it runs an even sample of its
// plan (every kind of change represented, the unchanged file first).
std::vector<Mutation> SampleLarge(std::vector<Mutation> plan, size_t fileSize, const Options& o) {
    if (fileSize <= o.largeFileKb * 1024 || plan.size() <= o.largeInputs || o.largeInputs == 0) return plan;
    std::vector<Mutation> sample;
    for (size_t i = 0; i < o.largeInputs; ++i) sample.push_back(plan[i * plan.size() / o.largeInputs]);
    return sample;
}

double Seconds(const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; }

// What the launcher sends back for one run.
struct RunReport {
    int status = 0;
    int startError = 0;  // errno of a failed fork
    double cpuSeconds = 0, wallSeconds = 0;
    long maxRssKb = 0;
};

bool WriteFull(int fd, const void* data, size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size) {
        const ssize_t n = write(fd, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n, size -= size_t(n);
    }
    return true;
}

bool ReadFull(int fd, void* data, size_t size) {
    char* p = static_cast<char*>(data);
    while (size) {
        const ssize_t n = read(fd, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n, size -= size_t(n);
    }
    return true;
}

// The program's process: the console program on the input inside the scratch
// folder, output in files there, stdin empty (no wait for a key).
// Memory limits are multiplied by scale (a second run with more room tells a
// program starved by the limit from one that refuses the input itself).
[[noreturn]] void StartProgram(const Options& o, const fs::path& scratch, const std::string& inputName,
                               uint32_t scale) {
    if (chdir(scratch.c_str()) != 0) _exit(126);
    const int in = open("/dev/null", O_RDONLY);
    const int out = open("stdout.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open("stderr.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0) _exit(126);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    if (o.addressSpaceMb > 0) {
        const rlim_t bytes = rlim_t(o.addressSpaceMb) * scale << 20;
        rlimit limit{bytes, bytes};
        setrlimit(RLIMIT_AS, &limit);
    }
    // CPU time, so a busy machine does not turn slow inputs into offenders;
    // the wall-clock alarm only catches a program that waits for something.
    // Both stay set across exec.
    itimerval cpu{};
    cpu.it_value.tv_sec = time_t(o.timeLimit);
    cpu.it_value.tv_usec = suseconds_t((o.timeLimit - double(time_t(o.timeLimit))) * 1e6);
    setitimer(ITIMER_PROF, &cpu, nullptr);
    alarm(unsigned(o.timeLimit * 10) + 10);
    std::string asan = kAsanOptions;
    asan += ":max_allocation_size_mb=" + std::to_string(1024 * scale);  // the last value counts
    setenv("ASAN_OPTIONS", asan.c_str(), 1);
    setenv("UBSAN_OPTIONS", kUbsanOptions, 1);
    std::string program = o.program, path = inputName;
    char* argv[] = {program.data(), path.data(), nullptr};
    execv(program.c_str(), argv);
    _exit(127);
}

// The launcher: forked before the sweep reads any file, so the programs it
// forks start from its few megabytes. It reads an input's name from one pipe,
// runs the program on it and answers on the other.
class Launcher {
public:
    Launcher(const Options& o, const fs::path& scratch) {
        int request[2], answer[2];
        if (pipe(request) != 0 || pipe(answer) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            close(request[1]);
            close(answer[0]);
            Serve(o, scratch, request[0], answer[1]);
        }
        close(request[0]);
        close(answer[1]);
        requestFd_ = request[1];
        answerFd_ = answer[0];
    }
    ~Launcher() {
        if (requestFd_ >= 0) close(requestFd_);
        if (answerFd_ >= 0) close(answerFd_);
        if (pid_ > 0) waitpid(pid_, nullptr, 0);
    }
    Launcher(const Launcher&) = delete;
    Launcher& operator=(const Launcher&) = delete;

    bool Run(const std::string& inputName, uint32_t scale, RunReport& report) {
        const uint32_t size = uint32_t(inputName.size());
        return pid_ > 0 && WriteFull(requestFd_, &scale, sizeof scale) && WriteFull(requestFd_, &size, sizeof size) &&
               WriteFull(requestFd_, inputName.data(), size) && ReadFull(answerFd_, &report, sizeof report);
    }

private:
    [[noreturn]] static void Serve(const Options& o, const fs::path& scratch, int requestFd, int answerFd) {
        uint32_t scale = 1, size = 0;
        while (ReadFull(requestFd, &scale, sizeof scale) && ReadFull(requestFd, &size, sizeof size) && size < 4096) {
            std::string inputName(size, '\0');
            if (!ReadFull(requestFd, inputName.data(), size)) break;
            RunReport report;
            const auto start = std::chrono::steady_clock::now();
            const pid_t pid = fork();
            if (pid == 0) StartProgram(o, scratch, inputName, scale);
            if (pid < 0) {
                report.startError = errno;
            } else {
                rusage usage{};
                while (wait4(pid, &report.status, 0, &usage) < 0 && errno == EINTR) {
                }
                report.wallSeconds =
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
                report.cpuSeconds = Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
                report.maxRssKb = usage.ru_maxrss;
            }
            if (!WriteFull(answerFd, &report, sizeof report)) break;
        }
        _exit(0);  // nothing of the sweep's to flush or check here
    }

    pid_t pid_ = -1;
    int requestFd_ = -1, answerFd_ = -1;
};

bool HasSanitizerReport(const std::string& err) {
    return err.find("ERROR: AddressSanitizer") != std::string::npos ||
           err.find("ERROR: LeakSanitizer") != std::string::npos ||
           err.find("runtime error:") != std::string::npos ||
           err.find("UndefinedBehaviorSanitizer") != std::string::npos;
}

// The decoders' and libraries' words for a failed allocation, and the
// decoders' for a picture they could not make (an allocation, or their own
// size checks).
bool SaysOutOfMemory(const std::string& message) {
    const std::string m = Lowered(message);
    for (const char* words :
         {"allocat", "out of memory", "insufficient memory", "not enough memory", "bad_alloc", "create"})
        if (m.find(words) != std::string::npos) return true;
    return false;
}

// The first line with text: the GIF and icon decoders leave no reason, so the
// converter's own "error loading" line may come after an empty one.
std::string FirstMessageLine(const std::string& err) {
    const size_t start = std::min(err.find_first_not_of("\n"), err.size());
    std::string line = err.substr(start, err.find('\n', start) - start);
    if (line.size() > 160) line.resize(160);
    return line;
}

Result RunOne(const Options& o, Launcher& launcher, const fs::path& scratch, const std::string& ext,
              const std::vector<uint8_t>& bytes, uint32_t scale = 1) {
    Result r;
    const std::string inputName = "in" + ext;
    std::error_code ec;
    fs::remove(scratch / "in.inc", ec);
    if (!WriteAll(scratch / inputName, bytes)) {
        r.detail = "cannot write the input";
        return r;
    }
    RunReport report;
    if (!launcher.Run(inputName, scale, report)) {
        r.detail = "the launcher is gone";
        return r;
    }
    if (report.startError) {
        r.detail = std::string("fork failed: ") + strerror(report.startError);
        return r;
    }
    const int status = report.status;
    r.wallSeconds = report.wallSeconds;
    r.cpuSeconds = report.cpuSeconds;
    r.peakMb = double(report.maxRssKb) / 1024.0;
    const std::string err = ReadText(scratch / "stderr.txt");
    const std::string outText = ReadText(scratch / "stdout.txt");
    // Under ASan the peak holds its shadow memory and quarantine as well.
    const double memoryBudget = double(o.memoryMb) * (kUnderAsan ? 2.0 : 1.0);

    if (WIFSIGNALED(status))
        r.detail = std::string("signal ") + strsignal(WTERMSIG(status));
    else
        r.detail = "exit " + std::to_string(WEXITSTATUS(status));
    const std::string message = FirstMessageLine(err);
    if (!message.empty()) r.detail += ": " + message;

    const bool exited = WIFEXITED(status);
    const int code = exited ? WEXITSTATUS(status) : -1;
    if (code == 127 || code == 126) {
        r.category = kUnexpected;
        r.detail = "the program did not start: " + o.program;
    } else if (HasSanitizerReport(err) || code == kSanitizerExit) {
        r.category = kSanitizer;
        if (err.find("LeakSanitizer") != std::string::npos) r.detail = "leak: " + r.detail;
    } else if ((WIFSIGNALED(status) && (WTERMSIG(status) == SIGPROF || WTERMSIG(status) == SIGALRM)) ||
               r.cpuSeconds > o.timeLimit) {
        r.category = kOverTime;
    } else if (r.peakMb > memoryBudget) {
        r.category = kOverMemory;
    } else if (code != 0 && scale == 1 && SaysOutOfMemory(err)) {
        // The decoders say the same when their own size checks refuse a
        // picture: only a run that ends otherwise with four times the room
        // was starved by the limit.
        const Result roomy = RunOne(o, launcher, scratch, ext, bytes, 4);
        r.category = roomy.category == kCleanFailure && roomy.detail == r.detail ? kCleanFailure : kOutOfMemory;
        if (r.category == kOutOfMemory)
            r.detail += " (with four times the room: " + std::string(kCategoryNames[roomy.category]) + ")";
    } else if (WIFSIGNALED(status)) {
        r.category = kCrash;
    } else if (code == 0 && outText.find("Done!") != std::string::npos && fs::exists(scratch / "in.inc")) {
        r.category = kSuccess;
    } else if (code == 1 && !message.empty()) {
        r.category = kCleanFailure;
    } else {
        r.category = kUnexpected;  // the writer's emergency stop, or a success without an include
    }
    fs::remove(scratch / "in.inc", ec);
    return r;
}

void KeepOffender(const Options& o, const std::string& format, const std::string& name,
                  const std::vector<uint8_t>& bytes, const Result& r, FILE* log) {
    const fs::path dir = fs::path(o.out) / format / kCategoryNames[r.category];
    std::error_code ec;
    fs::create_directories(dir, ec);
    WriteAll(dir / name, bytes);
    fprintf(log, "%s\t%s\t%s\t%.2f\t%.2f\t%.0f\t%s\n", format.c_str(), kCategoryNames[r.category], name.c_str(),
            r.cpuSeconds, r.wallSeconds, r.peakMb, r.detail.c_str());
    fflush(log);
}

void PrintRow(const char* format, const Tally& t) {
    printf("%-6s %7zu %7zu %7zu %9zu %9zu %11zu %13zu %5zu %10zu %9.2f %7.0f\n", format, t.inputs,
           t.counts[kSuccess], t.counts[kCleanFailure], t.counts[kSanitizer], t.counts[kOverTime],
           t.counts[kOverMemory], t.counts[kOutOfMemory], t.counts[kCrash], t.counts[kUnexpected], t.maxCpu,
           t.maxPeakMb);
}

void PrintTable(const std::map<std::string, Tally>& tallies) {
    printf("\n%-6s %7s %7s %7s %9s %9s %11s %13s %5s %10s %9s %7s\n", "format", "inputs", "success", "clean",
           "sanitizer", "over-time", "over-memory", "out-of-memory", "crash", "unexpected", "max-cpu-s", "max-MB");
    Tally total;
    for (const auto& [format, t] : tallies) {
        PrintRow(format.c_str(), t);
        total.inputs += t.inputs;
        for (int c = 0; c < kCategories; ++c) total.counts[c] += t.counts[c];
        total.maxCpu = std::max(total.maxCpu, t.maxCpu);
        total.maxPeakMb = std::max(total.maxPeakMb, t.maxPeakMb);
    }
    PrintRow("all", total);
    for (const auto& [format, t] : tallies)
        printf("%s: slowest %s (%.2f s CPU), largest %s (%.0f MB)\n", format.c_str(), t.slowest.c_str(), t.maxCpu,
               t.largest.c_str(), t.maxPeakMb);
}

std::vector<fs::path> FilesUnder(const fs::path& dir) {
    std::vector<fs::path> files;
    std::error_code ec;
    if (fs::is_regular_file(dir, ec)) return {dir};
    for (const auto& entry : fs::recursive_directory_iterator(dir, ec))
        if (entry.is_regular_file()) files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    return files;
}

int Usage() {
    fprintf(stderr,
            "usage: sweep --corpus DIR [--formats a,b,...] [--out DIR] [--prefixes N] [--bytes N] [--words N]\n"
            "             [--files-per-format N] [--seed N] [--time-limit SEC] [--memory-mb MB]\n"
            "             [--address-space-mb MB] [--max-seconds SEC] [--large-file-kb KB]\n"
            "             [--large-inputs N] [--program PATH] [--verbose]\n"
            "       sweep --measure FILE|DIR... [--time-limit SEC] [--memory-mb MB] [--address-space-mb MB]\n"
            "             [--program PATH]\n");
    return 2;
}

bool ParseOptions(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        const char* v = nullptr;
        if (a == "--verbose") {
            o.verbose = true;
        } else if (a == "--measure") {
            while (i + 1 < argc && strncmp(argv[i + 1], "--", 2) != 0) o.measure.push_back(argv[++i]);
        } else if (!(v = value())) {
            return false;
        } else if (a == "--corpus") {
            o.corpus = v;
        } else if (a == "--formats") {
            std::string list = v;
            for (size_t at = 0; at <= list.size();) {
                const size_t comma = std::min(list.find(',', at), list.size());
                if (comma > at) o.formats.push_back(list.substr(at, comma - at));
                at = comma + 1;
            }
        } else if (a == "--out") {
            o.out = v;
        } else if (a == "--prefixes") {
            o.prefixes = strtoull(v, nullptr, 10);
        } else if (a == "--bytes") {
            o.byteChanges = strtoull(v, nullptr, 10);
        } else if (a == "--words") {
            o.wordChanges = strtoull(v, nullptr, 10);
        } else if (a == "--files-per-format") {
            o.filesPerFormat = strtoull(v, nullptr, 10);
        } else if (a == "--seed") {
            o.seed = strtoull(v, nullptr, 10);
        } else if (a == "--time-limit") {
            o.timeLimit = atof(v);
        } else if (a == "--memory-mb") {
            o.memoryMb = strtoull(v, nullptr, 10);
        } else if (a == "--address-space-mb") {
            o.addressSpaceMb = strtoull(v, nullptr, 10);
        } else if (a == "--max-seconds") {
            o.maxSeconds = atof(v);
        } else if (a == "--large-file-kb") {
            o.largeFileKb = strtoull(v, nullptr, 10);
        } else if (a == "--large-inputs") {
            o.largeInputs = strtoull(v, nullptr, 10);
        } else if (a == "--program") {
            o.program = v;
        } else {
            return false;
        }
    }
    return o.timeLimit > 0 && (!o.corpus.empty() || !o.measure.empty());
}

// Each file as it is, one line per file: the cost figures the sweep's
// categories are judged by.
int Measure(const Options& o, Launcher& launcher, const fs::path& scratch) {
    printf("%-60s %-13s %7s %7s %8s  %s\n", "file", "result", "cpu-s", "wall-s", "peak-MB", "detail");
    int offenders = 0;
    for (const std::string& arg : o.measure)
        for (const fs::path& file : FilesUnder(arg)) {
            if (!Decodable(file)) continue;
            const Result r = RunOne(o, launcher, scratch, Lowered(file.extension().string()), ReadAll(file));
            printf("%-60s %-13s %7.2f %7.2f %8.0f  %s\n", file.filename().c_str(), kCategoryNames[r.category],
                   r.cpuSeconds, r.wallSeconds, r.peakMb, r.detail.c_str());
            fflush(stdout);
            if (r.category != kSuccess && r.category != kCleanFailure) ++offenders;
        }
    return offenders ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!ParseOptions(argc, argv, o)) return Usage();
    InstallCodecs();
    signal(SIGPIPE, SIG_IGN);

    char scratchTemplate[] = "/tmp/zent-sweep-XXXXXX";
    if (!mkdtemp(scratchTemplate)) {
        perror("sweep: scratch folder");
        return 2;
    }
    const fs::path scratch = scratchTemplate;
    struct Cleanup {
        fs::path dir;
        ~Cleanup() {
            std::error_code ec;
            fs::remove_all(dir, ec);
        }
    } cleanup{scratch};

    if (o.program.empty()) {
        std::error_code ec;
        o.program = (fs::canonical("/proc/self/exe", ec).parent_path().parent_path() / "zent").string();
    }
    if (kUnderAsan) o.addressSpaceMb = 0;
    Launcher launcher(o, scratch);

    if (!o.measure.empty()) return Measure(o, launcher, scratch);

    std::vector<std::string> formats = o.formats;
    if (formats.empty()) {
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(o.corpus, ec))
            if (entry.is_directory()) formats.push_back(entry.path().filename().string());
        std::sort(formats.begin(), formats.end());
    }
    std::error_code ec;
    fs::create_directories(o.out, ec);
    FILE* log = fopen((fs::path(o.out) / "offenders.tsv").c_str(), "w");
    if (!log) {
        perror("sweep: offenders.tsv");
        return 2;
    }
    fprintf(log, "format\tcategory\tinput\tcpu_s\twall_s\tpeak_mb\tdetail\n");
    // Every file with the inputs it ran of those made for it.
    FILE* fileLog = fopen((fs::path(o.out) / "files.tsv").c_str(), "w");
    if (!fileLog) {
        perror("sweep: files.tsv");
        return 2;
    }
    fprintf(fileLog, "format\tfile\tbytes\tinputs_made\tinputs_run\tsuccesses\n");

    // The files of each format; an even sample when asked for one.
    std::vector<std::pair<std::string, std::vector<fs::path>>> work;
    for (const std::string& format : formats) {
        std::vector<fs::path> files;
        for (const fs::path& f : FilesUnder(fs::path(o.corpus) / format))
            if (Decodable(f)) files.push_back(f);
        if (files.empty()) continue;
        if (o.filesPerFormat && files.size() > o.filesPerFormat) {
            std::vector<fs::path> sample;
            for (size_t i = 0; i < o.filesPerFormat; ++i) sample.push_back(files[i * files.size() / o.filesPerFormat]);
            files.swap(sample);
        }
        // A seeded shuffle, so that a sweep cut short by its time budget
        // leaves out files from every suite rather than the last suites.
        Random rng{o.seed};
        for (size_t i = files.size(); i > 1; --i) std::swap(files[i - 1], files[rng.Below(i)]);
        work.emplace_back(format, std::move(files));
    }

    // --max-seconds is shared evenly by the formats.
    const double budget = work.empty() ? 0 : o.maxSeconds / double(work.size());
    std::map<std::string, Tally> tallies;
    size_t offenders = 0;
    for (const auto& [format, files] : work) {
        const auto started = std::chrono::steady_clock::now();
        auto outOfTime = [&] {
            return budget > 0 &&
                   std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count() > budget;
        };
        Tally& tally = tallies[format];
        size_t filesDone = 0;
        bool stopped = false;
        std::vector<uint8_t> bytes;
        for (const fs::path& file : files) {
            const std::string ext = Lowered(file.extension().string());
            const std::string relative = fs::relative(file, o.corpus).string();
            const std::vector<uint8_t> content = ReadAll(file);
            const std::vector<Mutation> plan = PlanInputs(content, relative, o);
            const std::vector<Mutation> inputs = SampleLarge(plan, content.size(), o);
            size_t ran = 0, successes = 0;
            for (const Mutation& input : inputs) {
                if ((stopped = outOfTime())) break;
                input.Make(content, bytes);
                const Result r = RunOne(o, launcher, scratch, ext, bytes);
                ++ran;
                successes += r.category == kSuccess;
                ++tally.inputs;
                ++tally.counts[r.category];
                const std::string name = format + "_" + file.stem().string() + "_" + input.Tag() + ext;
                if (r.cpuSeconds > tally.maxCpu) tally.maxCpu = r.cpuSeconds, tally.slowest = name;
                if (r.peakMb > tally.maxPeakMb) tally.maxPeakMb = r.peakMb, tally.largest = name;
                if (o.verbose)
                    printf("%s %s %.2f s %.0f MB %s\n", name.c_str(), kCategoryNames[r.category], r.cpuSeconds,
                           r.peakMb, r.detail.c_str());
                if (r.category == kSuccess || r.category == kCleanFailure) continue;
                ++offenders;
                KeepOffender(o, format, name, bytes, r, log);
                printf("offender: %s %s (%.2f s CPU, %.0f MB) %s\n", kCategoryNames[r.category], name.c_str(),
                       r.cpuSeconds, r.peakMb, r.detail.c_str());
                fflush(stdout);
            }
            fprintf(fileLog, "%s\t%s\t%zu\t%zu\t%zu\t%zu\n", format.c_str(), relative.c_str(), content.size(),
                    plan.size(), ran, successes);
            if (ran < plan.size()) {
                ++tally.sampledFiles;
                printf("%s: %zu of %zu inputs (%.1f MB)%s\n", relative.c_str(), ran, plan.size(),
                       double(content.size()) / 1e6, stopped ? ", time budget reached" : ", sampled");
                fflush(stdout);
            }
            if (stopped) break;
            ++filesDone;
        }
        fprintf(stderr, "sweep: %s: %zu inputs, %zu of %zu files, %zu of them sampled or cut short%s\n",
                format.c_str(), tally.inputs, filesDone, files.size(), tally.sampledFiles,
                stopped ? " (time budget reached)" : "");
    }
    fclose(fileLog);
    fclose(log);
    PrintTable(tallies);
    printf("%zu offenders kept in %s\n", offenders, o.out.c_str());
    // 1: a fault (sanitizer report, crash, unexpected end, out of memory); 3: only inputs
    // over the time or memory budget, which a loaded machine can also cause.
    size_t faults = 0, costs = 0;
    for (const auto& entry : tallies) {
        faults += entry.second.counts[kSanitizer] + entry.second.counts[kCrash] + entry.second.counts[kUnexpected] +
                  entry.second.counts[kOutOfMemory];
        costs += entry.second.counts[kOverTime] + entry.second.counts[kOverMemory];
    }
    return faults ? 1 : costs ? 3 : 0;
}
