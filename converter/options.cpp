#include "converter/options.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>

#include "converter/art_writer.h"
#include "image/zt_file.h"
#include "image/zt_image.h"

namespace {

constexpr int32_t kMaxSide = 65535;
constexpr int32_t kMaxZoom = 64;
constexpr int32_t kMaxJobs = 256;

// A whole decimal number from low to high, nothing else around it.
bool ParseNumber(const std::string& text, int32_t low, int32_t high, int32_t* value) {
    if (text.empty() || text.size() > 9) return false;
    int64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    if (v < low || v > high) return false;
    *value = int32_t(v);
    return true;
}

// The include writer's own rule decides; it announces a fallback on standard
// output, which is kept off the console while a name is only being judged.
bool AcceptedIdentifier(const std::string& name) {
    std::wstring wide;
    for (char c : name) wide += wchar_t(static_cast<unsigned char>(c));
    fflush(stdout);
    const int saved = dup(fileno(stdout));
#ifdef _WIN32
    const int sink = open("NUL", O_WRONLY);
#else
    const int sink = open("/dev/null", O_WRONLY);
#endif
    if (saved >= 0 && sink >= 0) dup2(sink, fileno(stdout));
    const std::string made = MakeArtIdentifier(wide.c_str());
    fflush(stdout);
    if (saved >= 0 && sink >= 0) dup2(saved, fileno(stdout));
    if (sink >= 0) close(sink);
    if (saved >= 0) close(saved);
    return made == name;
}

struct OptionSpec {
    const char* name;
    const char* value;  // nullptr for a flag
    const char* help;
};

const OptionSpec kOptions[] = {
    {"--width", "N", "scale the picture to N pixels wide, keeping its aspect ratio"},
    {"--height", "N", "scale the picture to N pixels high, keeping its aspect ratio"},
    {"--fit", "WxH", "scale the picture to the largest size within W x H, keeping its aspect ratio"},
    {"--frame", "N", "convert frame, page, icon entry or component N (0 is the first)"},
    {"--preview", "FILE.png", "also write a PNG of the art, one pixel per glyph"},
    {"--grid", nullptr, "draw thin lines between the 15 x 15 tiles in the preview"},
    {"--zoom", "K", "enlarge the preview K times (1 to 64, nearest neighbour)"},
    {"--output", "FILE", "write the include to FILE instead of <name>.inc (also -o FILE)"},
    {"--name", "IDENT", "name the array IDENT instead of deriving it from the file name"},
    {"--jobs", "N", "convert up to N pictures at once (default: one per core)"},
    {"--raw-preview", nullptr, "camera RAW files: convert the camera's embedded JPEG preview"},
    {"--help", nullptr, "show this help and exit"},
    {"--version", nullptr, "show the program's name and version and exit"},
};

const OptionSpec* FindOption(const std::string& name) {
    if (name == "-o") return &kOptions[7];
    for (const OptionSpec& o : kOptions)
        if (name == o.name) return &o;
    return nullptr;
}

// Sets the option's field from its value; false with the message on refusal.
bool Apply(const OptionSpec& spec, const std::string& value, ConverterOptions& o, std::string* error) {
    const std::string name = spec.name;
    int32_t n = 0;
    const auto refuse = [&](const std::string& why) {
        *error = name + ": " + why;
        return false;
    };
    if (name == "--width" || name == "--height") {
        if (!ParseNumber(value, 1, kMaxSide, &n))
            return refuse("needs a whole number from 1 to 65535, not '" + value + "'");
        if (o.boxWidth > 0) return refuse("cannot be combined with --fit");
        (name == "--width" ? o.width : o.height) = n;
    } else if (name == "--fit") {
        const size_t x = value.find_first_of("xX");
        int32_t h = 0;
        if (x == std::string::npos || !ParseNumber(value.substr(0, x), 1, kMaxSide, &n) ||
            !ParseNumber(value.substr(x + 1), 1, kMaxSide, &h))
            return refuse("needs a size WxH of whole numbers from 1 to 65535, not '" + value + "'");
        if (o.width > 0 || o.height > 0) return refuse("cannot be combined with --width or --height");
        o.boxWidth = n;
        o.boxHeight = h;
    } else if (name == "--frame") {
        if (!ParseNumber(value, 0, INT32_MAX, &n))
            return refuse("needs a whole number from 0 up, not '" + value + "'");
        o.frame = n;
    } else if (name == "--jobs") {
        if (!ParseNumber(value, 1, kMaxJobs, &n))
            return refuse("needs a whole number from 1 to " + std::to_string(kMaxJobs) + ", not '" + value + "'");
        o.jobs = n;
    } else if (name == "--zoom") {
        if (!ParseNumber(value, 1, kMaxZoom, &n))
            return refuse("needs a whole number from 1 to 64, not '" + value + "'");
        o.zoom = n;
    } else if (name == "--preview" || name == "--output") {
        if (value.empty()) return refuse("needs a file name");
        (name == "--preview" ? o.preview : o.output) = value;
    } else if (name == "--name") {
        if (value.empty() || !AcceptedIdentifier(value))
            return refuse("'" + value +
                          "' is not a usable Pawn name (lowercase letters, digits after the first "
                          "character and underscores, at most " +
                          std::to_string(kMaxIdentifier) + " characters, no reserved word)");
        o.name = value;
    }
    return true;
}

}  // namespace

const char* UsageLine() { return "usage: zent [options] [picture...]"; }

const char* VersionText() { return "Ombrel ZENT Converter v0.0"; }

