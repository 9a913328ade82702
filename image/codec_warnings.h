// One sink for the warnings of codec libraries (libpng, libjpeg, and those
// that follow). The console shows only the program's own messages, so the
// sink is quiet by default: warnings are counted, and echoed to a stream only
// when one is set (at most kMaxEchoedCodecWarnings lines per process).
#pragma once

#include <cstdint>
#include <cstdio>

constexpr uint64_t kMaxEchoedCodecWarnings = 100;

// Records one warning; library names the codec ("libpng").
void ReportCodecWarning(const char* library, const char* text);

// Warnings recorded since the process started.
uint64_t CodecWarningCount();

// Where warnings are echoed; null (the default) keeps them quiet.
void SetCodecWarningStream(FILE* stream);
