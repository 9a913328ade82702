// The browser module's entry: the page's worker writes a picture into the
// module's in-memory file system and calls zent_web_convert, which converts it
// exactly as the console program converts one picture (the same option
// parsing, loader, sizing, include writer and preview), then reads the include
// and the preview back from the file system. Messages arrive through the
// module's standard output and error, as the console program prints them.
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
// console); include and preview: where the include and the preview PNG (one
// pixel per glyph) go, preview empty for none; options: console options, one
// argument per line. Only sizing, --frame, --raw-preview and --name apply;
// output places and preview looks are the caller's. Returns the console
// program's exit status for the picture: 0 converted, 1 a reported failure,
// 2 refused options.
extern "C" EMSCRIPTEN_KEEPALIVE int zent_web_convert(const char* picture, const char* include, const char* preview,
                                                      const char* options) {
    static const bool installed = [] {
        InstallCodecs();
        setlocale(LC_ALL, "");
        return true;
    }();
    (void)installed;
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
    const int status = ConvertPictureFile(picture, include, preview, opts, seed);
    fflush(stdout);
    fflush(stderr);
    return status;
}
