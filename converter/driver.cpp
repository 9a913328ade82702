#include "converter/driver.h"

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <cwchar>
#include <unistd.h>
#include <algorithm>
#include <filesystem>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "codecs/adapters/raw.h"
#include "codecs/format_table.h"
#include "converter/art_writer.h"
#include "converter/convert.h"
#include "converter/options.h"
#include "converter/overlap.h"
#include "converter/preview.h"
#include "converter/scale.h"
#include "image/image_format.h"
#include "image/zt_file.h"
#include "image/zt_image.h"
#include "platform/console.h"
#include "platform/replacing_file.h"
#include "platform/workers.h"

namespace {

int Finish(int status) {
    fflush(stdout);
    fflush(stderr);
    PauseForKey();
    return status;
}

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

}  // namespace

std::string CleanTypedPath(const std::string& line) {
    size_t b = 0, e = line.size();
    if (e > 0 && line[e - 1] == '\r') --e;
    while (b < e && IsSpace(line[b])) ++b;
    while (e > b && IsSpace(line[e - 1])) --e;
    if (e - b >= 2 && (line[b] == '"' || line[b] == '\'') && line[e - 1] == line[b]) {
        ++b;
        --e;
    }
    return line.substr(b, e - b);
}

std::string BaseName(const std::string& path) {
    const size_t sep = path.find_last_of("/\\");
    const std::string name = sep == std::string::npos ? path : path.substr(sep + 1);
    return name.substr(0, name.find('.'));
}

std::string LoweredExtension(const std::string& path) {
    const size_t dot = path.rfind('.');
    if (dot == std::string::npos) return std::string();
    std::string ext = path.substr(dot + 1);
    for (char& c : ext)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return ext;
}

