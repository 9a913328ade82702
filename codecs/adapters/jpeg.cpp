// JPEG adapter over libjpeg's 6b API (ITU-T T.81 / ISO 10918-1, JFIF 1.02).
// libjpeg reports errors by calling error_exit, which must not return: ours
// long-jumps back into RunDecode. Everything that needs releasing (the
// decompressor, the source buffer) lives in a JpegDecodeState that Decode
// creates before the recovery point, so the jump skips no destructor.
#include "codecs/adapters/jpeg.h"

#include <csetjmp>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>

extern "C" {
#include <jerror.h>
#include <jpeglib.h>
}

#include "image/checked_math.h"
#include "image/codec_warnings.h"
#include "image/decode_outcome.h"
#include "image/zt_file.h"

// libjpeg-turbo skips rows with their entropy decoding only, so a second
// decompressor can start on a picture's lower part at once.
#if !defined(ZENT_NO_THREADS) && defined(LIBJPEG_TURBO_VERSION_NUMBER) && LIBJPEG_TURBO_VERSION_NUMBER >= 2000000
#define ZENT_JPEG_SPLIT_DECODE 1
#include <atomic>
#include <system_error>
#include <thread>
#endif

namespace {

constexpr size_t kSourceBufferSize = 4096;
#if defined(ZENT_JPEG_SPLIT_DECODE)
// Pictures from this size on have their lower part decoded on a second
// thread (when the caller allows one), from this share of the rows on: the
// second decompressor entropy-decodes the rows above it too, which is about
// half the work of a row in a photograph.
constexpr uint64_t kSplitMinimumPixels = uint64_t(1) << 20;
constexpr uint64_t kUpperShareInThousandths = 590;
#endif
// libjpeg's own pools (strip buffers, and the whole-image coefficient arrays
// of a progressive file) may not grow past this; beyond it libjpeg fails with
// its "backing store" error instead of asking the system for gigabytes.
constexpr long kLibjpegMemoryLimit = 1L << 30;

// The largest resolution the info header's pels-per-metre field can carry
// (dpi * 10000 / 254 must fit 32 bits).
constexpr int32_t kMaxDpi = 54546084;

// A dots-per-inch value from a floating-point computation, truncated toward
// zero; values beyond kMaxDpi (a tiny unit factor, a huge resolution) are
// capped there, and NaN and negative values become 0, which the setters turn
// into 96.
int32_t DpiFromDouble(double v) {
    if (std::isnan(v) || v <= 0.0) return 0;
    if (v >= double(kMaxDpi)) return kMaxDpi;
    return static_cast<int32_t>(v);
}

}  // namespace

// Feeds libjpeg from a ZtFile, 4096 bytes at a time. The source never
// suspends: at the end of the stream it supplies an EOI marker.
struct ZtJpegSource : jpeg_source_mgr {
    explicit ZtJpegSource(ZtFile* s);
    ZtFile* stream;
    ZtBytes buffer;
    bool startOfFile = true;
};

// libjpeg's error manager, the recovery point of the running decode and the
// text that receives the message (the image's lastError).
struct ZtJpegErrorManager : jpeg_error_mgr {
    jmp_buf recovery;
    char* text = nullptr;
};

#if defined(ZENT_JPEG_SPLIT_DECODE)
// The lower part of a picture, decoded on a second thread by a decompressor
// of its own over the same bytes: it skips the rows above (libjpeg-turbo then
// only entropy-decodes them) and writes its rows straight into the image. Its
// rows count only when it met no warning and no error: they are then the very
// rows the first decompressor would have given, which otherwise goes on
// through them itself.
class LowerPartDecoder {
public:
    // Starts decoding rows [firstRow, the end) of the picture whose header
    // like has read, with like's settings, into image's rows (which stay
    // where they are); false when no thread could start.
    bool Start(const jpeg_decompress_struct& like, const uint8_t* bytes, size_t size, JDIMENSION firstRow,
               const ZtImage& image);
    // Waits for the decode; true when its rows count.
    bool Finish();
    // Stops the decode at its next row and waits for it.
    ~LowerPartDecoder() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }

