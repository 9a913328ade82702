// The command-line options end to end: the real program run in a scratch
// folder, its include, preview PNG, messages and exit status checked.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "converter/convert.h"
#include "converter/driver.h"
#include "converter/options.h"
#include "converter/scale.h"
#include "image/zt_image.h"
#include "tests/test_support.h"

namespace {

namespace fs = std::filesystem;

using zt_test::RunResult;
const auto& Quote = zt_test::ShellQuote;

std::string Command(const std::vector<std::string>& args) {
    std::string cmd = Quote(ZENT_BINARY);
    for (const auto& a : args) cmd += " " + Quote(a);
    return cmd;
}

RunResult RunZent(const std::string& dir, const std::vector<std::string>& args,
                  const std::string& input = "") {
    const std::string in = dir + "/.stdin", out = dir + "/.stdout", err = dir + "/.stderr";
    zt_test::WriteFileBytes(in, std::vector<uint8_t>(input.begin(), input.end()));
    const std::string cmd = "cd " + Quote(dir) + " && " + Command(args) + " <" + Quote(in) + " >" +
                            Quote(out) + " 2>" + Quote(err);
    RunResult r;
    const int raw = system(cmd.c_str());
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = zt_test::ReadFileText(out);
    r.err = zt_test::ReadFileText(err);
    return r;
}

const char kBanner[] = "\nOmbrel ZENT Converter v0.0\n";
const char kUsage[] = "usage: zent [options] [picture...]\n";

// Colours 0xRRGGBB of a loaded picture, top line first.
std::vector<uint32_t> TopDownColours(const ZtImage& image) {
    std::vector<uint32_t> v;
    for (int32_t line = 0; line < image.Height(); ++line)
        for (int32_t x = 0; x < image.Width(); ++x) {
            const ZtQuad q = image.ColorAt(x, image.Height() - 1 - line, false);
            v.push_back(uint32_t(q.red) << 16 | uint32_t(q.green) << 8 | q.blue);
        }
    return v;
}

class Options : public testing::Test {
protected:
    void SetUp() override {
        dir = zt_test::MakeTempDir("options");
        ASSERT_FALSE(dir.empty());
        example = std::string(ZENT_SOURCE_DIR) + "/examples/zent.bmp";
        fs::copy_file(example, dir + "/pic.bmp");
        ASSERT_TRUE(source.LoadFromPath(example.c_str(), ImageFormat::Bmp));
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    bool LoadPng(ZtImage& image, const std::string& name) {
        return image.LoadFromPath((dir + "/" + name).c_str(), ImageFormat::Png);
    }
    std::string dir, example;
    ZtImage source;
};

TEST_F(Options, HelpAndVersionExitAtOnce) {
    RunResult r = RunZent(dir, {"--help"}, "never read\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, HelpText());
    EXPECT_EQ(r.out.rfind(kUsage, 0), 0u);
    for (const char* o : {"--width N", "--height N", "--fit WxH", "--frame N", "--preview FILE.png", "--grid",
                          "--zoom K", "--output FILE", "-o FILE", "--name IDENT", "--jobs N", "--raw-preview", "--help", "--version"})
        EXPECT_NE(r.out.find(o), std::string::npos) << o;
    EXPECT_EQ(r.err, "");

    r = RunZent(dir, {"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Ombrel ZENT Converter v0.0\n");
    EXPECT_EQ(r.err, "");
    // Help wins over anything after it, even a refused value.
    EXPECT_EQ(RunZent(dir, {"--help", "--version"}).out, HelpText());
    EXPECT_FALSE(fs::exists(dir + "/pic.inc"));
}

TEST_F(Options, RefusedCommandLines) {
    const std::string longName(kMaxIdentifier + 1, 'a');
    const struct {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"--bogus", "pic.bmp"}, "unknown option --bogus"},
        {{"--Width=3", "pic.bmp"}, "unknown option --Width"},
        {{"pic.bmp", "--width"}, "--width: missing N"},
        {{"--width", "abc", "pic.bmp"}, "--width: needs a whole number from 1 to 65535, not 'abc'"},
        {{"--height=0", "pic.bmp"}, "--height: needs a whole number from 1 to 65535, not '0'"},
        {{"--width", "65536", "pic.bmp"}, "--width: needs a whole number from 1 to 65535, not '65536'"},
        {{"--width", "+5", "pic.bmp"}, "--width: needs a whole number from 1 to 65535, not '+5'"},
        {{"--fit", "120", "pic.bmp"}, "--fit: needs a size WxH of whole numbers from 1 to 65535, not '120'"},
        {{"--fit", "0x9", "pic.bmp"}, "--fit: needs a size WxH of whole numbers from 1 to 65535, not '0x9'"},
        {{"--fit", "12x", "pic.bmp"}, "--fit: needs a size WxH of whole numbers from 1 to 65535, not '12x'"},
        {{"--width", "5", "--fit", "9x9", "pic.bmp"}, "--fit: cannot be combined with --width or --height"},
        {{"--fit", "9x9", "--height", "5", "pic.bmp"}, "--height: cannot be combined with --fit"},
        {{"--frame", "-1", "pic.bmp"}, "--frame: needs a whole number from 0 up, not '-1'"},
        {{"--frame", "99999999999", "pic.bmp"}, "--frame: needs a whole number from 0 up, not '99999999999'"},
        {{"--zoom", "65", "--preview", "p.png", "pic.bmp"}, "--zoom: needs a whole number from 1 to 64, not '65'"},
        {{"--preview=", "pic.bmp"}, "--preview: needs a file name"},
        {{"-o", "", "pic.bmp"}, "--output: needs a file name"},
        {{"--grid", "pic.bmp"}, "--grid: needs --preview"},
        {{"--zoom", "2", "pic.bmp"}, "--zoom: needs --preview"},
        {{"--grid=1", "pic.bmp"}, "--grid: takes no value"},
        {{"--raw-preview=1", "pic.bmp"}, "--raw-preview: takes no value"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        // The picture would have converted: no prompt, no banner, no include.
        const RunResult r = RunZent(dir, c.args, "pic.bmp\n");
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "zent: " + c.message + "\n" + kUsage);
        EXPECT_FALSE(fs::exists(dir + "/pic.inc"));
    }
    // Names the include writer would not keep as they are.
    for (const std::string& name : {std::string("Sky"), std::string("2sky"), std::string("my-sky"),
                                    std::string("my sky"), std::string(""), longName}) {
        SCOPED_TRACE(name);
        const RunResult r = RunZent(dir, {"--name", name, "pic.bmp"});
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "");  // the writer's fallback notice is not shown either
        EXPECT_EQ(r.err.rfind("zent: --name: '" + name + "' is not a usable Pawn name", 0), 0u) << r.err;
        EXPECT_NE(r.err.find(kUsage), std::string::npos);
        EXPECT_FALSE(fs::exists(dir + "/pic.inc"));
    }
}

TEST_F(Options, PictureAmongOptionsAndPromptOtherwise) {
    // Options do not count as arguments: the one other argument is the picture.
    RunResult r = RunZent(dir, {"--name", "sky", "pic.bmp"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, std::string(kBanner) + "Done!\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(zt_test::ReadFileText(dir + "/pic.inc"), ArtIncludeText(source, "sky"));

    // "--" ends the options, so a picture may begin with dashes.
    fs::copy_file(example, dir + "/--odd.bmp");
    r = RunZent(dir, {"--name=odd", "--", "--odd.bmp"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(zt_test::ReadFileText(dir + "/--odd.inc"), ArtIncludeText(source, "odd"));

    // No picture among the options: the usual prompt.
    fs::remove(dir + "/pic.inc");
    r = RunZent(dir, {"--name", "typed"}, "pic.bmp\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err,
              "\nImage in the arguments not found!!\n\nPlease Drag-and-Drop image NOW! (then press Enter)\n");
    EXPECT_EQ(zt_test::ReadFileText(dir + "/pic.inc"), ArtIncludeText(source, "typed"));
}

TEST_F(Options, OutputAndName) {
    fs::create_directory(dir + "/out");
    RunResult r = RunZent(dir, {"-o", "out/art.pwn", "pic.bmp"});
    EXPECT_EQ(r.status, 0) << r.err;
    // The identifier still comes from the picture's base name.
    EXPECT_EQ(zt_test::ReadFileText(dir + "/out/art.pwn"), ArtIncludeText(source, "pic"));
    EXPECT_FALSE(fs::exists(dir + "/pic.inc"));

    r = RunZent(dir, {"pic.bmp", "--output=" + dir + "/out/b.inc", "--name", "my_art_2"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(zt_test::ReadFileText(dir + "/out/b.inc"), ArtIncludeText(source, "my_art_2"));

    // A folder that does not exist: the include cannot be made.
    r = RunZent(dir, {"-o", "missing/x.inc", "pic.bmp"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("missing/x.inc"), std::string::npos) << r.err;
}

TEST_F(Options, SizingKeepsTheAspectRatio) {
    // The example is twice as wide as it is high.
    ASSERT_EQ(source.Width(), 2 * source.Height());
    const struct {
        std::vector<std::string> args;
        int width, height;
    } cases[] = {
        {{"--width", "40"}, 40, 20},     {{"--height", "7"}, 14, 7},    {{"--fit", "120x90"}, 120, 60},
        {{"--fit", "30X40"}, 30, 15},    {{"--fit", "100x10"}, 20, 10}, {{"--width", "1"}, 1, 1},
        {{"--width", "9", "--height", "9"}, 9, 5},
        {{"--width", "300"}, 300, 150},  // enlarging is allowed
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args[1]);
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"--preview", "p.png", "pic.bmp"});
        const RunResult r = RunZent(dir, args);
        ASSERT_EQ(r.status, 0) << r.err;
        ZtImage preview;
        ASSERT_TRUE(LoadPng(preview, "p.png"));
        EXPECT_EQ(preview.Width(), c.width);
        EXPECT_EQ(preview.Height(), c.height);
        // The include is that of the scaled picture.
        ZtImage scaled;
        ASSERT_TRUE(scaled.LoadFromPath(example.c_str(), ImageFormat::Bmp));
        std::string why;
        ASSERT_TRUE(ScaleImage(scaled, c.width, c.height, &why)) << why;
        EXPECT_EQ(zt_test::ReadFileText(dir + "/pic.inc"), ArtIncludeText(scaled, "pic"));
        EXPECT_EQ(TopDownColours(preview), TopDownColours(scaled));
    }
}

TEST(OptionsScale, AreaAverageOfBlocks) {
    // 4 x 2 to 2 x 1: each target pixel is the mean of a 2 x 2 block.
    ZtImage image;
    zt_test::MakeTrueColour(image, 4, 2,
                            {0x000000, 0x646464, 0xFF0000, 0xFF0000,  //
                             0x646464, 0x000000, 0x0000FF, 0x0000FF});
    std::string why;
    ASSERT_TRUE(ScaleImage(image, 2, 1, &why)) << why;
    EXPECT_EQ(TopDownColours(image), (std::vector<uint32_t>{0x323232, 0x800080}));

    // A palette picture is scaled as true colour.
    ZtImage palette;
    ASSERT_NE(palette.Create(2, 2, 8, ImageFormat::Bmp), nullptr);
    palette.SetPaletteEntry(0, 0, 0, 0, 0);
    palette.SetPaletteEntry(1, 200, 100, 0, 0);
    palette.SetIndexAt(0, 0, 1);
    palette.SetIndexAt(1, 1, 1);
    ASSERT_TRUE(ScaleImage(palette, 1, 1, &why)) << why;
    EXPECT_EQ(palette.BitsPerPixel(), 24u);
    EXPECT_EQ(TopDownColours(palette), (std::vector<uint32_t>{0x643200}));
}

TEST(OptionsScale, SizesRoundAndStayPositive) {
    ConverterOptions o;
    int32_t w = 0, h = 0;
    o.width = 100;
    ScaledSize(o, 3, 2, &w, &h);
    EXPECT_EQ(w, 100);
    EXPECT_EQ(h, 67);  // 66.67 rounded
    ScaledSize(o, 100000, 1, &w, &h);
    EXPECT_EQ(h, 1);  // a thin line keeps one pixel
    o = ConverterOptions{};
    o.boxWidth = 120;
    o.boxHeight = 90;
    ScaledSize(o, 6000, 4000, &w, &h);
    EXPECT_EQ(w, 120);
    EXPECT_EQ(h, 80);
    ScaledSize(o, 4000, 6000, &w, &h);
    EXPECT_EQ(w, 60);
    EXPECT_EQ(h, 90);
}

TEST_F(Options, PreviewShowsTheArtGlyphForGlyph) {
    RunResult r = RunZent(dir, {"--preview", "p.png", "pic.bmp"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, std::string(kBanner) + "Done!\n");
    EXPECT_EQ(zt_test::ReadFileText(dir + "/pic.inc"), ArtIncludeText(source, "pic"));
    ZtImage preview;
    ASSERT_TRUE(LoadPng(preview, "p.png"));
    EXPECT_EQ(TopDownColours(preview), TopDownColours(source));

    // Zoomed 3 times with a grey line between tiles: 3 w + (tiles across - 1) wide.
    r = RunZent(dir, {"--preview", "z.png", "--zoom", "3", "--grid", "pic.bmp"});
    ASSERT_EQ(r.status, 0) << r.err;
    ZtImage zoomed;
    ASSERT_TRUE(LoadPng(zoomed, "z.png"));
    const TileGrid grid = GridFor(source);
    ASSERT_EQ(zoomed.Width(), 3 * source.Width() + grid.across - 1);
    ASSERT_EQ(zoomed.Height(), 3 * source.Height() + grid.down - 1);
    const std::vector<uint32_t> art = TopDownColours(source), big = TopDownColours(zoomed);
    const auto at = [&](int x, int line) { return big[size_t(line) * size_t(zoomed.Width()) + size_t(x)]; };
    int mismatches = 0;
    for (int line = 0; line < source.Height(); ++line)
        for (int x = 0; x < source.Width(); ++x) {
            const int ox = 3 * x + x / 15, oy = 3 * line + line / 15;
            for (int d = 0; d < 9; ++d)
                mismatches += at(ox + d % 3, oy + d / 3) != art[size_t(line) * size_t(source.Width()) + size_t(x)];
        }
    EXPECT_EQ(mismatches, 0);
    ASSERT_GT(grid.across, 1);
    ASSERT_GT(grid.down, 1);
    EXPECT_EQ(at(45, 0), 0x808080u);
    EXPECT_EQ(at(0, 45), 0x808080u);

    // A preview that cannot be written is an error after the include is made.
    r = RunZent(dir, {"--preview", "nowhere/p.png", "pic.bmp"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "error writing nowhere/p.png: No such file or directory\n");
    EXPECT_TRUE(fs::exists(dir + "/pic.inc"));
}

TEST_F(Options, FramePicksTheFrameOrEntry) {
    const std::string data = std::string(ZENT_SOURCE_DIR) + "/tests/data/";
    const struct {
        std::string file;
        int frame;
        uint32_t colour;
    } cases[] = {{"two_frames.gif", 0, 0xFF0000}, {"two_frames.gif", 1, 0x0000FF},
                 {"two_entries.ico", 0, 0x00FF00}, {"two_entries.ico", 1, 0xFFFFFF},
                 {"two_pages.tif", 0, 0x00FF00},   {"two_pages.tif", 1, 0xFFFFFF}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file + " " + std::to_string(c.frame));
        const RunResult r = RunZent(dir, {"--frame", std::to_string(c.frame), "--preview", "f.png", data + c.file});
        ASSERT_EQ(r.status, 0) << r.err;
        ZtImage preview;
        ASSERT_TRUE(LoadPng(preview, "f.png"));
        for (uint32_t v : TopDownColours(preview)) ASSERT_EQ(v, c.colour);
    }
    // A frame past the last: the decoder's message (these two leave none) and status 1.
    for (const std::string file : {"two_frames.gif", "two_entries.ico"}) {
        const RunResult r = RunZent(dir, {"--frame", "2", data + file});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "error loading " + data + file + "\n");
    }
    RunResult page = RunZent(dir, {"--frame", "2", data + "two_pages.tif"});
    EXPECT_EQ(page.status, 1);
    EXPECT_EQ(page.err, "Error: page not present in TIFF file\nerror loading " + data + "two_pages.tif\n");
    // A one-component JPEG-2000 codestream: component 0 converts, 1 is refused with its message.
    RunResult r = RunZent(dir, {"--frame", "0", data + "grey.j2k"});
    EXPECT_EQ(r.status, 0) << r.err;
    r = RunZent(dir, {"--frame", "1", data + "grey.j2k"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "wrong frame!\nerror loading " + data + "grey.j2k\n");
}

TEST_F(Options, SummaryLineOnATerminal) {
    if (system("command -v script >/dev/null 2>&1") != 0) GTEST_SKIP() << "no script(1) to make a terminal";
    // script(1) gives the program a terminal; the key the wait asks for comes from the pipe.
    const std::string log = dir + "/.tty";
    const std::string cmd = "cd " + Quote(dir) + " && printf 'x\\n' | timeout 60 script -qec " +
                            Quote(Command({"--fit", "40x40", "pic.bmp"})) + " /dev/null >" + Quote(log);
    ASSERT_EQ(system(cmd.c_str()), 0);
    const std::string inc = zt_test::ReadFileText(dir + "/pic.inc");
    const long chunks = atol(inc.c_str() + inc.find('[') + 1) - 1;
    char expected[128];
    snprintf(expected, sizeof expected, "Done!\r\npicture 40 x 20, 3 x 2 tiles, %ld chunks, include %.1f KB\r\n",
             chunks, double(inc.size()) / 1024.0);
    EXPECT_NE(zt_test::ReadFileText(log).find(expected), std::string::npos) << zt_test::ReadFileText(log);
    // Not on a terminal: no summary (the other tests compare the whole output).
    EXPECT_EQ(SummaryLine(6000, 4000, 400, 267, 420000, 206u << 20),
              "picture 6000 x 4000, 400 x 267 tiles, 420000 chunks, include 206.0 MB");
    EXPECT_EQ(SummaryLine(1, 1, 1, 1, 1, 99), "picture 1 x 1, 1 x 1 tiles, 1 chunks, include 99 bytes");
}

// The 24-megapixel photo of scripts/reference/fit_reference.py, drawn with
// the same integer arithmetic: sky and sun, two ranges of hills, a house,
// fields with grain.
constexpr int kPhotoWidth = 6000, kPhotoHeight = 4000;

int Grain(uint32_t x, uint32_t y) {
    uint32_t h = (x * 2654435761u) ^ (y * 2246822519u);
    h ^= h >> 15;
    h *= 2654435761u;
    return int(h >> 24) % 33 - 16;
}

uint8_t Clamp(int v) { return uint8_t(v < 0 ? 0 : v > 255 ? 255 : v); }

void PhotoPixel(int x, int y, uint8_t rgb[3]) {
    const auto set = [&](int r, int g, int b) {
        rgb[0] = Clamp(r);
        rgb[1] = Clamp(g);
        rgb[2] = Clamp(b);
    };
    const int far = 2000 + 400 * std::abs((x % 2400) - 1200) / 1200;
    const int near = 2600 + 250 * std::abs(((x + 700) % 3000) - 1500) / 1500;
    const int dx = x - 4500, dy = y - 800;
    if (dx * dx + dy * dy < 420 * 420) return set(255, 228, 150);
    if (x >= 1500 && x < 2300 && y >= 2300 && y < 3000) {
        if (x >= 1800 && x < 2000 && y >= 2700) return set(70, 40, 20);
        return set(180, 40, 40);
    }
    if (y < far) return set(90 + 80 * y / 2000, 140 + 60 * y / 2000, 235 - 30 * y / 2000);
    if (y < near)
        return set(70 + Grain(x, y), 90 + Grain(y, x), 102 + (Grain(x, y) + 16) / 2);
    const int stripe = (x / 450 + y / 300) % 2 ? 35 : 0;
    const int g = Grain(x, y);
    set(60 + 60 * (y - near) / 1400 + g, 110 + stripe + g, 32 + (g + 16) / 2);
}

// Writes the photo as a 24-bit BMP; returns the FNV-1a 64 of its RGB bytes, top line first.
std::string WritePhotoBmp(const std::string& path) {
    const uint32_t rowBytes = kPhotoWidth * 3, imageBytes = rowBytes * kPhotoHeight;
    std::vector<uint8_t> file(54 + size_t(imageBytes));
    const auto put32 = [&](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i) file[at + i] = uint8_t(v >> (8 * i));
    };
    file[0] = 'B';
    file[1] = 'M';
    put32(2, uint32_t(file.size()));
    put32(10, 54);
    put32(14, 40);
    put32(18, kPhotoWidth);
    put32(22, kPhotoHeight);
    put32(26, 1 | 24 << 16);
    put32(34, imageBytes);
    uint64_t h = 14695981039346656037ull;  // FNV-1a 64 offset basis
    for (int y = 0; y < kPhotoHeight; ++y) {
        uint8_t* row = file.data() + 54 + size_t(kPhotoHeight - 1 - y) * rowBytes;
        for (int x = 0; x < kPhotoWidth; ++x) {
            uint8_t rgb[3];
            PhotoPixel(x, y, rgb);
            for (int c = 0; c < 3; ++c) h = (h ^ rgb[c]) * 1099511628211ull;
            row[3 * x] = rgb[2];
            row[3 * x + 1] = rgb[1];
            row[3 * x + 2] = rgb[0];
        }
    }
    if (!zt_test::WriteFileBytes(path, file)) return "";
    char hex[17];
    snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(h));
    return hex;
}

// A 24-megapixel photo fitted into 120 x 90 becomes 120 x 80 art that looks
// like the photo reduced by ImageMagick: the mean absolute difference of each
// channel stays under kPhotoThreshold levels of 255.
TEST_F(Options, BigPhotoFittedLooksLikeTheReducedPhoto) {
    constexpr double kPhotoThreshold = 2.0;
    const std::string data = std::string(ZENT_SOURCE_DIR) + "/tests/data/";
    const std::string recorded = zt_test::ReadFileText(data + "fit_photo_reference.tsv");
    ASSERT_EQ(WritePhotoBmp(dir + "/photo.bmp") + "\n", recorded.substr(recorded.find('\t') + 1))
        << "the photo drawn here is not the one the reference script drew";

    const RunResult r = RunZent(dir, {"--fit", "120x90", "--preview", "photo.png", "photo.bmp"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(zt_test::ReadFileText(dir + "/photo.inc").find("{ 8, 6, "), zt_test::ReadFileText(dir + "/photo.inc").find('\n') + 1);
    ZtImage preview;
    ASSERT_TRUE(LoadPng(preview, "photo.png"));
    ASSERT_EQ(preview.Width(), 120);
    ASSERT_EQ(preview.Height(), 80);

    // The reference: binary PPM, "P6\n120 80\n255\n" and RGB rows top first.
    const std::vector<uint8_t> ppm = zt_test::ReadFileBytes(data + "fit_photo_reference.ppm");
    const std::string head = "P6\n120 80\n255\n";
    ASSERT_EQ(ppm.size(), head.size() + 120 * 80 * 3);
    ASSERT_EQ(std::string(ppm.begin(), ppm.begin() + long(head.size())), head);
    const std::vector<uint32_t> art = TopDownColours(preview);
    double sum[3] = {0, 0, 0};
    for (size_t i = 0; i < art.size(); ++i)
        for (int c = 0; c < 3; ++c)
            sum[c] += std::abs(int((art[i] >> (16 - 8 * c)) & 0xFF) - int(ppm[head.size() + 3 * i + size_t(c)]));
    for (int c = 0; c < 3; ++c) {
        const double mad = sum[c] / double(art.size());
        EXPECT_LT(mad, kPhotoThreshold) << "channel " << c;
        RecordProperty("mad_channel_" + std::to_string(c), std::to_string(mad));
        printf("mean absolute difference, channel %d: %.3f\n", c, mad);
    }
    // Kept for a look when asked for (ZENT_KEEP_PREVIEW=folder).
    if (const char* keep = getenv("ZENT_KEEP_PREVIEW")) fs::copy_file(dir + "/photo.png", std::string(keep) + "/photo_fit_preview.png", fs::copy_options::overwrite_existing);
}

// --raw-preview reaches the RAW decoder: the real CR2's raw data decodes to
// 3504 x 2336, its embedded preview is 1728 x 1152 (116 x 77 tiles).
TEST_F(Options, RawPreviewConvertsTheCamerasPreview) {
    const std::string corpus = zt_test::CorpusDir();
    if (corpus.empty()) GTEST_SKIP() << "shared corpus not present";
    const RunResult r = RunZent(dir, {"--raw-preview", "-o", "cr2.inc", corpus + "/raw/real/IMG_5952.CR2"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");  // asked for: nothing to explain
    const std::string include = zt_test::ReadFileText(dir + "/cr2.inc");
    EXPECT_EQ(include.substr(include.find('\n') + 1, 10), "{ 116, 77,");
}

}  // namespace

namespace {

// A picture loaded the way the program loads it for sizing into box: with the
// box handed to the decoder (which may deliver it reduced) or without, then
// fitted into the box by averaging as the program does.
bool LoadFitted(const std::string& path, int32_t box, bool tellDecoder, ZtImage& image, bool* reduced) {
    if (tellDecoder) image.SetTargetBox(uint32_t(box), uint32_t(box));
    const uint32_t format = FormatIdFromExtension(LoweredExtension(path).c_str());
    if (!image.LoadFromPath(path.c_str(), format) || !image.HasPixels()) return false;
    *reduced = image.FullWidth() != uint32_t(image.Width());
    int64_t w = 0, h = 0;
    FitWithinBox(image.FullWidth(), image.FullHeight(), box, box, &w, &h);
    std::string why;
    return ScaleImage(image, int32_t(w), int32_t(h), &why);
}

// Decoders that reduce while decoding (libjpeg's DCT scaling, the RAW
// engine's half size) give fitted art close to the average of the full
// picture: the mean absolute difference of each channel stays under the
// same threshold as the fitted-photo test against ImageMagick.
TEST(Sizing, ReducedDecodesStayNearTheFullPictureAverage) {
    constexpr double kThreshold = 2.0;
    constexpr int32_t kBox = 64;
    const std::string corpus = zt_test::CorpusDir();
    if (corpus.empty()) GTEST_SKIP() << "no shared corpus beside this checkout";
    std::vector<std::string> paths = {corpus + "/raw/real/IMG_5952.CR2"};
    for (const auto& e : fs::recursive_directory_iterator(corpus + "/jpeg"))
        if (e.is_regular_file()) paths.push_back(e.path().string());
    int reducedCount = 0;
    for (const std::string& path : paths) {
        ZtImage full, fast;
        bool reduced = false;
        if (!LoadFitted(path, kBox, false, full, &reduced)) continue;  // broken files end as before
        EXPECT_FALSE(reduced) << path;
        ASSERT_TRUE(LoadFitted(path, kBox, true, fast, &reduced)) << path;
        // The CR2 is developed at half size: one pixel per 2 x 2 filter cell.
        if (path == paths.front()) {
            EXPECT_TRUE(reduced);
        }
        reducedCount += reduced;
        ASSERT_EQ(fast.Width(), full.Width()) << path;
        ASSERT_EQ(fast.Height(), full.Height()) << path;
        const std::vector<uint32_t> a = TopDownColours(full), b = TopDownColours(fast);
        for (int c = 0; c < 3; ++c) {
            double sum = 0;
            for (size_t i = 0; i < a.size(); ++i)
                sum += std::abs(int((a[i] >> (8 * c)) & 0xFF) - int((b[i] >> (8 * c)) & 0xFF));
            EXPECT_LT(sum / double(a.size()), kThreshold) << path << " channel " << c;
        }
    }
    // The real CR2 and most corpus JPEGs are larger than twice the box.
    EXPECT_GT(reducedCount, 20);
}

}  // namespace
