// The codec-library warning sink. The program runs on one thread, so plain
// counters serve.
#include "image/codec_warnings.h"

namespace {

uint64_t g_count = 0;
uint64_t g_echoed = 0;  // the cap counts echoed lines, not the quiet ones before a stream was set
FILE* g_echo = nullptr;

}  // namespace

void ReportCodecWarning(const char* library, const char* text) {
    ++g_count;
    if (g_echo && g_echoed < kMaxEchoedCodecWarnings) {
        ++g_echoed;
        fprintf(g_echo, "%s: %s\n", library ? library : "codec", text ? text : "");
    }
}

uint64_t CodecWarningCount() { return g_count; }

void SetCodecWarningStream(FILE* stream) { g_echo = stream; }
