// The console program end to end: the real executable, run in a scratch
// folder with its standard input, output and error captured.
#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "converter/convert.h"
#include "converter/driver.h"
#include "image/zt_image.h"
#include "platform/replacing_file.h"
#include "tests/test_support.h"

namespace {

namespace fs = std::filesystem;

using zt_test::RunResult;
const auto& Quote = zt_test::ShellQuote;

// Runs the converter in dir; its input and captured output live in captureDir
// (dir itself unless the test makes dir unwritable).
RunResult RunZent(const std::string& dir, const std::vector<std::string>& args, const std::string& input,
                  const std::string& captureDir = "") {
    const std::string cap = captureDir.empty() ? dir : captureDir;
    const std::string in = cap + "/.stdin", out = cap + "/.stdout", err = cap + "/.stderr";
    zt_test::WriteFileBytes(in, std::vector<uint8_t>(input.begin(), input.end()));
    std::string cmd = "cd " + Quote(dir) + " && " + Quote(ZENT_BINARY);
    for (const auto& a : args) cmd += " " + Quote(a);
    cmd += " <" + Quote(in) + " >" + Quote(out) + " 2>" + Quote(err);
    RunResult r;
    const int raw = system(cmd.c_str());
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = zt_test::ReadFileText(out);
    r.err = zt_test::ReadFileText(err);
    return r;
}

const char kBanner[] = "\nOmbrel ZENT Converter v0.0\n";
const char kPrompt[] =
    "\nImage in the arguments not found!!\n\nPlease Drag-and-Drop image NOW! (then press Enter)\n";

class Driver : public testing::Test {
protected:
    void SetUp() override {
        dir = zt_test::MakeTempDir("driver");
        ASSERT_FALSE(dir.empty());
        example = std::string(ZENT_SOURCE_DIR) + "/examples/zent.bmp";
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    void CopyExample(const std::string& name) { fs::copy_file(example, dir + "/" + name); }
    // The include the converter must write for the example, with this identifier.
    std::string ExpectedInclude(const std::string& identifier) {
        ZtImage img;
        EXPECT_TRUE(img.LoadFromPath(example.c_str(), ImageFormat::Bmp));
        return ArtIncludeText(img, identifier);
    }
    std::string dir, example;
};

TEST_F(Driver, ConvertsTheArgumentAndWritesTheInclude) {
    CopyExample("Sky.bmp");
    const RunResult r = RunZent(dir, {dir + "/Sky.bmp"}, "");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, std::string(kBanner) + "Done!\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(zt_test::ReadFileText(dir + "/Sky.inc"), ExpectedInclude("sky"));
}

TEST_F(Driver, UnknownExtensionAndEmptyPrompt) {
    RunResult r = RunZent(dir, {"notes.txt"}, "");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "unknown extension for notes.txt\n");
    EXPECT_EQ(r.out, kBanner);

    r = RunZent(dir, {}, "");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, std::string(kPrompt) + "unknown extension for \n");
}

TEST_F(Driver, DroppedPathInQuotes) {
    CopyExample("my pic.bmp");
    // A console adds quotes and a carriage return around a dropped path with a space.
    RunResult r = RunZent(dir, {}, "  \"" + dir + "/my pic.bmp\"\r\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, kPrompt);
    // The space rejects the identifier, so the fallback name is announced.
    EXPECT_NE(r.out.find("Pic name isn't good for pawn, using default name\n"), std::string::npos);
    const std::string inc = zt_test::ReadFileText(dir + "/my pic.inc");
    EXPECT_EQ(inc.rfind("new new_art_", 0), 0u);
}

TEST_F(Driver, LoadFailures) {
    zt_test::WriteFileBytes(dir + "/notes.bmp", std::vector<uint8_t>(100, 'a'));
    RunResult r = RunZent(dir, {"notes.bmp"}, "");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error reading BMP info\nerror loading notes.bmp\n");
    EXPECT_FALSE(fs::exists(dir + "/notes.inc"));

    // A file that cannot be opened leaves no message, and no empty line for it.
    r = RunZent(dir, {"missing.bmp"}, "");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "error loading missing.bmp\n");

    // An icon whose only entry is damaged PNG data loads no picture.
    // Directory of one entry at offset 22, then a PNG signature and a cut header.
    const std::vector<uint8_t> icon = {0, 0, 1, 0, 1, 0, 0, 0, 0, 0, 1, 0, 32, 0, 16, 0, 0, 0, 22, 0,
                                       0, 0, 0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 0, 0, 0,
                                       13, 'I', 'H', 'D', 'R'};
    zt_test::WriteFileBytes(dir + "/broken.ico", icon);
    r = RunZent(dir, {"broken.ico"}, "");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("error loading broken.ico\n"), std::string::npos);
    EXPECT_FALSE(fs::exists(dir + "/broken.inc"));
}

