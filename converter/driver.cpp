#include "converter/driver.h"

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <cwchar>
#include <unistd.h>
#include <string>
#include <vector>

#include "codecs/adapters/raw.h"
#include "codecs/format_table.h"
#include "converter/art_writer.h"
#include "converter/convert.h"
#include "converter/options.h"
#include "converter/preview.h"
#include "converter/scale.h"
#include "image/image_format.h"
#include "image/zt_file.h"
#include "image/zt_image.h"
#include "platform/console.h"
#include "platform/replacing_file.h"

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
    // The identifier fallback draws the third number of this sequence.
    srand(static_cast<unsigned>(time(nullptr)));
    rand();
    rand();

    printf("%ls", L"\nOmbrel ZENT Converter v0.0\n");
    std::string path;
    if (opts.any ? opts.pictures.size() == 1 : args.size() == 2) {  // [options] picture among options
        path = opts.any ? opts.pictures[0] : args[1];
    } else {
        fprintf(stderr, "%ls", L"\nImage in the arguments not found!!\n");
        fprintf(stderr, "%ls", L"\nPlease Drag-and-Drop image NOW! (then press Enter)\n");
        fflush(stderr);
        path = CleanTypedPath(ReadInputLine());
    }

    // The path is opened exactly as given; only a copy of the extension is
    // lowered for the format lookup.
    const uint32_t formatId = FormatIdFromExtension(WidePath(LoweredExtension(path)).c_str());
    if (formatId == ImageFormat::Unknown) {
        fprintf(stderr, "unknown extension for %s\n", path.c_str());
        return Finish(1);
    }

    ZtImage image(ImageFormat::Unknown);
    if (opts.frame >= 0) image.SetFrameIndex(opts.frame);  // [options] --frame
    if (opts.rawPreview)  // [options] --raw-preview
        image.SetDecoderOption(image.DecoderOption(ImageFormat::CameraRaw) | ZtImageRAW::kOptionEmbeddedPreview,
                               ImageFormat::CameraRaw);
    // A load that reports success without pixels has nothing to convert.
    if (!image.LoadFromPath(path.c_str(), formatId) || !image.HasPixels()) {
        // A decoder that failed without a message leaves no empty line.
        if (image.LastError()[0] != '\0') fprintf(stderr, "%s\n", image.LastError());
        fprintf(stderr, "error loading %s\n", path.c_str());
        return Finish(1);
    }

    // [options] --width / --height / --fit, before the grid is measured
    if (opts.Scales()) {
        int32_t w = 0, h = 0;
        std::string why;
        ScaledSize(opts, image.Width(), image.Height(), &w, &h);
        if (!ScaleImage(image, w, h, &why)) {
            fprintf(stderr, "%s\n", why.c_str());
            return Finish(1);
        }
    }
    // [/options]
    const TileGrid grid = GridFor(image);
    const std::string base = BaseName(path);
    const std::string outName = opts.output.empty() ? base + ".inc" : opts.output;  // [options] --output
    // The include replaces an earlier one only once it is complete; until then
    // it grows in a temporary file beside it, removed on every failure.
    ReplacingFile file;
    const auto writeFailed = [&] {
        fprintf(stderr, "error writing %s: %s\n", outName.c_str(), file.Error().c_str());
        return Finish(1);
    };
    if (!file.Open(outName)) return writeFailed();
    // [options] --name was checked against the same rule when it was parsed
    const std::string identifier = opts.name.empty() ? MakeArtIdentifier(WidePath(base).c_str()) : opts.name;

    ArtOutput out([&file](const char* data, size_t size) { return file.Write(data, size); });
    switch (WriteImageArt(image, identifier, out)) {
        case WriteResult::Ok:
            if (!file.Commit()) return writeFailed();
            break;
        case WriteResult::OutputFailed:
            return writeFailed();
        case WriteResult::OutOfMemory:
            file.Abandon();
            fprintf(stderr, "not enough memory for %d x %d tiles\n", grid.across, grid.down);
            return Finish(1);
        case WriteResult::NoGlyphInWindow:
            file.Abandon();
            return Finish(255);
    }

    // [options] --preview
    if (!opts.preview.empty()) {
        std::string why;
        if (!WriteArtPreview(image, opts.preview, PreviewOptions{opts.zoom, opts.grid}, &why)) {
            fprintf(stderr, "error writing %s: %s\n", opts.preview.c_str(), why.c_str());
            return Finish(1);
        }
    }
    // [/options]
    printf("%ls", L"Done!\n");
    int64_t chunks = 0;  // [options] summary line
    uint64_t includeBytes = 0;
    if (isatty(fileno(stdout)) && IncludeFacts(outName, &chunks, &includeBytes))
        printf("%s\n", SummaryLine(image.Width(), image.Height(), grid.across, grid.down, chunks,
                                   includeBytes).c_str());
    return Finish(0);
}