namespace {

namespace fs = std::filesystem;

// One picture of a run and where its outputs go.
struct Picture {
    std::string path;
    std::string include;  // the include's path
    std::string preview;  // the preview's path, empty for none
    // When set, the include's bytes go here instead of to the file named
    // include (which then only names it in messages).
    std::string* bytes = nullptr;
};

// Converts one picture as the options say: load, sizing, include, preview.
// Messages go to standard output and error as they come. identifierDraw is
// the picture's place in the run's random sequence, from which a fallback
// array name draws its number (the third draw for the first picture, the
// next for each picture after it, whatever order they are converted in).
// terminal: whether the run's standard output is a terminal (a worker's is
// not, but its output ends up there). besideOthers: other conversions run at
// the same time, so the cores are busy already. Returns the exit status of a
// run of this one picture: 0, 1, or 255.
int ConvertPicture(const Picture& picture, const ConverterOptions& opts, unsigned seed, size_t identifierDraw,
                   bool batch, bool terminal, bool besideOthers = false) {
    const std::string& path = picture.path;
    // The path is opened exactly as given; only a copy of the extension is
    // lowered for the format lookup.
    const uint32_t formatId = FormatIdFromExtension(WidePath(LoweredExtension(path)).c_str());
    if (formatId == ImageFormat::Unknown) {
        fprintf(stderr, "unknown extension for %s\n", path.c_str());
        return 1;
    }

    // With a second core the picture's tiles are measured while it decodes,
    // and the include is written while its text is made. A build without
    // helper threads (the browser module) always takes the one-core path.
#ifdef ZENT_NO_THREADS
    const bool overlap = false;
#else
    const bool overlap = std::thread::hardware_concurrency() >= 2;
#endif
    ZtImage image(ImageFormat::Unknown);
    if (opts.frame >= 0) image.SetFrameIndex(opts.frame);  // [options] --frame
    if (opts.rawPreview)  // [options] --raw-preview
        image.SetDecoderOption(image.DecoderOption(ImageFormat::CameraRaw) | ZtImageRAW::kOptionEmbeddedPreview,
                               ImageFormat::CameraRaw);
    // [options] Sizing: a decoder may deliver a picture reduced towards the
    // art's size where it can do so cheaply (a JPEG's DCT scaling).
    int32_t boxWidth = 0, boxHeight = 0;
    SizingBox(opts, &boxWidth, &boxHeight);
    image.SetTargetBox(uint32_t(boxWidth), uint32_t(boxHeight));
    std::unique_ptr<TileRowMeasurer> measurer;
    if (overlap && !opts.Scales()) {
        measurer = std::make_unique<TileRowMeasurer>();
        image.SetRowObserver(measurer.get());
        // A second decoding thread only pays where a core would be idle.
        if (!besideOthers) image.SetDecodeThreads(2);
    }
    const bool loaded = image.LoadFromPath(path.c_str(), formatId);
    image.SetRowObserver(nullptr);
    // A load that reports success without pixels has nothing to convert.
    if (!loaded || !image.HasPixels()) {
        // A decoder that failed without a message leaves no empty line.
        if (image.LastError()[0] != '\0') fprintf(stderr, "%s\n", image.LastError());
        fprintf(stderr, "error loading %s\n", path.c_str());
        return 1;
    }

    // [options] --width / --height / --fit, before the grid is measured
    if (opts.Scales()) {
        int32_t w = 0, h = 0;
        std::string why;
        // The art's size follows from the picture's full size, whatever the
        // decoder delivered.
        ScaledSize(opts, int32_t(image.FullWidth()), int32_t(image.FullHeight()), &w, &h);
        if (!ScaleImage(image, w, h, &why)) {
            fprintf(stderr, "%s\n", why.c_str());
            return 1;
        }
    }
    // [/options]
    const TileGrid grid = GridFor(image);
    const std::string base = BaseName(path);
    const std::string& outName = picture.include;
    // The include replaces an earlier one only once it is complete; until then
    // it grows in a temporary file beside it, removed on every failure.
    ReplacingFile file;
    const auto writeFailed = [&] {
        fprintf(stderr, "error writing %s: %s\n", outName.c_str(),
                picture.bytes ? "not enough memory" : file.Error().c_str());
        return 1;
    };
    if (picture.bytes) picture.bytes->clear();
    else if (!file.Open(outName)) return writeFailed();
    // [options] --name was checked against the same rule when it was parsed
    srand(seed);
    for (size_t i = 0; i < identifierDraw; ++i) rand();
    const std::string identifier = opts.name.empty() ? MakeArtIdentifier(WidePath(base).c_str()) : opts.name;

    MeasuredTiles measured;
    if (measurer) measurer->TakeMeasured(image, measured);  // leaves measured empty when it failed
    measurer.reset();
    // A small include is written before a second thread would have started;
    // a large one's text is made by two.
    const bool twoThreads = overlap && int64_t(grid.Count()) * kTileSize * kTileSize >= TileRowMeasurer::kMinPixels;
    const auto sink = [&file, &picture](const char* data, size_t size) {
        if (!picture.bytes) return file.Write(data, size);
        try {
            picture.bytes->append(data, size);
        } catch (const std::bad_alloc&) {
            return false;
        }
        return true;
    };
    // The disk's room for a large include is asked for at once.
    if (!picture.bytes && !measured.counts.empty())
        file.Reserve(IncludeBytesAtMost(grid, measured.counts.data(), identifier.size()));
    ArtOutput out(sink);
    switch (WriteImageArt(image, identifier, out, &measured, twoThreads ? 2 : 1)) {
        case WriteResult::Ok:
            if (!picture.bytes && !file.Commit()) return writeFailed();
            break;
        case WriteResult::OutputFailed:
            return writeFailed();
        case WriteResult::OutOfMemory:
            file.Abandon();
            fprintf(stderr, "not enough memory for %d x %d tiles\n", grid.across, grid.down);
            return 1;
        case WriteResult::NoGlyphInWindow:
            file.Abandon();
            return 255;
    }

    // [options] --preview
    if (!picture.preview.empty()) {
        std::string why;
        if (!WriteArtPreview(image, picture.preview, PreviewOptions{opts.zoom, opts.grid}, &why)) {
            fprintf(stderr, "error writing %s: %s\n", picture.preview.c_str(), why.c_str());
            return 1;
        }
    }
    // [/options]
    if (batch)
        printf("Done! %s -> %s\n", path.c_str(), outName.c_str());
    else
        printf("%ls", L"Done!\n");
    int64_t chunks = 0;  // [options] summary line
    uint64_t includeBytes = 0;
    if (terminal && IncludeFacts(outName, &chunks, &includeBytes))
        printf("%s\n", SummaryLine(image.Width(), image.Height(), grid.across, grid.down, chunks,
                                   includeBytes).c_str());
    return 0;
}

}  // namespace

int ConvertPictureToMemory(const std::string& path, std::string* include, const std::string& preview,
                           const ConverterOptions& opts, unsigned seed) {
    return ConvertPicture(Picture{path, BaseName(path) + ".inc", preview, include}, opts, seed, 2, false, false);
}