// The files in dir other than the captured streams.
std::vector<std::string> FilesIn(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) {
        const std::string name = e.path().filename().string();
        if (name != ".stdin" && name != ".stdout" && name != ".stderr") names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

TEST_F(Driver, FailedRunsKeepThePreviousInclude) {
    // A picture that fails to load never touches the include of an earlier run.
    zt_test::WriteFileBytes(dir + "/notes.bmp", std::vector<uint8_t>(100, 'a'));
    zt_test::WriteFileBytes(dir + "/notes.inc", {'o', 'l', 'd'});
    RunResult r = RunZent(dir, {"notes.bmp"}, "");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(zt_test::ReadFileText(dir + "/notes.inc"), "old");

    // A folder where the include should go: the finished text cannot replace it.
    CopyExample("pic.bmp");
    fs::create_directory(dir + "/pic.inc");
    r = RunZent(dir, {"pic.bmp"}, "");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "error writing pic.inc: Is a directory\n");
    EXPECT_EQ(r.out, kBanner);
    EXPECT_TRUE(fs::is_directory(dir + "/pic.inc"));
    // No temporary file is left behind.
    EXPECT_EQ(FilesIn(dir), (std::vector<std::string>{"notes.bmp", "notes.inc", "pic.bmp", "pic.inc"}));

    // A successful run replaces the earlier include whole.
    zt_test::WriteFileBytes(dir + "/sky.inc", {'o', 'l', 'd'});
    CopyExample("sky.bmp");
    r = RunZent(dir, {"sky.bmp"}, "");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(zt_test::ReadFileText(dir + "/sky.inc"), ExpectedInclude("sky"));
}

// Room asked for ahead of the writes never shows in the file: a committed
// file holds exactly what was written, reserved more or less than that, and
// an abandoned one leaves nothing.
TEST(ReplacingFile, ReservedRoomIsGivenBackOrRemoved) {
    const std::string dir = zt_test::MakeTempDir("reserve");
    ASSERT_FALSE(dir.empty());
    const std::string text(100000, 'x');
    for (const uint64_t reserved : {uint64_t(0), uint64_t(10), uint64_t(1) << 20}) {
        const std::string target = dir + "/out" + std::to_string(reserved) + ".inc";
        ReplacingFile file;
        ASSERT_TRUE(file.Open(target));
        file.Reserve(reserved);
        ASSERT_TRUE(file.Write(text.data(), text.size()));
        ASSERT_TRUE(file.Commit()) << file.Error();
        EXPECT_EQ(fs::file_size(target), text.size()) << reserved;
        EXPECT_EQ(zt_test::ReadFileText(target), text) << reserved;
    }
    ReplacingFile abandoned;
    ASSERT_TRUE(abandoned.Open(dir + "/gone.inc"));
    abandoned.Reserve(uint64_t(1) << 20);
    const std::string temp = abandoned.TemporaryName();
    abandoned.Abandon();
    EXPECT_FALSE(fs::exists(temp));
    EXPECT_FALSE(fs::exists(dir + "/gone.inc"));
    fs::remove_all(dir);
}

// A small tmpfs mounted for one test; needs root (skipped otherwise).
class SmallFileSystem {
public:
    explicit SmallFileSystem(const std::string& path) : path_(path) {
        fs::create_directory(path_);
        mounted_ = geteuid() == 0 && mount("tmpfs", path_.c_str(), "tmpfs", 0, "size=64k") == 0;
    }
    ~SmallFileSystem() {
        if (mounted_) umount(path_.c_str());
    }
    bool Mounted() const { return mounted_; }
    // Writes a file until the file system takes no more.
    void Fill() {
        FILE* f = fopen((path_ + "/filler").c_str(), "wb");
        ASSERT_NE(f, nullptr);
        const std::vector<char> block(512, 'f');
        while (fwrite(block.data(), 1, block.size(), f) == block.size() && fflush(f) == 0) {
        }
        fclose(f);
    }
    bool MakeReadOnly() {
        return mount("tmpfs", path_.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, "size=64k") == 0;
    }

private:
    std::string path_;
    bool mounted_ = false;
};