std::string HelpText() {
    std::string text = std::string(UsageLine()) + "\n\n" +
                       "Converts pictures into Pawn art includes, each named after its picture. A "
                       "folder stands for\nthe pictures directly in it. Without a picture the program "
                       "asks for one. With several,\n--output and --preview name folders.\n\n";
    for (const OptionSpec& o : kOptions) {
        std::string left = std::string("  ") + o.name + (o.value ? std::string(" ") + o.value : "");
        if (left.size() < 22) left.resize(22, ' ');
        else left += "  ";
        text += left + o.help + "\n";
    }
    return text;
}

ParsedCommandLine ParseCommandLine(const std::vector<std::string>& args) {
    ParsedCommandLine parsed;
    ConverterOptions& o = parsed.options;
    bool optionsEnded = false;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const bool isOption = !optionsEnded && (arg.rfind("--", 0) == 0 || arg == "-o");
        if (!isOption) {
            o.pictures.push_back(arg);
            continue;
        }
        o.any = true;
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        // --name=value and --name value are both accepted.
        const size_t eq = arg.find('=');
        const std::string name = eq == std::string::npos ? arg : arg.substr(0, eq);
        const OptionSpec* spec = FindOption(name);
        if (!spec) {
            parsed.action = OptionsAction::Refused;
            parsed.error = "unknown option " + name;
            return parsed;
        }
        if (!spec->value) {
            if (eq != std::string::npos) {
                parsed.action = OptionsAction::Refused;
                parsed.error = name + ": takes no value";
                return parsed;
            }
            if (name == "--help") parsed.action = OptionsAction::Help;
            else if (name == "--version" && parsed.action != OptionsAction::Help)
                parsed.action = OptionsAction::Version;
            else if (name == "--grid") o.grid = true;
            else if (name == "--raw-preview") o.rawPreview = true;
            continue;
        }
        std::string value;
        if (eq != std::string::npos) {
            value = arg.substr(eq + 1);
        } else if (i + 1 < args.size()) {
            value = args[++i];
        } else {
            parsed.action = OptionsAction::Refused;
            parsed.error = std::string(spec->name) + ": missing " + spec->value;
            return parsed;
        }
        if (!Apply(*spec, value, o, &parsed.error)) {
            parsed.action = OptionsAction::Refused;
            return parsed;
        }
    }
    if (parsed.action == OptionsAction::Convert && (o.grid || o.zoom != 1) && o.preview.empty()) {
        parsed.action = OptionsAction::Refused;
        parsed.error = std::string(o.grid ? "--grid" : "--zoom") + ": needs --preview";
    }
    // Both sides given make a box, as --fit does.
    if (o.width > 0 && o.height > 0) {
        o.boxWidth = o.width;
        o.boxHeight = o.height;
        o.width = o.height = 0;
    }
    return parsed;
}

int ReportNonConversion(const ParsedCommandLine& parsed) {
    switch (parsed.action) {
        case OptionsAction::Help:
            fputs(HelpText().c_str(), stdout);
            return 0;
        case OptionsAction::Version:
            printf("%s\n", VersionText());
            return 0;
        default:
            fprintf(stderr, "zent: %s\n%s\n", parsed.error.c_str(), UsageLine());
            return 2;
    }
}

void SizingBox(const ConverterOptions& o, int32_t* boxWidth, int32_t* boxHeight) {
    // --width alone fits into a box as wide as asked and unlimited in height;
    // --height alone likewise.
    *boxWidth = o.boxWidth > 0 ? o.boxWidth : o.width;
    *boxHeight = o.boxWidth > 0 ? o.boxHeight : o.height;
}

void ScaledSize(const ConverterOptions& o, int32_t width, int32_t height, int32_t* outWidth,
                int32_t* outHeight) {
    int32_t bw = 0, bh = 0;
    SizingBox(o, &bw, &bh);
    int64_t nw = 0, nh = 0;
    FitWithinBox(width, height, bw, bh, &nw, &nh);
    // A very long, thin picture keeps at least one pixel, and stays inside the
    // largest side the options accept.
    *outWidth = int32_t(nw > kMaxSide ? kMaxSide : nw);
    *outHeight = int32_t(nh > kMaxSide ? kMaxSide : nh);
}

std::string SummaryLine(int32_t width, int32_t height, int32_t tilesAcross, int32_t tilesDown,
                        int64_t chunks, uint64_t includeBytes) {
    char size[32];
    if (includeBytes < 1024)
        snprintf(size, sizeof size, "%llu bytes", static_cast<unsigned long long>(includeBytes));
    else if (includeBytes < 1024 * 1024)
        snprintf(size, sizeof size, "%.1f KB", double(includeBytes) / 1024.0);
    else
        snprintf(size, sizeof size, "%.1f MB", double(includeBytes) / (1024.0 * 1024.0));
    char line[160];
    snprintf(line, sizeof line, "picture %d x %d, %d x %d tiles, %lld chunks, include %s", width, height,
             tilesAcross, tilesDown, static_cast<long long>(chunks), size);
    return line;
}

bool IncludeFacts(const std::string& path, int64_t* chunks, uint64_t* bytes) {
    // Binary, so the size counts the line ends as they are on disk.
    FILE* f = OpenFilePath(path.c_str(), "rb");
    if (!f) return false;
    // The first line declares the array: "new <name>[<chunks + 1>][] = {".
    char line[128] = {0};
    const bool read = fgets(line, sizeof line, f) != nullptr;
    const bool sized = fseek(f, 0, SEEK_END) == 0;
    const long size = sized ? ftell(f) : -1;
    fclose(f);
    const char* open = read ? strchr(line, '[') : nullptr;
    if (!open || size < 0) return false;
    *chunks = strtoll(open + 1, nullptr, 10) - 1;
    *bytes = uint64_t(size);
    return true;
}
