// Whole tile lines of 24-bit pixels encoded with vector instructions that not
// every x86-64 processor has: each encoder is compiled for its instruction
// set alone and chosen at run time by what the processor reports.
#include <cstring>

#include "converter/tile_text.h"

#if defined(__GNUC__) && defined(__x86_64__)
#define ZENT_LINE_ENCODERS 1
#include <immintrin.h>
#endif

namespace tile_text {

#if defined(ZENT_LINE_ENCODERS)

namespace {

// A pixel of a line: its code ("{RRGGBB}g" and anything after) goes down
// at n, and when it repeats the colour before it only its glyph letter is
// kept.
__attribute__((target("ssse3"), always_inline)) inline void PutShuffled(char* out, size_t& n, uint32_t& previous,
                                                                        uint32_t value, __m128i code) {
    const bool same = value == previous;
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + n), code);
    out[n] = same ? 'g' : '{';
    n += same ? 1 : 9;
    previous = value;
}

// Five pixels held in the low 15 bytes of v, read again from pixels for
// their values: each byte becomes two digits by a table look-up, the digits
// are put in byte order, and each pixel's six are picked out in red, green,
// blue order between its braces.
__attribute__((target("ssse3"), always_inline)) inline void PutFivePixels(char* out, size_t& n, uint32_t& previous,
                                                                          __m128i v, const uint8_t* pixels) {
    const __m128i digits = _mm_setr_epi8('0', '1', '2', '3', '4', '5', '6', '7', '8', '9', 'A', 'B', 'C', 'D', 'E', 'F');
    const __m128i low = _mm_set1_epi8(0x0F);
    const __m128i high = _mm_shuffle_epi8(digits, _mm_and_si128(_mm_srli_epi16(v, 4), low));
    const __m128i lowDigits = _mm_shuffle_epi8(digits, _mm_and_si128(v, low));
    const __m128i first = _mm_unpacklo_epi8(high, lowDigits);   // the digits of bytes 0 to 7
    const __m128i second = _mm_unpackhi_epi8(high, lowDigits);  // of bytes 8 to 15
    const __m128i middle = _mm_alignr_epi8(second, first, 12);  // of bytes 6 to 13
    // A pixel's digits from those of its first byte on (at 0, 6 or 8), with
    // room for the braces and the glyph letter, which the marks add.
    const __m128i from0 = _mm_setr_epi8(-1, 4, 5, 2, 3, 0, 1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
    const __m128i from6 = _mm_setr_epi8(-1, 10, 11, 8, 9, 6, 7, -1, -1, -1, -1, -1, -1, -1, -1, -1);
    const __m128i from8 = _mm_setr_epi8(-1, 12, 13, 10, 11, 8, 9, -1, -1, -1, -1, -1, -1, -1, -1, -1);
    const __m128i marks = _mm_setr_epi8('{', 0, 0, 0, 0, 0, 0, '}', 'g', 0, 0, 0, 0, 0, 0, 0);
    uint32_t value[5];
    for (int j = 0; j < 4; ++j) {
        memcpy(&value[j], pixels + 3 * j, 4);
        value[j] &= 0xFFFFFF;
    }
    memcpy(&value[4], pixels + 11, 4);  // from one byte earlier, so as not to pass the line's end
    value[4] >>= 8;
    PutShuffled(out, n, previous, value[0], _mm_or_si128(_mm_shuffle_epi8(first, from0), marks));
    PutShuffled(out, n, previous, value[1], _mm_or_si128(_mm_shuffle_epi8(first, from6), marks));
    PutShuffled(out, n, previous, value[2], _mm_or_si128(_mm_shuffle_epi8(middle, from0), marks));
    PutShuffled(out, n, previous, value[3], _mm_or_si128(_mm_shuffle_epi8(middle, from6), marks));
    PutShuffled(out, n, previous, value[4], _mm_or_si128(_mm_shuffle_epi8(second, from8), marks));
}

__attribute__((target("ssse3"))) size_t ShuffleLine(char* out, const uint8_t* line, uint32_t& previous) {
    size_t n = 0;
    PutFivePixels(out, n, previous, _mm_loadu_si128(reinterpret_cast<const __m128i*>(line)), line);
    PutFivePixels(out, n, previous, _mm_loadu_si128(reinterpret_cast<const __m128i*>(line + 15)), line + 15);
    // The last five from one byte earlier, moved down a byte.
    PutFivePixels(out, n, previous, _mm_srli_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(line + 29)), 1),
                  line + 30);
    return n;
}

// The whole line's text as if no pixel repeated, 15 codes of nine bytes in
// three vectors (bytes 0-63, 64-127, 128-134): each byte is a digit picked
// from the line's high or low digits, or a brace or glyph letter. And which
// of those bytes stay, by which pixels repeat.
struct CompressTables {
    uint8_t pick[3][64] = {};   // the digit each byte takes: 0-63 high, 64-127 low digits
    uint8_t marks[3][64] = {};  // the brace or letter a byte takes instead
    uint64_t marked[3] = {};    // the bytes that take a mark
    uint64_t keepFirst[256] = {};  // bytes 0-63 kept, by whether pixels 0-7 repeat (bit 0: pixel 0)
    uint64_t keepSecond[256] = {}; // bytes 64-127 kept, by whether pixels 7-14 repeat (bit 0: pixel 7)
    char digits[64] = {};     // the sixteen digits in each 16-byte lane
    uint8_t spread[64] = {};  // the line's bytes as fifteen 32-bit pixels
    uint64_t spreadBytes = 0; // the bytes of those that hold a pixel's byte (the others are zero)