TEST_F(Driver, FullDiskGivesTheReasonAndKeepsThePreviousInclude) {
    const std::string target = dir + "/full";
    SmallFileSystem small(target);
    if (!small.Mounted()) GTEST_SKIP() << "needs root to mount a small tmpfs";
    CopyExample("sky.bmp");
    zt_test::WriteFileBytes(target + "/sky.inc", {'o', 'l', 'd'});
    small.Fill();
    const RunResult r = RunZent(target, {dir + "/sky.bmp"}, "", dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "error writing sky.inc: No space left on device\n");
    EXPECT_EQ(r.out, kBanner);
    EXPECT_EQ(zt_test::ReadFileText(target + "/sky.inc"), "old");
    EXPECT_EQ(FilesIn(target), (std::vector<std::string>{"filler", "sky.inc"}));
}

TEST_F(Driver, UnwritableFolderGivesTheReasonAndKeepsThePreviousInclude) {
    const std::string target = dir + "/locked";
    SmallFileSystem small(target);
    CopyExample("sky.bmp");
    zt_test::WriteFileBytes(target + "/sky.inc", {'o', 'l', 'd'});
    std::string reason;
    if (small.Mounted()) {
        ASSERT_TRUE(small.MakeReadOnly());
        reason = "Read-only file system";
    } else if (geteuid() != 0) {
        fs::permissions(target, fs::perms::owner_read | fs::perms::owner_exec);
        reason = "Permission denied";
    } else {
        GTEST_SKIP() << "root without mount: no folder is unwritable";
    }
    const RunResult r = RunZent(target, {dir + "/sky.bmp"}, "", dir);
    if (!small.Mounted()) fs::permissions(target, fs::perms::owner_all);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "error writing sky.inc: " + reason + "\n");
    EXPECT_EQ(zt_test::ReadFileText(target + "/sky.inc"), "old");
}

TEST_F(Driver, NamesAndExtensions) {
    // The upper-case extension is looked up lowered but the file is opened as named.
    CopyExample("Photo.BMP");
    RunResult r = RunZent(dir, {"Photo.BMP"}, "");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(zt_test::ReadFileText(dir + "/Photo.inc"), ExpectedInclude("photo"));

    // Several dots: the base name stops at the first; a wrong extension still
    // loads through the try-every-decoder pass.
    CopyExample("a.b.png");
    r = RunZent(dir, {"a.b.png"}, "");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(zt_test::ReadFileText(dir + "/a.inc"), ExpectedInclude("a"));

    // A leading digit keeps the file name but not the identifier.
    CopyExample("2pic.bmp");
    r = RunZent(dir, {"2pic.bmp"}, "");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, std::string(kBanner) + "Pic name isn't good for pawn, using default name\nDone!\n");
    const std::string inc = zt_test::ReadFileText(dir + "/2pic.inc");
    ASSERT_EQ(inc.rfind("new new_art_", 0), 0u);
    const int n = atoi(inc.c_str() + 12);
    EXPECT_GE(n, 0);
    EXPECT_LT(n, 10000);

    // A name the Pawn compiler refuses keeps its file name; the array falls back.
    // A picture named only by its extension writes ".inc".
    for (const std::string name : {"main", "new", ""}) {
        SCOPED_TRACE(name);
        CopyExample(name + ".bmp");
        r = RunZent(dir, {name + ".bmp"}, "");
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, std::string(kBanner) + "Pic name isn't good for pawn, using default name\nDone!\n");
        EXPECT_EQ(zt_test::ReadFileText(dir + "/" + name + ".inc").rfind("new new_art_", 0), 0u);
    }
}

TEST(DriverText, PathHelpers) {
    EXPECT_EQ(CleanTypedPath("  \"C:\\my pics\\a.png\"\r"), "C:\\my pics\\a.png");
    EXPECT_EQ(CleanTypedPath("'x.bmp'"), "x.bmp");
    EXPECT_EQ(CleanTypedPath("\"x.bmp'"), "\"x.bmp'");  // quotes must match
    EXPECT_EQ(CleanTypedPath("\""), "\"");
    EXPECT_EQ(CleanTypedPath(""), "");
    EXPECT_EQ(BaseName("C:\\art\\my.logo.png"), "my");
    EXPECT_EQ(BaseName("/art/my.dir/pic"), "pic");
    EXPECT_EQ(BaseName(".hidden.png"), "");
    EXPECT_EQ(LoweredExtension("Photo.JPG"), "jpg");
    EXPECT_EQ(LoweredExtension("/my.dir/pic"), "dir/pic");
    EXPECT_EQ(LoweredExtension("noext"), "");
}

}  // namespace

