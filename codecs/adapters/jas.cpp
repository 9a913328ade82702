// JPEG-2000 family adapter: JPEG 2000 (ISO/IEC 15444-1, JP2 file format of
// Annex I and bare code streams) decoded by OpenJPEG over a ZtFile, and the
// uncompressed members of the family (PNM, PGX, Sun raster) read by
// jas_readers.cpp.
//
// Every member is a list of components of some precision. Three like
// components become a 24-bit picture; anything else shows one component,
// chosen by frameIndex, over a grey ramp. The uncompressed readers write
// their rows straight into the picture; JPEG 2000 components come from
// OpenJPEG's planes. Samples are not rescaled: a
// component keeps its values below 2^precision, and one wider than 8 bits
// keeps its top 8 bits. JPEG 2000 colour that is not plain RGB (sYCC, an
// embedded ICC profile) is turned into sRGB first, for 8-bit samples.
//
// OpenJPEG reports failures by return value, not by long jumps; its handles
// still belong to one session object so that every way out releases them.
#include "codecs/adapters/jas.h"

#include <lcms2.h>
#include <openjpeg.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <thread>
#include <type_traits>
#include <vector>

#include "codecs/adapters/jas_readers.h"
#include "codecs/on_demand.h"
#include "image/byte_reader.h"
#include "image/checked_math.h"
#include "image/codec_warnings.h"
#include "image/decode_outcome.h"
#include "image/zt_file.h"