private:
    // On the second thread; only trivially destructible locals, as libjpeg's
    // error exit jumps back to its recovery point.
    void Run();

    // The settings that shape the output rows, and the rows expected, as the
    // first decompressor has them.
    struct Settings {
        J_COLOR_SPACE colourSpace;
        unsigned int scaleNum, scaleDenom;
        J_DCT_METHOD dctMethod;
        boolean fancyUpsampling, blockSmoothing;
        JDIMENSION width, height;
        int components;
    };

    jpeg_decompress_struct cinfo_{};
    ZtJpegErrorManager errors_{};
    Settings like_{};
    const uint8_t* bytes_ = nullptr;
    size_t size_ = 0;
    JDIMENSION firstRow_ = 0;
    const ZtImage* image_ = nullptr;
    std::atomic<bool> stop_{false};
    bool whole_ = false;  // every row decoded, without a warning
    std::thread thread_;
};
#endif

// Everything one decode owns; created by Decode before the recovery point.
struct JpegDecodeState {
    JpegDecodeState(ZtFile* stream, char* text);
    ~JpegDecodeState() { Release(); }
    JpegDecodeState(const JpegDecodeState&) = delete;
    JpegDecodeState& operator=(const JpegDecodeState&) = delete;
    // Safe to call more than once.
    void Release();

    jpeg_decompress_struct cinfo;
    ZtJpegErrorManager errors;
    ZtJpegSource source;
    bool created = false;
#if defined(ZENT_JPEG_SPLIT_DECODE)
    // The stream's bytes seen whole, for the decoder of the lower part,
    // which ends before them.
    ZtFileView view;
    size_t viewStart = 0;
    std::unique_ptr<LowerPartDecoder> lower;
#endif
};

namespace {

void InitSource(j_decompress_ptr cinfo) { static_cast<ZtJpegSource*>(cinfo->src)->startOfFile = true; }

boolean FillInput(j_decompress_ptr cinfo) {
    ZtJpegSource* src = static_cast<ZtJpegSource*>(cinfo->src);
    size_t count = src->stream->ReadBlocks(src->buffer.get(), 1, kSourceBufferSize);
    if (count == 0) {
        if (src->startOfFile) ERREXIT(cinfo, JERR_INPUT_EMPTY);
        // A file cut short: end it with an EOI marker so libjpeg finishes the
        // picture with what it has (its own end-of-data handling).
        WARNMS(cinfo, JWRN_JPEG_EOF);
        src->buffer[0] = 0xFF;
        src->buffer[1] = JPEG_EOI;
        count = 2;
    }
    src->next_input_byte = src->buffer.get();
    src->bytes_in_buffer = count;
    src->startOfFile = false;
    return TRUE;
}

void SkipInput(j_decompress_ptr cinfo, long count) {
    if (count <= 0) return;
    ZtJpegSource* src = static_cast<ZtJpegSource*>(cinfo->src);
    // Each fill brings at least two bytes, so this ends.
    while (count > static_cast<long>(src->bytes_in_buffer)) {
        count -= static_cast<long>(src->bytes_in_buffer);
        FillInput(cinfo);
    }
    src->next_input_byte += count;
    src->bytes_in_buffer -= static_cast<size_t>(count);
}

void TermSource(j_decompress_ptr) {}

void ErrorExit(j_common_ptr cinfo) {
    ZtJpegErrorManager* err = static_cast<ZtJpegErrorManager*>(cinfo->err);
    char message[JMSG_LENGTH_MAX];
    (*err->format_message)(cinfo, message);
    if (err->text) snprintf(err->text, 256, "%s", message);
    longjmp(err->recovery, 1);
}

// libjpeg's warnings and trace messages ("Premature end of JPEG file") go to
// the codec warning sink; its default would print them on the console.
void OutputMessage(j_common_ptr cinfo) {
    char message[JMSG_LENGTH_MAX];
    (*cinfo->err->format_message)(cinfo, message);
    ReportCodecWarning("libjpeg", message);
}

// Gives cinfo the error manager errors: errors exit to its recovery point
// with their text in text (when given), messages go to output.
void AttachErrors(jpeg_decompress_struct& cinfo, ZtJpegErrorManager& errors, void (*output)(j_common_ptr),
                  char* text) {
    jpeg_std_error(&errors);
    errors.error_exit = ErrorExit;
    errors.output_message = output;
    errors.text = text;
    cinfo.err = &errors;
}

}  // namespace