namespace {

// Every corpus bitmap, broken ones included, ends with status 0 or 1, never a
// crash; a failure always says what failed.
TEST(DriverCorpus, EveryBitmapEndsCleanly) {
    const std::string corpus = zt_test::CorpusDir();
    if (corpus.empty()) GTEST_SKIP() << "shared corpus not present; corpus run skipped";
    const std::string dir = zt_test::MakeTempDir("driver_corpus");
    int converted = 0, refused = 0;
    for (const auto& entry : fs::recursive_directory_iterator(corpus + "/bmp")) {
        if (!entry.is_regular_file()) continue;
        SCOPED_TRACE(entry.path().string());
        const RunResult r = RunZent(dir, {entry.path().string()}, "");
        ASSERT_TRUE(r.status == 0 || r.status == 1) << r.status;
        if (r.status == 0) {
            ++converted;
            EXPECT_NE(r.out.find("Done!\n"), std::string::npos);
        } else {
            ++refused;
            EXPECT_NE(r.err.find("error loading "), std::string::npos);
            EXPECT_NE(r.err.substr(0, r.err.find('\n')), "");
        }
    }
    EXPECT_GE(converted, 100);
    EXPECT_GE(refused, 15);
    std::error_code ec;
    fs::remove_all(dir, ec);
}

}  // namespace

namespace {

// Several pictures in one run: the program run on a folder of copies of the
// example and broken files, each include compared with a run of its picture
// alone.
class Batch : public Driver {
protected:
    // The include a run of this one picture writes (in a folder of its own).
    std::string AloneInclude(const std::string& picture, const std::vector<std::string>& options = {}) {
        const std::string alone = dir + "/alone";
        fs::create_directories(alone);
        std::vector<std::string> args = options;
        args.push_back(picture);
        const RunResult r = RunZent(alone, args, "");
        EXPECT_EQ(r.status, 0) << picture << ": " << r.err;
        const std::string text = zt_test::ReadFileText(alone + "/" + fs::path(picture).stem().string() + ".inc");
        fs::remove_all(alone);
        return text;
    }
    static std::vector<std::string> Sorted(std::vector<std::string> v) {
        std::sort(v.begin(), v.end());
        return v;
    }
};

TEST_F(Batch, GoodAndBrokenPicturesInArgumentOrder) {
    CopyExample("b.bmp");
    CopyExample("a.bmp");
    zt_test::WriteFileBytes(dir + "/bad.png", {'n', 'o', 't', ' ', 'a', ' ', 'p', 'n', 'g'});
    for (const char* jobs : {"1", "2"}) {
        SCOPED_TRACE(std::string("--jobs ") + jobs);
        const RunResult r = RunZent(dir, {"--jobs", jobs, "b.bmp", "bad.png", "what.xyz", "a.bmp"}, "");
        EXPECT_EQ(r.status, 1);
        // Each picture's messages together, in the order given.
        EXPECT_EQ(r.out, std::string(kBanner) + "Done! b.bmp -> b.inc\nDone! a.bmp -> a.inc\n");
        EXPECT_EQ(r.err.substr(r.err.find('\n') + 1), "error loading bad.png\nunknown extension for what.xyz\n");
        for (const char* name : {"a", "b"})
            EXPECT_EQ(zt_test::ReadFileText(dir + "/" + name + ".inc"), AloneInclude(dir + "/" + name + ".bmp"));
        EXPECT_FALSE(fs::exists(dir + "/bad.inc"));
    }
    // All converted: status 0.
    EXPECT_EQ(RunZent(dir, {"a.bmp", "b.bmp"}, "").status, 0);
}

TEST_F(Batch, FolderOutputAndPreviewFolders) {
    const std::string pictures = dir + "/pictures";
    fs::create_directories(pictures + "/deeper");
    fs::create_directories(dir + "/out");
    fs::create_directories(dir + "/previews");
    for (const char* name : {"pictures/z.bmp", "pictures/m.BMP", "pictures/notes.txt", "pictures/deeper/x.bmp"})
        CopyExample(name);
    const RunResult r =
        RunZent(dir, {"--fit", "20x20", "-o", "out", "--preview", "previews", "pictures"}, "");
    EXPECT_EQ(r.status, 0) << r.err;
    // Only the pictures directly in the folder, in name order.
    EXPECT_EQ(r.out, std::string(kBanner) + "Done! " + "pictures/m.BMP -> out/m.inc\nDone! pictures/z.bmp -> out/z.inc\n");
    EXPECT_EQ(Sorted(FilesIn(dir + "/out")), (std::vector<std::string>{"m.inc", "z.inc"}));
    EXPECT_EQ(Sorted(FilesIn(dir + "/previews")), (std::vector<std::string>{"m.png", "z.png"}));
    EXPECT_EQ(zt_test::ReadFileText(dir + "/out/z.inc"), AloneInclude(pictures + "/z.bmp", {"--fit", "20x20"}));
}

TEST_F(Batch, RefusedBeforeAnythingIsWritten) {
    CopyExample("a.bmp");
    CopyExample("b.bmp");
    zt_test::WriteFileBytes(dir + "/a.gif", {'G', 'I', 'F'});
    zt_test::WriteFileBytes(dir + "/file", {'x'});
    const struct {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"b.bmp", "a.bmp", "a.gif"}, "a.bmp and a.gif would both write a.inc"},
        {{"--name", "art", "a.bmp", "b.bmp"}, "--name: takes one picture, not several"},
        {{"-o", "file", "a.bmp", "b.bmp"}, "--output: with several pictures it names an existing folder, not 'file'"},
        {{"-o", "nowhere", "a.bmp", "b.bmp"}, "--output: with several pictures it names an existing folder, not 'nowhere'"},
        {{"--preview", "p.png", "a.bmp", "b.bmp"}, "--preview: with several pictures it names an existing folder, not 'p.png'"},
        {{"--jobs", "0", "a.bmp", "b.bmp"}, "--jobs: needs a whole number from 1 to 256, not '0'"},
    };
    for (const auto& c : cases) {
        const RunResult r = RunZent(dir, c.args, "");
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err, "zent: " + c.message + "\nusage: zent [options] [picture...]\n");
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(Sorted(FilesIn(dir)), (std::vector<std::string>{"a.bmp", "a.gif", "b.bmp", "file"}));
    }
}