namespace {

fs::path PathOf(const std::string& utf8) { return fs::u8path(utf8); }

bool IsFolder(const std::string& path) {
    std::error_code ec;
    return fs::is_directory(PathOf(path), ec);
}

// The pictures of a run: each argument as given, a folder replaced by the
// files directly in it whose extension the format table knows, in name order.
std::vector<std::string> ExpandFolders(const std::vector<std::string>& arguments) {
    std::vector<std::string> pictures;
    for (const std::string& argument : arguments) {
        if (!IsFolder(argument)) {
            pictures.push_back(argument);
            continue;
        }
        std::vector<std::string> inside;
        std::error_code ec;
        for (fs::directory_iterator it(PathOf(argument), ec), end; !ec && it != end; it.increment(ec)) {
            std::error_code typeError;
            if (!it->is_regular_file(typeError)) continue;
            const std::string path = it->path().u8string();
            if (FormatIdFromExtension(WidePath(LoweredExtension(it->path().filename().u8string())).c_str()) !=
                ImageFormat::Unknown)
                inside.push_back(path);
        }
        std::sort(inside.begin(), inside.end());
        pictures.insert(pictures.end(), inside.begin(), inside.end());
    }
    return pictures;
}

// The refusal of a command line, as for a refused option.
int Refuse(const std::string& why) {
    fprintf(stderr, "zent: %s\n%s\n", why.c_str(), UsageLine());
    return 2;
}

// Several pictures (or a folder): each into its own include, up to --jobs at
// a time, their messages printed together and in argument order.
int RunBatch(const ConverterOptions& opts, const std::vector<std::string>& arguments, unsigned seed) {
    if (!opts.name.empty()) return Refuse("--name: takes one picture, not several");
    if (!opts.output.empty() && !IsFolder(opts.output))
        return Refuse("--output: with several pictures it names an existing folder, not '" + opts.output + "'");
    if (!opts.preview.empty() && !IsFolder(opts.preview))
        return Refuse("--preview: with several pictures it names an existing folder, not '" + opts.preview + "'");
    std::vector<Picture> pictures;
    for (const std::string& path : ExpandFolders(arguments)) {
        const std::string base = BaseName(path);
        Picture p{path, base + ".inc", ""};
        if (!opts.output.empty()) p.include = (PathOf(opts.output) / PathOf(p.include)).u8string();
        if (!opts.preview.empty()) p.preview = (PathOf(opts.preview) / PathOf(base + ".png")).u8string();
        pictures.push_back(p);
    }
    // Two pictures that would write one include: nothing is written.
    for (size_t i = 0; i < pictures.size(); ++i)
        for (size_t j = 0; j < i; ++j)
            if (PathOf(pictures[i].include).lexically_normal() == PathOf(pictures[j].include).lexically_normal())
                return Refuse(pictures[j].path + " and " + pictures[i].path + " would both write " +
                              pictures[i].include);

    printf("%ls", L"\nOmbrel ZENT Converter v0.0\n");
    if (pictures.empty()) {
        fprintf(stderr, "no pictures found\n");
        return Finish(1);
    }
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    const size_t jobs = std::min<size_t>(pictures.size(), opts.jobs > 0 ? size_t(opts.jobs) : cores);
    // The fallback names of the pictures draw the third, fourth, ... numbers.
    const bool terminal = isatty(fileno(stdout));
    const auto convert = [&](size_t i, bool besideOthers) {
        return ConvertPicture(pictures[i], opts, seed, 2 + i, true, terminal, besideOthers);
    };
    size_t converted = 0;
    const auto done = [&](size_t i, const WorkerResult& r) {
        fputs(r.err.c_str(), stderr);
        if (r.signalled) fprintf(stderr, "error converting %s: the conversion ended abnormally\n", pictures[i].path.c_str());
        fflush(stderr);
        fputs(r.out.c_str(), stdout);
        fflush(stdout);
        converted += r.status == 0;
    };
    if (jobs < 2 || !WorkersAvailable() ||
        !RunInWorkers(pictures.size(), int(jobs), [&](size_t i) { return convert(i, true); }, done)) {
        for (size_t i = 0; i < pictures.size(); ++i) {
            const int status = convert(i, false);
            fflush(stderr);
            fflush(stdout);
            converted += status == 0;
        }
    }
    if (terminal) printf("%zu of %zu pictures converted\n", converted, pictures.size());
    return Finish(converted == pictures.size() ? 0 : 1);
}

}  // namespace

int RunConverter(int argc, char** argv) {
    // [options] Help, version and refused command lines end here, without a wait.
    // UTF-8 everywhere; on Windows read from the UTF-16 command line, so
    // option values and the picture keep names outside the code page.
    const std::vector<std::string> args = ProgramArguments(argc, argv);
    const ParsedCommandLine parsed = ParseCommandLine(args);
    if (parsed.action != OptionsAction::Convert) return ReportNonConversion(parsed);
    const ConverterOptions& opts = parsed.options;
    // [/options]
    InstallCodecs();
    setlocale(LC_ALL, "");
    PrepareConsole();
    // The identifier fallback draws from this sequence.
    const unsigned seed = static_cast<unsigned>(time(nullptr));

    // Several pictures, or a folder of them, make a batch.
    const std::vector<std::string> given = opts.any ? opts.pictures : std::vector<std::string>(args.begin() + 1, args.end());
    if (given.size() > 1 || (given.size() == 1 && IsFolder(given[0]))) return RunBatch(opts, given, seed);

    printf("%ls", L"\nOmbrel ZENT Converter v0.0\n");
    std::string path;
    if (given.size() == 1) {
        path = given[0];
    } else {
        fprintf(stderr, "%ls", L"\nImage in the arguments not found!!\n");
        fprintf(stderr, "%ls", L"\nPlease Drag-and-Drop image NOW! (then press Enter)\n");
        fflush(stderr);
        path = CleanTypedPath(ReadInputLine());
    }
    Picture picture{path, opts.output.empty() ? BaseName(path) + ".inc" : opts.output, opts.preview};  // [options] --output
    return Finish(ConvertPicture(picture, opts, seed, 2, false, isatty(fileno(stdout))));
}
