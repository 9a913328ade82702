// Small hostile files (../shared/hostile: a few changed bytes that once cost
// seconds and gigabytes) through the real console program under a 1 GiB
// address-space limit: each ends with exit 0 or with exit 1 and a message,
// never killed by the limit. Their time and memory are measured by
// scripts/sweep.sh --measure, not here.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "tests/test_support.h"

namespace {

namespace fs = std::filesystem;

constexpr rlim_t kAddressSpace = rlim_t(1) << 30;

struct LimitedRun {
    int status = 0;
    std::string out, err;
};

// The converter on path, inside dir, with the limit applied to it alone.
LimitedRun RunLimited(const std::string& dir, const std::string& path) {
    LimitedRun r;
    const pid_t pid = fork();
    if (pid == 0) {
        const int in = open("/dev/null", O_RDONLY);
        const int out = open((dir + "/.stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = open((dir + "/.stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || err < 0 || chdir(dir.c_str()) != 0) _exit(126);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        rlimit limit{kAddressSpace, kAddressSpace};
        setrlimit(RLIMIT_AS, &limit);
        execl(ZENT_BINARY, "zent", path.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    if (pid < 0 || waitpid(pid, &r.status, 0) != pid) r.status = -1;
    r.out = zt_test::ReadFileText(dir + "/.stdout");
    r.err = zt_test::ReadFileText(dir + "/.stderr");
    return r;
}

TEST(HostileFiles, EndWithAnExitStatusUnderOneGibibyte) {
#ifdef ZENT_TEST_ASAN
    GTEST_SKIP() << "address-space limits do not work under AddressSanitizer";
#endif
    std::error_code ec;
    if (!fs::is_directory(ZENT_HOSTILE_DIR, ec)) GTEST_SKIP() << "no " << ZENT_HOSTILE_DIR << " beside the checkout";
    const std::string dir = zt_test::MakeTempDir("hostile");
    ASSERT_FALSE(dir.empty());
    int files = 0;
    for (const auto& entry : fs::directory_iterator(ZENT_HOSTILE_DIR, ec)) {
        if (!entry.is_regular_file() || entry.path().extension() == ".md") continue;
        ++files;
        const std::string name = entry.path().filename().string();
        const LimitedRun r = RunLimited(dir, entry.path().string());
        ASSERT_TRUE(WIFEXITED(r.status)) << name << " killed by signal "
                                         << (WIFSIGNALED(r.status) ? strsignal(WTERMSIG(r.status)) : "?");
        const int code = WEXITSTATUS(r.status);
        EXPECT_TRUE(code == 0 || code == 1) << name << " exit " << code;
        if (code == 0) {
            EXPECT_NE(r.out.find("Done!"), std::string::npos) << name;
        } else {
            EXPECT_NE(r.err.find_first_not_of(" \n"), std::string::npos) << name << " failed without a message";
        }
        for (const auto& made : fs::directory_iterator(dir, ec))
            if (made.path().extension() == ".inc") fs::remove(made.path(), ec);
    }
    fs::remove_all(dir, ec);
    EXPECT_GT(files, 0);
}

}  // namespace