// The includes do not depend on how many pictures convert at once.
TEST(BatchCorpus, OneJobAndTwoJobsWriteTheSameIncludes) {
    const std::string corpus = zt_test::CorpusDir();
    if (corpus.empty()) GTEST_SKIP() << "shared corpus not present; corpus run skipped";
    for (const char* folder : {"bmp/bmpsuite/g", "gif/pillow", "png/pngsuite"}) {
        if (!fs::is_directory(corpus + "/" + folder)) continue;
        std::string first;
        for (const char* jobs : {"1", "2"}) {
            const std::string out = zt_test::MakeTempDir("batch_jobs");
            const RunResult r = RunZent(out, {"--jobs", jobs, "-o", out, corpus + "/" + folder}, "");
            EXPECT_TRUE(r.status == 0 || r.status == 1) << r.status;
            // The messages name the output folder, which differs between the runs.
            std::string all = r.out + r.err;
            for (size_t at; (at = all.find(out)) != std::string::npos;) all.replace(at, out.size(), "OUT");
            for (const std::string& name : [&] { auto v = FilesIn(out); std::sort(v.begin(), v.end()); return v; }())
                if (name[0] != '.') all += name + "\n" + zt_test::ReadFileText(out + "/" + name);
            // Fallback array names, in the messages and the includes, draw from
            // a sequence seeded by the clock: the two runs may see different
            // seconds.
            for (size_t at = 0; (at = all.find("new_art_", at)) != std::string::npos;) {
                at += 8;
                while (at < all.size() && isdigit(static_cast<unsigned char>(all[at]))) all.erase(at, 1);
            }
            if (first.empty()) {
                first = all;
                EXPECT_GT(std::count(all.begin(), all.end(), '\n'), 100) << folder;
            } else {
                EXPECT_TRUE(all == first) << folder << ": --jobs 2 differs from --jobs 1";
            }
            std::error_code ec;
            fs::remove_all(out, ec);
        }
    }
}

}  // namespace
