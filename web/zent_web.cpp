// The browser module's entry: the page's worker writes a picture into the
// module's in-memory file system and calls zent_web_convert, which converts it
// exactly as the console program converts one picture (the same option
// parsing, loader, sizing, include writer and preview). The include stays in
// the module's memory, where the worker copies it from (zent_web_include_data
// and _size) before it releases it; the preview PNG is read back from the file
// system. Messages arrive through the module's standard output and error, as
// the console program prints them.
#include <emscripten/emscripten.h>

#include <clocale>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "codecs/format_table.h"
#include "converter/driver.h"
#include "converter/options.h"

namespace {

// The include of the last conversion, until zent_web_release.
std::string gInclude;

// The option arguments, one per line, as the console program takes them.
std::vector<std::string> SplitLines(const char* text) {
    std::vector<std::string> lines;
    std::string line;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p == '\n') {
            lines.push_back(line);
            line.clear();
        } else {
            line += *p;
        }
    }
    if (!line.empty()) lines.push_back(line);
    return lines;
}

}  // namespace

// picture: the picture's path (its name gives the array's name, as on the
// console); preview: where the preview PNG (one pixel per glyph) goes, empty
// for none; options: console options, one argument per line. Only sizing,
// --frame, --raw-preview and --name apply; output places and preview looks
// are the caller's. Returns the console program's exit status for the
// picture: 0 converted (the include waits in zent_web_include_data), 1 a
// reported failure, 2 refused options.
extern "C" EMSCRIPTEN_KEEPALIVE int zent_web_convert(const char* picture, const char* preview, const char* options) {
    static const bool installed = [] {
        InstallCodecs();
        setlocale(LC_ALL, "");
        return true;
    }();
    (void)installed;
    std::string().swap(gInclude);
    std::vector<std::string> args{"zent"};
    for (const std::string& option : SplitLines(options)) args.push_back(option);
    args.push_back("--");
    args.push_back(picture);
    ParsedCommandLine parsed = ParseCommandLine(args);
    if (parsed.action != OptionsAction::Convert) {
        if (parsed.action == OptionsAction::Refused) {
            fprintf(stderr, "%s\n", parsed.error.c_str());
            fflush(stderr);
        }
        return 2;
    }
    ConverterOptions& opts = parsed.options;
    // The page draws the preview itself, zoomed and with its own grid.
    opts.zoom = 1;
    opts.grid = false;
    // The fallback array name draws from this sequence, as on the console.
    const unsigned seed = static_cast<unsigned>(time(nullptr));
    const int status = ConvertPictureToMemory(picture, &gInclude, preview, opts, seed);
    fflush(stdout);
    fflush(stderr);
    return status;
}

// The include of the last conversion that succeeded.
extern "C" EMSCRIPTEN_KEEPALIVE const char* zent_web_include_data() { return gInclude.data(); }
extern "C" EMSCRIPTEN_KEEPALIVE size_t zent_web_include_size() { return gInclude.size(); }

// Gives the include's memory back.
extern "C" EMSCRIPTEN_KEEPALIVE void zent_web_release() { std::string().swap(gInclude); }