namespace {

// OpenJPEG's entry points, loaded when the first JPEG 2000 codestream is read,
// so that every other conversion starts without it.
#define ZENT_OPENJPEG_ENTRY_POINTS(X) X(opj_codec_set_threads) X(opj_create_decompress) X(opj_decode) \
    X(opj_destroy_codec) X(opj_end_decompress) X(opj_image_destroy) X(opj_read_header) \
    X(opj_set_default_decoder_parameters) X(opj_set_error_handler) X(opj_set_info_handler) \
    X(opj_set_warning_handler) X(opj_setup_decoder) X(opj_stream_create) X(opj_stream_destroy) \
    X(opj_stream_set_read_function) X(opj_stream_set_seek_function) X(opj_stream_set_skip_function) \
    X(opj_stream_set_user_data) X(opj_stream_set_user_data_length)
ZENT_LIBRARY(OpenJpegLibrary, OpenJpeg, ZENT_OPENJPEG_ENTRY_POINTS, "libopenjp2.so.7")

// Little CMS's entry points, loaded when the first embedded ICC profile is
// applied.
#define ZENT_LCMS_ENTRY_POINTS(X) X(cmsCloseProfile) X(cmsCreateContext) X(cmsCreateTransformTHR) \
    X(cmsCreate_sRGBProfileTHR) X(cmsDeleteContext) X(cmsDeleteTransform) X(cmsDoTransform) \
    X(cmsGetColorSpace) X(cmsOpenProfileFromMemTHR) X(cmsSetLogErrorHandlerTHR)
ZENT_LIBRARY(LittleCmsLibrary, LittleCms, ZENT_LCMS_ENTRY_POINTS, "liblcms2.so.2")

constexpr char kUnknownFormat[] = "error: unknowm format";  // the family's message, spelling kept
constexpr char kCannotLoad[] = "error: cannot load image data";
constexpr char kTooManyComponents[] = "error: too many components";
constexpr char kCannotAllocate[] = "error: cannot allocate memory";
constexpr char kNoSrgbProfile[] = "cannot create sRGB profile";
constexpr char kWrongFrame[] = "wrong frame!";
constexpr char kDimensionsReturned[] = "output dimensions returned";
constexpr char kOverCeiling[] = "ZTIMAGE_MAX_MEMORY exceeded";

// A JPEG 2000 code stream may declare up to 16384 components (Csiz); the
// grey path shows any one of them, so that is the only limit.
constexpr uint32_t kMaxComponents = 16384;
// Read size OpenJPEG asks the stream for at a time.
constexpr size_t kStreamChunk = 1 << 16;

// ------------------------------------------------------------ formats ----

enum class Reader { Jp2, CodeStream, Pgx, Pnm, SunRaster };

// The family's format names and the ids they record.
struct FamilyFormat {
    const char* name;
    uint32_t id;
    Reader reader;
};
constexpr FamilyFormat kFamily[] = {
    {"jp2", ImageFormat::Jp2, Reader::Jp2},
    {"jpc", ImageFormat::Jpc, Reader::CodeStream},
    {"pgx", ImageFormat::Pgx, Reader::Pgx},
    {"pnm", ImageFormat::Pnm, Reader::Pnm},
    {"ras", ImageFormat::SunRaster, Reader::SunRaster},
};

const FamilyFormat& FormatNamed(const char* name) {
    for (const FamilyFormat& f : kFamily)
        if (strcmp(f.name, name) == 0) return f;
    FailDecode(kUnknownFormat);
}

// Recognises a member of the family by its first bytes, or fails with the
// family's message.
const FamilyFormat& Detect(const uint8_t* head, size_t n) {
    static const uint8_t kJp2Signature[12] = {0, 0, 0, 0x0C, 'j', 'P', ' ', ' ', 0x0D, 0x0A, 0x87, 0x0A};
    if (n >= 12 && memcmp(head, kJp2Signature, 12) == 0) return FormatNamed("jp2");
    // A code stream opens with SOC and then SIZ.
    if (n >= 4 && head[0] == 0xFF && head[1] == 0x4F && head[2] == 0xFF && head[3] == 0x51)
        return FormatNamed("jpc");
    if (n >= 2 && head[0] == 'P' && head[1] == 'G') return FormatNamed("pgx");
    if (n >= 2 && head[0] == 'P' && head[1] >= '1' && head[1] <= '6') return FormatNamed("pnm");
    if (n >= 4 && Get32BE(head) == 0x59A66A95) return FormatNamed("ras");
    FailDecode(kUnknownFormat);
}

// ------------------------------------------------------------ OpenJPEG ----

// Where the code stream lies in the byte stream: OpenJPEG's offsets count
// from the position the decode started at.
struct StreamBinding {
    ZtFile* file;
    int64_t start;
};

OPJ_SIZE_T ReadFromStream(void* buffer, OPJ_SIZE_T count, void* user) {
    auto* binding = static_cast<StreamBinding*>(user);
    const size_t got = binding->file->ReadBlocks(buffer, 1, count);
    return got == 0 ? OPJ_SIZE_T(-1) : got;  // -1 is OpenJPEG's end of data
}

OPJ_OFF_T SkipInStream(OPJ_OFF_T count, void* user) {
    auto* binding = static_cast<StreamBinding*>(user);
    const int64_t target = int64_t(binding->file->Position()) + count;
    if (target < binding->start || target > INT32_MAX || !binding->file->SeekTo(int32_t(target), 0))
        return -1;
    return count;
}

OPJ_BOOL SeekInStream(OPJ_OFF_T offset, void* user) {
    auto* binding = static_cast<StreamBinding*>(user);
    const int64_t target = binding->start + offset;
    if (offset < 0 || target > INT32_MAX) return OPJ_FALSE;
    return binding->file->SeekTo(int32_t(target), 0) ? OPJ_TRUE : OPJ_FALSE;
}

// OpenJPEG's errors and warnings go to the codec warning sink; the decode's
// own message says what failed. Its info messages are progress chatter.
void RouteOpjMessage(const char* text, void*) { ReportCodecWarning("openjpeg", text); }
void DropOpjInfo(const char*, void*) {}

// The OpenJPEG handles of one decode. Release is safe to call twice.
struct OpjSession {
    StreamBinding binding{};
    opj_stream_t* stream = nullptr;
    opj_codec_t* codec = nullptr;
    opj_image_t* image = nullptr;

    OpjSession() = default;
    OpjSession(const OpjSession&) = delete;
    OpjSession& operator=(const OpjSession&) = delete;
    ~OpjSession() { Release(); }