ZtJpegSource::ZtJpegSource(ZtFile* s) : jpeg_source_mgr{}, stream(s) {
    init_source = InitSource;
    fill_input_buffer = FillInput;
    skip_input_data = SkipInput;
    resync_to_restart = jpeg_resync_to_restart;
    term_source = TermSource;
    next_input_byte = nullptr;
    bytes_in_buffer = 0;
    buffer = AllocateBytes(kSourceBufferSize, false);
}

JpegDecodeState::JpegDecodeState(ZtFile* stream, char* text) : cinfo{}, errors{}, source(stream) {
    AttachErrors(cinfo, errors, OutputMessage, text);
}

void JpegDecodeState::Release() {
#if defined(ZENT_JPEG_SPLIT_DECODE)
    lower.reset();
    view.Release();
#endif
    if (created) {
        jpeg_destroy_decompress(&cinfo);
        created = false;
    }
    source.buffer.reset();
}

#if defined(ZENT_JPEG_SPLIT_DECODE)
namespace {

// The second decompressor's warnings are only counted.
void SilentMessage(j_common_ptr) {}

}  // namespace

bool LowerPartDecoder::Start(const jpeg_decompress_struct& like, const uint8_t* bytes, size_t size,
                             JDIMENSION firstRow, const ZtImage& image) {
    like_ = Settings{like.out_color_space, like.scale_num, like.scale_denom, like.dct_method,
                     like.do_fancy_upsampling, like.do_block_smoothing, like.output_width, like.output_height,
                     like.output_components};
    bytes_ = bytes;
    size_ = size;
    firstRow_ = firstRow;
    image_ = &image;
    try {
        thread_ = std::thread([this] { Run(); });
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

bool LowerPartDecoder::Finish() {
    if (thread_.joinable()) thread_.join();
    return whole_;
}

void LowerPartDecoder::Run() {
    AttachErrors(cinfo_, errors_, SilentMessage, nullptr);
    if (setjmp(errors_.recovery)) {
        jpeg_destroy_decompress(&cinfo_);
        return;
    }
    jpeg_create_decompress(&cinfo_);
    cinfo_.mem->max_memory_to_use = kLibjpegMemoryLimit;
    jpeg_mem_src(&cinfo_, bytes_, static_cast<unsigned long>(size_));
    jpeg_read_header(&cinfo_, TRUE);
    cinfo_.out_color_space = like_.colourSpace;
    cinfo_.scale_num = like_.scaleNum;
    cinfo_.scale_denom = like_.scaleDenom;
    cinfo_.dct_method = like_.dctMethod;
    cinfo_.do_fancy_upsampling = like_.fancyUpsampling;
    cinfo_.do_block_smoothing = like_.blockSmoothing;
    jpeg_start_decompress(&cinfo_);
    const JDIMENSION height = cinfo_.output_height;
    bool same = cinfo_.output_width == like_.width && height == like_.height &&
                cinfo_.output_components == like_.components && firstRow_ < height;
    if (same && jpeg_skip_scanlines(&cinfo_, firstRow_) != firstRow_) same = false;
    while (same && cinfo_.output_scanline < height && !stop_) {
        // The first scanline is the top of the picture: the last storage row.
        JSAMPROW row = image_->RowBits(height - 1 - cinfo_.output_scanline);
        if (jpeg_read_scanlines(&cinfo_, &row, 1) != 1) same = false;
    }
    if (same && !stop_) {
        jpeg_finish_decompress(&cinfo_);
        whole_ = errors_.num_warnings == 0;
    }
    jpeg_destroy_decompress(&cinfo_);
}
#endif

ZtImageJPG::ZtImageJPG() : ZtImage(ImageFormat::Jpeg), exif{}, ditherMode(JDITHER_FS) {}

ZtImageJPG::~ZtImageJPG() { exifReader.reset(); }

bool ZtImageJPG::LoadExif(ZtFile* stream) {
    // A fresh record for every scan, so nothing (least of all a thumbnail
    // pointer into the previous reader's sections) outlives its reader.
    exifReader.reset();
    exif = ExifRecord{};
    if (!stream) return false;
    exifReader.reset(new (std::nothrow) ZtExifReader(&exif));
    if (!exifReader) return false;
    const int32_t start = stream->Position();
    exifReader->ScanSections(stream, ZtExifReader::kReadExif);
    stream->SeekTo(start, 0);
    return exif.isExif;
}

bool ZtImageJPG::Decode(ZtFile* stream) {
    if (!stream) return false;
    const bool haveExif = LoadExif(stream);
    JpegDecodeState state(stream, lastError);
    if (!state.source.buffer) {
        SetLastError("JPEG source buffer can't be allocated");
        return false;
    }
#if defined(ZENT_JPEG_SPLIT_DECODE)
    // The bytes from where the decode starts, for a second decompressor.
    const int32_t start = stream->Position();
    if (DecodeThreads() >= 2 && start >= 0 && stream->ViewContents(state.view)) {
        if (size_t(start) < state.view.Size())
            state.viewStart = size_t(start);
        else
            state.view.Release();
    }
#endif
    return RunDecode(state, haveExif);
}

// Only trivially destructible locals live here: libjpeg's error exit jumps
// back to the setjmp below from inside any libjpeg call.
bool ZtImageJPG::RunDecode(JpegDecodeState& state, bool haveExif) {
    jpeg_decompress_struct* cinfo = &state.cinfo;
    if (setjmp(state.errors.recovery)) {
        state.Release();
        return false;
    }
    state.created = true;  // jpeg_destroy_decompress copes with a half-made object
    jpeg_create_decompress(cinfo);
    cinfo->mem->max_memory_to_use = kLibjpegMemoryLimit;
    cinfo->src = &state.source;
    jpeg_read_header(cinfo, TRUE);

    const uint32_t options = DecoderOption(ImageFormat::Jpeg);
    if (options & kOptionGrayscale) cinfo->out_color_space = JCS_GRAYSCALE;
    if (options & kOptionQuantize) {
        cinfo->quantize_colors = TRUE;
        cinfo->desired_number_of_colors = QualityPercent();
    }
    if (options & kOptionDither) cinfo->dither_mode = static_cast<J_DITHER_MODE>(ditherMode);
    if (options & kOptionNoTwoPass) cinfo->two_pass_quantize = FALSE;
    if (options & kOptionNoFancyUpsampling) cinfo->do_fancy_upsampling = FALSE;
    // Scale 0 (the default setting) means no scaling: this libjpeg would read
    // a zero denominator as an enlargement.
    if (DecodeScale() != 0) {
        cinfo->scale_denom = DecodeScale();
    } else {
        // A picture the caller will reduce anyway is decoded at 1/2, 1/4 or
        // 1/8 of its size, libjpeg then averaging blocks itself and skipping
        // most of the inverse DCT, where that keeps four pixels each way for
        // every pixel of the reduced size: an art pixel then averages whole
        // blocks but for its edges, and stays within a level or two of the
        // average of the full picture.
        static const uint32_t kScales[] = {8, 4, 2};
        const uint32_t denom = CheapReduction(cinfo->image_width, cinfo->image_height, kScales, 3, 4);
        if (denom > 1) {
            cinfo->scale_denom = denom;
            SetFullSize(cinfo->image_width, cinfo->image_height, denom);
        }
    }
#ifdef JCS_EXTENSIONS
    // libjpeg-turbo can deliver blue, green, red, the image's own order, so
    // colour rows are decoded straight into the image without a second pass.
    if (cinfo->out_color_space == JCS_RGB && !cinfo->quantize_colors) cinfo->out_color_space = JCS_EXT_BGR;
#endif

    jpeg_calc_output_dimensions(cinfo);
    if (SizeOnlyRequested()) {
        ReportSize(cinfo->output_width, cinfo->output_height, ImageFormat::Jpeg);
        state.Release();
        return true;
    }
    // Refuse a picture the image cannot hold before libjpeg sets up its buffers.
    const uint64_t bytesPerPixel = cinfo->output_components == 1 ? 1 : 3;
    if (!ProductAtMost(cinfo->output_width, cinfo->output_height, bytesPerPixel, ZTIMAGE_MAX_MEMORY)) {
        SetLastError("ZTIMAGE_MAX_MEMORY exceeded");
        state.Release();
        return false;
    }

    jpeg_start_decompress(cinfo);
    // Four output components ask for 32 bits and get a 24-bit image.
    if (!Create(cinfo->output_width, cinfo->output_height, 8 * uint32_t(cinfo->output_components),
                ImageFormat::Jpeg)) {
        state.Release();
        return false;
    }
    ApplyResolution(state, haveExif);

    if (cinfo->out_color_space == JCS_GRAYSCALE) {
        SetGreyRamp();
    } else if (cinfo->quantize_colors) {
        // Colour map rows are red, green, blue; a map with fewer rows
        // repeats its last one.
        const int rows = cinfo->out_color_components;
        JSAMPARRAY map = cinfo->colormap;
        LoadPaletteFromPlanes(uint32_t(cinfo->actual_number_of_colors), map[0],
                              rows > 1 ? map[1] : nullptr, rows > 2 ? map[2] : nullptr);
        // The block keeps its 256 entries (the rows start after them); the
        // colours in use are counted as the important ones.
        SetImportantColors(uint32_t(cinfo->actual_number_of_colors));
    }

    const JDIMENSION rowLength = cinfo->output_width * JDIMENSION(cinfo->output_components);
    JSAMPARRAY row = (*cinfo->mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(cinfo), JPOOL_IMAGE,
                                                 rowLength, 1);
    const bool cmyk = cinfo->num_components == 4 && !cinfo->quantize_colors &&
                      cinfo->output_components == 4;
    const uint32_t height = cinfo->output_height;
    // Rows that need no conversion are decoded into the image itself.
    const bool direct = !cmyk && rowLength <= rowStride;
    // A libjpeg without the BGR extension delivers R, G, B; the image stores
    // B, G, R, and the rows are swapped once they are all decoded.
    const bool swapAfter = cinfo->out_color_space == JCS_RGB && cinfo->output_components == 3;
    bool lowerTaken = false;  // a second decompressor gave the picture's lower part
#if defined(ZENT_JPEG_SPLIT_DECODE)
    // Where its rows start, if one decodes them meanwhile; past the end when
    // none does.
    JDIMENSION lowerFrom = height;
    // A large single-scan picture decoded at its full size straight into the
    // image qualifies, when nothing was amiss so far.
    if (state.view.Data() && direct && !cmyk && !swapAfter && !cinfo->quantize_colors &&
        !jpeg_has_multiple_scans(cinfo) && cinfo->output_width == cinfo->image_width &&
        height == cinfo->image_height && uint64_t(cinfo->output_width) * height >= kSplitMinimumPixels &&
        state.errors.num_warnings == 0) {
        // The second decompressor entropy-decodes the rows above its part
        // as well, so the first takes the larger share.
        const JDIMENSION from = JDIMENSION(uint64_t(height) * kUpperShareInThousandths / 1000);
        state.lower.reset(new (std::nothrow) LowerPartDecoder);
        if (state.lower && state.lower->Start(*cinfo, state.view.Data() + state.viewStart,
                                              state.view.Size() - state.viewStart, from, *this))
            lowerFrom = from;
        else
            state.lower.reset();
    }
#endif
    while (cinfo->output_scanline < cinfo->output_height) {
        if (abortCode != 0) {
            state.Release();
            return false;
        }
#if defined(ZENT_JPEG_SPLIT_DECODE)
        if (cinfo->output_scanline == lowerFrom) {
            // The lower part counts when neither decompressor met a warning;
            // otherwise this one goes on through it, as it would alone.
            lowerTaken = state.lower->Finish() && state.errors.num_warnings == 0;
            state.lower.reset();
            if (lowerTaken) break;
        }
#endif
        // The first scanline is the top of the picture: the last storage row.
        uint8_t* dest = RowBits(height - 1 - cinfo->output_scanline);
        JSAMPROW target = dest;
        if (jpeg_read_scanlines(cinfo, direct ? &target : row, 1) != 1) {
            SetLastError("JPEG decoder returned no scanline");
            state.Release();
            return false;
        }
        const uint8_t* src = row[0];
        if (cmyk) {
            // libjpeg delivers the samples as stored (no inversion).
            for (uint32_t d = 0, s = 0; d < rowStride && s < rowLength; d += 3, s += 4) {
                const uint32_t c = src[s], m = src[s + 1], y = src[s + 2], k = src[s + 3];
                dest[d] = static_cast<uint8_t>((k * y) / 255);
                dest[d + 1] = static_cast<uint8_t>((k * m) / 255);
                dest[d + 2] = static_cast<uint8_t>((k * c) / 255);
            }
        } else if (!direct) {
            memcpy(dest, src, rowLength < rowStride ? rowLength : rowStride);
        }
        if (!swapAfter) AnnounceRows(cinfo->output_scanline);
    }
    if (lowerTaken)
        AnnounceRows(height);  // this decompressor stops where the other began
    else
        jpeg_finish_decompress(cinfo);

    if (swapAfter) {
        for (uint32_t y = 0; y < height; ++y) {
            if (abortCode != 0) {
                state.Release();
                return false;
            }
            SwapRedBlue(RowBits(y), 3 * uint32_t(header.width));
        }
    }
    state.Release();
    return true;
}

void ZtImageJPG::ApplyResolution(const JpegDecodeState& state, bool haveExif) {
    if (haveExif) {
        // EXIF resolution wins over JFIF; a zero value keeps that axis' default.
        if (exif.xResolution != 0.0f && exif.resolutionUnitFactor != 0.0f)
            SetHorizontalDpi(DpiFromDouble(exif.xResolution / exif.resolutionUnitFactor));
        if (exif.yResolution != 0.0f && exif.resolutionUnitFactor != 0.0f)
            SetVerticalDpi(DpiFromDouble(exif.yResolution / exif.resolutionUnitFactor));
        return;
    }
    const jpeg_decompress_struct& cinfo = state.cinfo;
    switch (cinfo.density_unit) {
        case 0:
            // Aspect ratio only: scale the vertical resolution by it.
            if (cinfo.X_density > 0 && cinfo.Y_density > 0)
                SetVerticalDpi(DpiFromDouble(HorizontalDpi() * (double(cinfo.Y_density) /
                                                                double(cinfo.X_density))));
            break;
        case 2:  // dots per centimetre
            SetHorizontalDpi(DpiFromDouble(std::floor(cinfo.X_density * 2.54 + 0.5)));
            SetVerticalDpi(DpiFromDouble(std::floor(cinfo.Y_density * 2.54 + 0.5)));
            break;
        default:
            SetHorizontalDpi(cinfo.X_density);
            SetVerticalDpi(cinfo.Y_density);
            break;
    }
}
