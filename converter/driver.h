// The console program: path from the one argument or from the prompt, load,
// tiles, include, "Done!". Every way out waits for a key (see PauseForKey).
#pragma once

#include <string>

struct ConverterOptions;

// Runs one conversion; returns the process exit status (0, 1, or 255 for the
// writer's emergency stop).
int RunConverter(int argc, char** argv);

// One picture converted exactly as the console program converts a single
// picture (path, options, random sequence seeded by seed), with its include
// kept in memory: its bytes replace *include, and no file is written but the
// preview PNG at preview (none when empty). The options' own output and
// preview paths are not used. Messages go to standard output and error as on
// the console. Returns 0, 1, or 255 like RunConverter; never waits for a key.
// The browser module's entry.
int ConvertPictureToMemory(const std::string& path, std::string* include, const std::string& preview,
                           const ConverterOptions& opts, unsigned seed);

// The path as typed or dropped at the prompt: a trailing carriage return,
// surrounding white space and one pair of matching surrounding quotes
// (double or single) are removed.
std::string CleanTypedPath(const std::string& line);

// The file name without its directory and without everything from its first
// dot on: C:\art\my.logo.png and /art/my.logo.png give "my".
std::string BaseName(const std::string& path);

// The characters after the last dot of the path (the directory part
// included), with ASCII letters lowered; empty without a dot.
std::string LoweredExtension(const std::string& path);