    void Release() {
        if (image) OpenJpeg().opj_image_destroy(image);
        if (codec) OpenJpeg().opj_destroy_codec(codec);
        if (stream) OpenJpeg().opj_stream_destroy(stream);
        image = nullptr;
        codec = nullptr;
        stream = nullptr;
    }
};

// ------------------------------------------------------------ Little CMS ----

struct CmsContextFree {
    void operator()(cmsContext c) const { LittleCms().cmsDeleteContext(c); }
};
struct CmsProfileFree {
    void operator()(void* p) const { LittleCms().cmsCloseProfile(p); }
};
struct CmsTransformFree {
    void operator()(void* t) const { LittleCms().cmsDeleteTransform(t); }
};
using CmsContext = std::unique_ptr<std::remove_pointer_t<cmsContext>, CmsContextFree>;
using CmsProfile = std::unique_ptr<void, CmsProfileFree>;
using CmsTransform = std::unique_ptr<void, CmsTransformFree>;

void RouteCmsMessage(cmsContext, cmsUInt32Number, const char* text) { ReportCodecWarning("lcms2", text); }

// ------------------------------------------------------------ components ----

// One component as the output stage sees it: samples row by row, top first.
struct Plane {
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t precision = 0;  // 1..31
    bool isSigned = false;
    const int32_t* samples = nullptr;
};

// Everything one decode owns besides the OpenJPEG session: the planes the
// output reads, and the buffers of colour conversion that some planes point
// into.
struct Components {
    std::vector<Plane> planes;
    std::array<std::vector<int32_t>, 3> converted;
};

// A sample as an 8-bit value: signed samples are moved up by half their
// range (so mid-grey is 0), values outside the precision are clamped, and
// precisions above 8 keep their top 8 bits.
inline uint8_t Sample8(int32_t sample, uint32_t precision, bool isSigned) {
    const int64_t top = (int64_t(1) << precision) - 1;
    int64_t v = int64_t(sample) + (isSigned ? int64_t(1) << (precision - 1) : 0);
    v = std::clamp<int64_t>(v, 0, top);
    return uint8_t(precision > 8 ? v >> (precision - 8) : v);
}

bool SameShape(const Plane& a, const Plane& b) {
    return a.width == b.width && a.height == b.height && a.precision == b.precision;
}

// sYCC (IEC 61966-2-1 Amendment 1) to RGB for the first three components,
// on component 0's grid; subsampled chroma repeats its nearest sample.
void SyccToRgb(Components& c) {
    const Plane y = c.planes[0];
    const Plane cb = c.planes[1];
    const Plane cr = c.planes[2];
    const size_t count = size_t(y.width) * y.height;
    for (auto& v : c.converted) v.resize(count);
    const int32_t offset = 1 << (y.precision - 1);
    const int32_t top = (1 << y.precision) - 1;
    auto chromaAt = [](const Plane& p, const Plane& luma, uint32_t x, uint32_t row) {
        const uint32_t cx = std::min<uint64_t>(uint64_t(x) * p.width / luma.width, p.width - 1);
        const uint32_t cy = std::min<uint64_t>(uint64_t(row) * p.height / luma.height, p.height - 1);
        return p.samples[size_t(cy) * p.width + cx];
    };
    for (uint32_t row = 0; row < y.height; ++row)
        for (uint32_t x = 0; x < y.width; ++x) {
            const size_t i = size_t(row) * y.width + x;
            const int32_t l = y.samples[i];
            const int32_t b = chromaAt(cb, y, x, row) - offset;
            const int32_t r = chromaAt(cr, y, x, row) - offset;
            // The standard's coefficients; fractions are cut toward zero.
            c.converted[0][i] = std::clamp(l + int32_t(1.402 * double(r)), 0, top);
            c.converted[1][i] = std::clamp(l - int32_t(0.344 * double(b) + 0.714 * double(r)), 0, top);
            c.converted[2][i] = std::clamp(l + int32_t(1.772 * double(b)), 0, top);
        }
    for (int k = 0; k < 3; ++k)
        c.planes[k] = Plane{y.width, y.height, y.precision, false, c.converted[k].data()};
}

// Applies an embedded RGB ICC profile to the first three components (8-bit,
// one size), giving sRGB with the perceptual intent. A profile that cannot
// be used leaves the colours as they are, with a warning.
void IccToSrgb(Components& c, const uint8_t* icc, uint32_t iccLength) {
    const Plane& p0 = c.planes[0];
    if (p0.precision != 8 || !SameShape(p0, c.planes[1]) || !SameShape(p0, c.planes[2])) {
        ReportCodecWarning("lcms2", "ICC profile skipped: components are not three 8-bit planes of one size");
        return;
    }
    if (!LittleCms().loaded) {
        ReportCodecWarning("lcms2", "ICC profile skipped: cannot load liblcms2.so.2");
        return;
    }
    CmsContext context(LittleCms().cmsCreateContext(nullptr, nullptr));
    if (!context) FailDecode(kNoSrgbProfile);
    LittleCms().cmsSetLogErrorHandlerTHR(context.get(), RouteCmsMessage);
    CmsProfile input(LittleCms().cmsOpenProfileFromMemTHR(context.get(), icc, iccLength));
    if (!input || LittleCms().cmsGetColorSpace(input.get()) != cmsSigRgbData) {
        ReportCodecWarning("lcms2", "embedded ICC profile is not a usable RGB profile; colours left as stored");
        return;
    }
    CmsProfile srgb(LittleCms().cmsCreate_sRGBProfileTHR(context.get()));
    if (!srgb) FailDecode(kNoSrgbProfile);
    CmsTransform transform(LittleCms().cmsCreateTransformTHR(context.get(), input.get(), TYPE_RGB_8, srgb.get(),
                                                 TYPE_RGB_8, INTENT_PERCEPTUAL, 0));
    if (!transform) {
        ReportCodecWarning("lcms2", "no transform from the embedded ICC profile; colours left as stored");
        return;
    }
    const uint32_t width = p0.width;
    const size_t count = size_t(width) * p0.height;
    std::array<std::vector<int32_t>, 3> out;
    for (auto& v : out) v.resize(count);
    std::vector<uint8_t> line(size_t(width) * 3);
    for (uint32_t row = 0; row < p0.height; ++row) {
        const size_t base = size_t(row) * width;
        for (uint32_t x = 0; x < width; ++x)
            for (int k = 0; k < 3; ++k) line[size_t(x) * 3 + k] = Sample8(c.planes[k].samples[base + x], 8, c.planes[k].isSigned);
        LittleCms().cmsDoTransform(transform.get(), line.data(), line.data(), width);
        for (uint32_t x = 0; x < width; ++x)
            for (int k = 0; k < 3; ++k) out[k][base + x] = line[size_t(x) * 3 + k];
    }
    for (int k = 0; k < 3; ++k) {
        c.converted[k] = std::move(out[k]);
        c.planes[k] = Plane{width, p0.height, 8, false, c.converted[k].data()};
    }
}

// A component's size on the reference grid (ISO/IEC 15444-1 B.2).
uint64_t ComponentSide(uint32_t from, uint32_t to, uint32_t step) {
    if (step == 0 || to <= from) return 0;
    return (uint64_t(to) + step - 1) / step - (uint64_t(from) + step - 1) / step;
}

// OpenJPEG copies the coding parameters of every component into every tile
// while it reads the main header, about 1 KB each (the step sizes of 97
// bands and the precinct sizes of 33 levels), before any tile is decoded.
constexpr uint64_t kTileComponentBytes = 1080;

// The tiles times components the image and tile sizes of the code stream's
// SIZ segment give (for a JP2 file, of the code stream in its jp2c box), or
// UINT64_MAX past 64 bits; 0 when the segment is not found where it belongs,
// which OpenJPEG then reports. The file is left where it was.
uint64_t TileComponents(ZtFile& file, bool jp2) {
    const int32_t start = file.Position();
    auto readAt = [&](int64_t at, uint8_t* bytes, size_t size) {
        return at >= 0 && at <= INT32_MAX && file.SeekTo(int32_t(at), 0) && file.ReadBlocks(bytes, size, 1) == 1;
    };
    auto be = [](const uint8_t* p, int n) {
        uint64_t v = 0;
        for (int i = 0; i < n; ++i) v = v << 8 | p[i];
        return v;
    };
    int64_t at = start;
    uint8_t box[16];
    // Top-level boxes up to the code stream's: length (with its 64-bit
    // form, and 0 for "to the end"), type.
    for (int boxes = 0; jp2; ++boxes) {
        if (boxes == 64 || !readAt(at, box, 8)) return file.SeekTo(start, 0), 0;
        uint64_t length = be(box, 4), header = 8;
        if (length == 1) {
            if (!readAt(at + 8, box + 8, 8)) return file.SeekTo(start, 0), 0;
            length = be(box + 8, 8), header = 16;
        }
        if (memcmp(box + 4, "jp2c", 4) == 0) {
            at += int64_t(header);
            break;
        }
        if (length < header || length > uint64_t(INT32_MAX)) return file.SeekTo(start, 0), 0;
        at += int64_t(length);
    }
    // SOC, SIZ marker, Lsiz, Rsiz, then Xsiz to YTOsiz and Csiz.
    uint8_t siz[42];
    const bool read = readAt(at, siz, sizeof siz);
    file.SeekTo(start, 0);
    if (!read || be(siz, 4) != 0xFF4FFF51) return 0;
    const uint64_t width = be(siz + 8, 4), height = be(siz + 12, 4);
    const uint64_t tileWidth = be(siz + 24, 4), tileHeight = be(siz + 28, 4);
    const uint64_t tileX = be(siz + 32, 4), tileY = be(siz + 36, 4), components = be(siz + 40, 2);
    if (tileWidth == 0 || tileHeight == 0 || width <= tileX || height <= tileY) return 0;
    const uint64_t across = (width - tileX + tileWidth - 1) / tileWidth;
    const uint64_t down = (height - tileY + tileHeight - 1) / tileHeight;
    uint64_t count = 0;
    return CheckedMul3(across, down, components, &count) ? count : UINT64_MAX;
}

// Decodes a JP2 file or code stream into session.image. In dimensions-only
// mode stops after the main header and reports component 0's size.
DecodeOutcome DecodeJpeg2000(ZtImage& image, ZtFile& file, const FamilyFormat& format,
                             OpjSession& session, Components& out) {
    // Tiles and components past the ceiling are refused before OpenJPEG
    // spends the memory (and the seconds) on their parameters.
    if (TileComponents(file, format.reader == Reader::Jp2) > ZTIMAGE_MAX_MEMORY / kTileComponentBytes)
        FailDecode(kOverCeiling);
    if (!OpenJpeg().loaded) FailDecode("cannot load libopenjp2.so.7");
    session.binding = StreamBinding{&file, file.Position()};
    const int32_t length = file.Length();
    session.stream = OpenJpeg().opj_stream_create(kStreamChunk, OPJ_TRUE);
    if (!session.stream) FailDecode(kCannotAllocate);
    OpenJpeg().opj_stream_set_user_data(session.stream, &session.binding, nullptr);
    if (length >= session.binding.start)
        OpenJpeg().opj_stream_set_user_data_length(session.stream, uint64_t(length - session.binding.start));
    OpenJpeg().opj_stream_set_read_function(session.stream, ReadFromStream);
    OpenJpeg().opj_stream_set_skip_function(session.stream, SkipInStream);
    OpenJpeg().opj_stream_set_seek_function(session.stream, SeekInStream);

    session.codec = OpenJpeg().opj_create_decompress(format.reader == Reader::Jp2 ? OPJ_CODEC_JP2 : OPJ_CODEC_J2K);
    if (!session.codec) FailDecode(kCannotAllocate);
    OpenJpeg().opj_set_info_handler(session.codec, DropOpjInfo, nullptr);
    OpenJpeg().opj_set_warning_handler(session.codec, RouteOpjMessage, nullptr);
    OpenJpeg().opj_set_error_handler(session.codec, RouteOpjMessage, nullptr);
    opj_dparameters_t parameters;
    OpenJpeg().opj_set_default_decoder_parameters(&parameters);
    if (!OpenJpeg().opj_setup_decoder(session.codec, &parameters)) FailDecode(kCannotLoad);
    // Code-blocks and tiles decode on every core. A build of OpenJPEG
    // without threads refuses, and decodes on this one.
    const unsigned cores = std::thread::hardware_concurrency();
    if (cores > 1) OpenJpeg().opj_codec_set_threads(session.codec, int(std::min(cores, 64u)));
    if (!OpenJpeg().opj_read_header(session.stream, session.codec, &session.image) || !session.image ||
        session.image->numcomps == 0 || !session.image->comps)
        FailDecode(kCannotLoad);

    const opj_image_t& header = *session.image;
    if (header.numcomps > kMaxComponents) FailDecode(kTooManyComponents);
    // Component sizes from the header's grid, before any tile is decoded:
    // OpenJPEG keeps a 32-bit sample for every pixel of every component.
    uint64_t samples = 0;
    for (uint32_t k = 0; k < header.numcomps; ++k) {
        const opj_image_comp_t& c = header.comps[k];
        const uint64_t w = ComponentSide(header.x0, header.x1, c.dx);
        const uint64_t h = ComponentSide(header.y0, header.y1, c.dy);
        if (w == 0 || h == 0) FailDecode(kCannotLoad);
        if (k == 0 && image.SizeOnlyRequested())
            return image.ReportSize(uint32_t(w), uint32_t(h), format.id, kDimensionsReturned);
        samples += w * h;
        if (samples > ZTIMAGE_MAX_MEMORY / 4) FailDecode(kOverCeiling);
    }

    if (!OpenJpeg().opj_decode(session.codec, session.stream, session.image) ||
        !OpenJpeg().opj_end_decompress(session.codec, session.stream))
        FailDecode(kCannotLoad);

    const opj_image_t& decoded = *session.image;
    // A palette may have widened the component list.
    if (decoded.numcomps == 0 || decoded.numcomps > kMaxComponents) FailDecode(kTooManyComponents);
    for (uint32_t k = 0; k < decoded.numcomps; ++k) {
        const opj_image_comp_t& c = decoded.comps[k];
        if (!c.data || c.w == 0 || c.h == 0 || c.prec == 0 || c.prec > 31) FailDecode(kCannotLoad);
        out.planes.push_back(Plane{c.w, c.h, c.prec, c.sgnd != 0, c.data});
    }
    // Colour: only images of three or more components with 8-bit or
    // narrower samples are brought to sRGB.
    if (out.planes.size() >= 3 && out.planes[0].precision <= 8) {
        if (decoded.color_space == OPJ_CLRSPC_SYCC)
            SyccToRgb(out);
        else if (decoded.icc_profile_buf && decoded.icc_profile_len > 0)
            IccToSrgb(out, decoded.icc_profile_buf, decoded.icc_profile_len);
    }
    return DecodeOutcome::Done;
}

// Reads one of the uncompressed members through its reader, which writes
// the rows itself. A grey picture is the one component there is: any other
// frame is missing (known only once the file was read whole, as for the
// JPEG 2000 members).
DecodeOutcome DecodeUncompressed(ZtImage& image, ZtFile& file, const FamilyFormat& format, uint32_t askedId,
                                 int32_t& frameCount) {
    const bool headerOnly = image.SizeOnlyRequested();
    const jas::Ids ids{format.id, askedId};
    const jas::Layout layout = format.reader == Reader::Pgx   ? jas::ReadPgx(file, headerOnly, image, ids)
                               : format.reader == Reader::Pnm ? jas::ReadPnm(file, headerOnly, image, ids)
                                                              : jas::ReadSunRaster(file, headerOnly, image, ids);
    if (headerOnly) return image.ReportSize(layout.width, layout.height, format.id, kDimensionsReturned);
    if (!layout.colour) {
        frameCount = 1;
        if (image.FrameIndex() != 0) FailDecode(kWrongFrame);
    }
    return DecodeOutcome::Done;
}

// ------------------------------------------------------------ output ----

void WriteRgb(ZtImage& image, const Components& c, uint32_t id) {
    const Plane& p0 = c.planes[0];
    if (!image.Create(p0.width, p0.height, 24, id)) FailDecode("");
    // Unsigned 8-bit samples, by far the most common, are only clamped.
    bool plain = true;
    for (int k = 0; k < 3; ++k) plain = plain && c.planes[k].precision == 8 && !c.planes[k].isSigned;
    for (uint32_t row = 0; row < p0.height; ++row) {
        uint8_t* out = image.RowBits(p0.height - 1 - row);
        const size_t base = size_t(row) * p0.width;
        if (plain) {
            const int32_t* r = p0.samples + base;
            const int32_t* g = c.planes[1].samples + base;
            const int32_t* b = c.planes[2].samples + base;
            for (uint32_t x = 0; x < p0.width; ++x) {
                out[3 * x] = uint8_t(std::clamp(b[x], 0, 255));
                out[3 * x + 1] = uint8_t(std::clamp(g[x], 0, 255));
                out[3 * x + 2] = uint8_t(std::clamp(r[x], 0, 255));
            }
            continue;
        }
        for (uint32_t x = 0; x < p0.width; ++x) {
            out[3 * x] = Sample8(c.planes[2].samples[base + x], c.planes[2].precision, c.planes[2].isSigned);
            out[3 * x + 1] = Sample8(c.planes[1].samples[base + x], c.planes[1].precision, c.planes[1].isSigned);
            out[3 * x + 2] = Sample8(p0.samples[base + x], p0.precision, p0.isSigned);
        }
    }
}

void WriteGrey(ZtImage& image, const Plane& p, uint32_t id) {
    if (!image.Create(p.width, p.height, std::min<uint32_t>(p.precision, 8), id)) FailDecode("");
    image.SetGreyRamp();
    const uint32_t depth = image.BitsPerPixel();
    for (uint32_t row = 0; row < p.height; ++row) {
        uint8_t* out = image.RowBits(p.height - 1 - row);
        const int32_t* in = p.samples + size_t(row) * p.width;
        // Rows come zeroed from Create, so packed pixels are or-ed in. A
        // component of at most 8 bits stays below its ramp's entry count.
        if (depth == 8) {
            for (uint32_t x = 0; x < p.width; ++x) out[x] = Sample8(in[x], p.precision, p.isSigned);
        } else if (depth == 4) {
            for (uint32_t x = 0; x < p.width; ++x)
                out[x >> 1] |= uint8_t(Sample8(in[x], p.precision, p.isSigned) << ((x & 1) ? 0 : 4));
        } else {
            for (uint32_t x = 0; x < p.width; ++x)
                out[x >> 3] |= uint8_t(Sample8(in[x], p.precision, p.isSigned) << (7 - (x & 7)));
        }
    }
}

DecodeOutcome DecodeFamily(ZtImage& image, ZtFile& file, uint32_t askedId, int32_t& frameCount) {
    const int32_t start = file.Position();
    std::array<uint8_t, 12> head{};
    const size_t got = file.ReadBlocks(head.data(), 1, head.size());
    if (start < 0 || !file.SeekTo(start, 0)) FailDecode(kCannotLoad);
    const FamilyFormat& format = Detect(head.data(), got);

    if (format.reader != Reader::Jp2 && format.reader != Reader::CodeStream)
        return DecodeUncompressed(image, file, format, askedId, frameCount);
    OpjSession session;
    Components components;
    const DecodeOutcome outcome = DecodeJpeg2000(image, file, format, session, components);
    if (outcome != DecodeOutcome::Done) return outcome;

    const std::vector<Plane>& planes = components.planes;
    if (planes.size() == 3 && SameShape(planes[0], planes[1]) && SameShape(planes[0], planes[2])) {
        WriteRgb(image, components, format.id);
        return DecodeOutcome::Done;
    }
    frameCount = int32_t(planes.size());
    const int32_t frame = image.FrameIndex();
    if (frame < 0 || frame >= frameCount) FailDecode(kWrongFrame);
    WriteGrey(image, planes[size_t(frame)], askedId);
    return DecodeOutcome::Done;
}

}  // namespace

bool ZtImageJAS::Decode(ZtFile* stream, uint32_t id) {
    if (!stream) return false;
    return GuardDecode(*this, kCannotAllocate, [&] { return DecodeFamily(*this, *stream, id, frameCount); });
}
