// The converter's command line: arguments that begin with "--" (and "-o")
// are options, the one other argument, when there is exactly one, is the
// picture. A call without options behaves exactly as the plain program.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

struct ConverterOptions {
    // Sizing, in pixels of the art; 0 where not given. --fit fills both box
    // fields; --width and --height together also make a box.
    int32_t width = 0;
    int32_t height = 0;
    int32_t boxWidth = 0;
    int32_t boxHeight = 0;
    // The frame, page, entry or component to load; -1 keeps the decoder's default.
    int32_t frame = -1;
    std::string preview;  // PNG path, empty for none
    bool grid = false;
    int32_t zoom = 1;
    std::string output;  // include path, empty for <base>.inc
    std::string name;    // array identifier, empty for the one from the base name
    // Pictures converted at once when there are several; 0: one per core.
    int32_t jobs = 0;
    bool rawPreview = false;  // camera RAW files: convert the camera's embedded preview
    // The arguments that are not options, in order.
    std::vector<std::string> pictures;
    bool any = false;  // at least one option was given

    bool Scales() const { return width > 0 || height > 0 || boxWidth > 0; }
};

enum class OptionsAction { Convert, Help, Version, Refused };

struct ParsedCommandLine {
    OptionsAction action = OptionsAction::Convert;
    ConverterOptions options;
    std::string error;  // one line naming the option, without line feed
};

// args: the program's arguments as ProgramArguments gives them, its name first.
ParsedCommandLine ParseCommandLine(const std::vector<std::string>& args);

// "usage: zent [options] [picture...]"
const char* UsageLine();
// Usage line and one line per option.
std::string HelpText();
// "Ombrel ZENT Converter v0.0"
const char* VersionText();

// What the command line asked for that does not convert: prints help,
// version or the refusal (message and usage on standard error) and returns
// the exit status (0, 0, 2). Not for OptionsAction::Convert.
int ReportNonConversion(const ParsedCommandLine& parsed);

// The box the sizing options fit the picture into (FitWithinBox: a side of 0
// sets no limit); 0 x 0 without sizing options.
void SizingBox(const ConverterOptions& options, int32_t* boxWidth, int32_t* boxHeight);

// The art's size for a picture of width x height under the options' sizing,
// aspect ratio kept, each side at least 1.
void ScaledSize(const ConverterOptions& options, int32_t width, int32_t height, int32_t* outWidth,
                int32_t* outHeight);

// "picture 120 x 80, 8 x 6 tiles, 48 chunks, include 23.4 KB"
std::string SummaryLine(int32_t width, int32_t height, int32_t tilesAcross, int32_t tilesDown,
                        int64_t chunks, uint64_t includeBytes);

// The chunk count and byte size of a written include, read back from it.
bool IncludeFacts(const std::string& path, int64_t* chunks, uint64_t* bytes);