    constexpr CompressTables() {
        for (int t = 0; t < 135; ++t) {
            const int c = t / 9, r = t % 9, part = t / 64, at = t % 64;
            // Offsets 1-6: red, green, blue (bytes 3c + 2, + 1, + 0), high digit first.
            if (r >= 1 && r <= 6) {
                const int byte = 3 * c + 2 - (r - 1) / 2;
                pick[part][at] = uint8_t((r % 2 == 1 ? 0 : 64) + byte);
            } else {
                marks[part][at] = uint8_t(r == 0 ? '{' : r == 7 ? '}' : 'g');
                marked[part] |= uint64_t(1) << at;
            }
        }
        for (int i = 0; i < 64; ++i) digits[i] = "0123456789ABCDEF"[i % 16];
        for (int c = 0; c < 15; ++c)
            for (int k = 0; k < 3; ++k) {
                spread[4 * c + k] = uint8_t(3 * c + k);
                spreadBytes |= uint64_t(1) << (4 * c + k);
            }
        for (int repeats = 0; repeats < 256; ++repeats) {
            keepFirst[repeats] = Keep(repeats, 0, 0);
            keepSecond[repeats] = Keep(repeats, 7, 64);
        }
    }

    // Of the bytes from..from + 63, those kept when the eight pixels from
    // firstPixel on repeat as the bits of repeats say: all nine of a new
    // colour, only the glyph letter of a repeated one.
    static constexpr uint64_t Keep(int repeats, int firstPixel, int from) {
        uint64_t keep = 0;
        for (int t = from; t < from + 64 && t < 135; ++t) {
            const int c = t / 9;
            if (c - firstPixel < 0 || c - firstPixel > 7) continue;
            const bool repeated = (repeats >> (c - firstPixel)) & 1;
            if (!repeated || t % 9 == 8) keep |= uint64_t(1) << (t - from);
        }
        return keep;
    }
};
constexpr CompressTables kCompress{};

#define ZENT_COMPRESS_TARGET "avx512f,avx512bw,avx512vbmi,avx512vbmi2,popcnt"

// Part (0-2) of a line's text goes down at n with only the bytes keep says.
__attribute__((target(ZENT_COMPRESS_TARGET), always_inline)) inline void PutCompressed(char* out, size_t& n, int part,
                                                                                       uint64_t keep, __m512i high,
                                                                                       __m512i lowDigits) {
    const __m512i pick = _mm512_loadu_si512(kCompress.pick[part]);
    const __m512i marks = _mm512_loadu_si512(kCompress.marks[part]);
    const __m512i text =
        _mm512_mask_blend_epi8(kCompress.marked[part], _mm512_permutex2var_epi8(high, pick, lowDigits), marks);
    _mm512_storeu_si512(out + n, _mm512_maskz_compress_epi8(keep, text));
    n += size_t(_mm_popcnt_u64(keep));
}

__attribute__((target(ZENT_COMPRESS_TARGET))) size_t CompressLine(char* out, const uint8_t* line,
                                                                   uint32_t& previous) {
    const __m512i v = _mm512_maskz_loadu_epi8((uint64_t(1) << 45) - 1, line);
    const __m512i digits = _mm512_loadu_si512(kCompress.digits);
    const __m512i low = _mm512_set1_epi8(0x0F);
    const __m512i high = _mm512_shuffle_epi8(digits, _mm512_and_si512(_mm512_srli_epi16(v, 4), low));
    const __m512i lowDigits = _mm512_shuffle_epi8(digits, _mm512_and_si512(v, low));

    // The pixels as 32-bit values (the fourth byte zero), each beside the one
    // before it (the first beside previous): which repeat.
    const __m512i pixels =
        _mm512_maskz_permutexvar_epi8(kCompress.spreadBytes, _mm512_loadu_si512(kCompress.spread), v);
    const __m512i before = _mm512_maskz_alignr_epi32(0xFFFF, pixels, _mm512_set1_epi32(int(previous)), 15);
    const unsigned repeats = unsigned(_mm512_cmpeq_epi32_mask(pixels, before)) & 0x7FFF;
    uint32_t last;
    memcpy(&last, line + 41, 4);
    previous = last >> 8;

    size_t n = 0;
    PutCompressed(out, n, 0, kCompress.keepFirst[repeats & 0xFF], high, lowDigits);
    PutCompressed(out, n, 1, kCompress.keepSecond[repeats >> 7], high, lowDigits);
    PutCompressed(out, n, 2, (repeats >> 14) ? 0x40 : 0x7F, high, lowDigits);
    return n;
}

}  // namespace

const WholeLineEncoder kShuffleLines = ShuffleLine;
const WholeLineEncoder kCompressLines = CompressLine;

WholeLineEncoder FastestWholeLineEncoder() {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vbmi") &&
        __builtin_cpu_supports("avx512vbmi2") && __builtin_cpu_supports("popcnt"))
        return CompressLine;
    if (__builtin_cpu_supports("ssse3")) return ShuffleLine;
    return nullptr;
}

#else

const WholeLineEncoder kShuffleLines = nullptr;
const WholeLineEncoder kCompressLines = nullptr;

WholeLineEncoder FastestWholeLineEncoder() { return nullptr; }

#endif

}  // namespace tile_text
