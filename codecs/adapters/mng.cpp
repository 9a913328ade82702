// MNG adapter: Multiple-image Network Graphics and JPEG Network Graphics
// (MNG-1.0 and JNG-1.0 specifications, libpng.org/pub/mng) decoded by
// libmng 1.0 over a ZtFile.
//
// libmng reads the stream through our callbacks and draws into a canvas we
// own: 24-bit RGB rows plus a separate alpha plane (its RGB8_A8 style), over
// a white background. The picture handed back is one frame of the animation.
//
// Frames. libmng shows an animation as it reads it: after a frame with a
// delay it asks for a timer and returns "need timer wait", and we resume it at
// once instead of waiting. Frames without a delay give no such break, so the
// stream goes to libmng through a chunk feed that pauses reading (libmng's
// read suspension) where a frame ends: after each layer's IEND in the framing
// modes that make every layer a frame (1 and 3), and before each FRAM chunk.
// Every break after which the canvas was drawn on is one frame; the canvas is
// copied when the frame chosen by frameIndex ends, and the rest of the stream
// is read only to count the frames.
//
// Bounds. A LOOP chunk can repeat the frames it holds inside one libmng call,
// without a read or a timer. libmng's allocations go through us, so once the
// drawing budget is spent the next allocation fails and libmng stops; the
// number of calls into libmng is bounded as well, and libmng's own live memory
// is held to the image ceiling.
#include "codecs/adapters/mng.h"

#include <cstdio>  // jpeglib.h, which libmng.h includes, needs FILE
#include <zlib.h>

// The Debian library is built as a shared object (MNG_BUILD_SO); its users
// declare MNG_USE_SO so that the header sees the same configuration.
#define MNG_USE_SO
#include <libmng.h>

#include <algorithm>
#include <chrono>
#include <csetjmp>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "codecs/on_demand.h"
#include "image/byte_reader.h"
#include "image/checked_math.h"
#include "image/decode_outcome.h"
#include "image/zt_file.h"

namespace {

// libmng's entry points, loaded when the first MNG or JNG is read, so that
// every other conversion starts without it.
#define ZENT_MNG_ENTRY_POINTS(X) X(mng_cleanup) X(mng_display_resume) X(mng_get_bgcolor) \
    X(mng_get_imageheight) X(mng_get_imagewidth) X(mng_get_usebkgd) X(mng_get_userdata) X(mng_getlasterror) \
    X(mng_initialize) X(mng_readdisplay) X(mng_set_bgcolor) X(mng_set_canvasstyle) X(mng_set_srgb) \
    X(mng_set_storechunks) X(mng_set_suspensionmode) X(mng_set_usebkgd) X(mng_setcb_closestream) \
    X(mng_setcb_errorproc) X(mng_setcb_getalphaline) X(mng_setcb_getcanvasline) X(mng_setcb_gettickcount) \
    X(mng_setcb_openstream) X(mng_setcb_processheader) X(mng_setcb_readdata) X(mng_setcb_refresh) \
    X(mng_setcb_settimer) X(mng_status_reading)
ZENT_LIBRARY(MngLibrary, Mng, ZENT_MNG_ENTRY_POINTS, "libmng.so.1")

// Calls into libmng (mng_readdisplay and its resumes) in one decode: every
// frame, timer break and read pause takes one.
constexpr uint32_t kMaxLibraryCalls = 100000;
// Canvas pixels libmng may draw in one decode before it is stopped (loops of
// frames without delays redraw inside a single call). Each line handed out
// also counts as kLineCost pixels, for libmng's work around it, so that loops
// of tiny layers meet the budget as soon as wide ones do.
constexpr uint64_t kMaxDrawnPixels = uint64_t(1) << 27;
constexpr uint64_t kLineCost = 256;
// Bytes libmng may hold at once for its own objects and buffers.
constexpr uint64_t kMaxLibraryBytes = ZTIMAGE_MAX_MEMORY;
// Bytes libmng may allocate in one decode, every block counted, freed or
// not: what it may hold at once, and this many more for every pixel drawn
// (line costs included). A loop replays its stored layers inside one call,
// and each replay copies the layer into fresh blocks: a layer of millions of
// rows of which the canvas shows a few draws little but copies much (a
// 300-byte file whose loop replays a 6 x 4 million layer took 8 s under a
// fixed 2 GiB). An animation allocates about what it draws; the largest
// corpus animation allocates 2 MB in all.
constexpr uint64_t kAllocatedPerDrawnPixel = 16;

// Four-character chunk names as big-endian numbers.
constexpr uint32_t ChunkName(const char (&n)[5]) {
    return uint32_t(uint8_t(n[0])) << 24 | uint32_t(uint8_t(n[1])) << 16 | uint32_t(uint8_t(n[2])) << 8 |
           uint32_t(uint8_t(n[3]));
}
constexpr uint32_t kIEND = ChunkName("IEND");
constexpr uint32_t kFRAM = ChunkName("FRAM");
constexpr uint32_t kJHDR = ChunkName("JHDR");
constexpr uint32_t kJDAA = ChunkName("JDAA");
constexpr uint32_t kIHDR = ChunkName("IHDR");
constexpr uint32_t kBASI = ChunkName("BASI");
constexpr uint32_t kDHDR = ChunkName("DHDR");

// libmng's allocation callbacks carry no handle, so the decode running on
// this thread lends them its budget. Each block starts with a header that
// links it into the budget's list of live blocks: the count of live bytes
// never depends on the size libmng passes back on release, and blocks libmng
// loses on some of its error paths are freed after mng_cleanup.
struct LibraryBlock {
    LibraryBlock* prev;
    LibraryBlock* next;
    struct LibraryBudget* owner;
    uint64_t size;
};
// calloc aligns for any type (16 bytes on x86-64, 8 in the browser module).
static_assert(sizeof(LibraryBlock) % alignof(std::max_align_t) == 0, "blocks keep calloc's alignment");

struct LibraryBudget {
    uint64_t liveBytes = 0;
    uint64_t allocatedBytes = 0;
    uint64_t drawnPixels = 0;  // the session's, for the allocation budget
    bool exhausted = false;  // drawing or allocation budget spent: refuse every allocation
    LibraryBlock* blocks = nullptr;

    // Frees what libmng left behind; call after mng_cleanup.
    void FreeLeftovers() {
        while (blocks) {
            LibraryBlock* block = blocks;
            blocks = block->next;
            std::free(block);
        }
        liveBytes = 0;
    }
};
thread_local LibraryBudget* tBudget = nullptr;

mng_ptr MNG_DECL AllocateForLibrary(mng_size_t size) {
    LibraryBudget* budget = tBudget;
    if (!budget || budget->exhausted || size > kMaxLibraryBytes - std::min(budget->liveBytes, kMaxLibraryBytes))
        return nullptr;
    // libmng expects zeroed memory.
    auto* block = static_cast<LibraryBlock*>(std::calloc(1, size + sizeof(LibraryBlock)));
    if (!block) return nullptr;
    block->owner = budget;
    block->size = size;
    block->next = budget->blocks;
    if (budget->blocks) budget->blocks->prev = block;
    budget->blocks = block;
    budget->liveBytes += size;
    budget->allocatedBytes += size;
    if (budget->allocatedBytes > kMaxLibraryBytes + kAllocatedPerDrawnPixel * budget->drawnPixels)
        budget->exhausted = true;
    return block + 1;
}

void MNG_DECL ReleaseForLibrary(mng_ptr p, mng_size_t) {
    if (!p) return;
    LibraryBlock* block = static_cast<LibraryBlock*>(p) - 1;
    LibraryBudget* budget = block->owner;
    if (block->prev)
        block->prev->next = block->next;
    else
        budget->blocks = block->next;
    if (block->next) block->next->prev = block->prev;
    budget->liveBytes -= std::min(block->size, budget->liveBytes);
    std::free(block);
}

// libjpeg's errors come back to SequentialJpeg by a long jump.
struct JpegFailure {
    jpeg_error_mgr manager;
    jmp_buf jump;
};
void JumpBack(j_common_ptr info) { longjmp(reinterpret_cast<JpegFailure*>(info->err)->jump, 1); }
void Quiet(j_common_ptr) {}

// The libjpeg objects and output buffer of one reordering.
struct JpegReorder {
    jpeg_decompress_struct source{};
    jpeg_compress_struct target{};
    JpegFailure failure{};
    unsigned char* output = nullptr;
    unsigned long outputSize = 0;
    bool sourceMade = false;
    bool targetMade = false;

    JpegReorder() = default;
    JpegReorder(const JpegReorder&) = delete;
    JpegReorder& operator=(const JpegReorder&) = delete;
    ~JpegReorder() {
        if (targetMade) jpeg_destroy_compress(&target);
        if (sourceMade) jpeg_destroy_decompress(&source);
        std::free(output);
    }
};

// Everything that may end in libjpeg's long jump; r owns every resource, so
// nothing in this frame needs a destructor.
bool ReorderWithRecovery(JpegReorder& r, const uint8_t* data, size_t size) {
    if (setjmp(r.failure.jump)) return false;
    r.source.err = jpeg_std_error(&r.failure.manager);
    r.failure.manager.error_exit = JumpBack;
    r.failure.manager.output_message = Quiet;
    jpeg_create_decompress(&r.source);
    r.sourceMade = true;
    jpeg_mem_src(&r.source, data, static_cast<unsigned long>(size));
    jpeg_read_header(&r.source, TRUE);
    // Alpha is one grey component; its coefficients take 2 bytes a sample.
    if (!r.source.progressive_mode || r.source.num_components != 1 ||
        !ProductAtMost(r.source.image_width, r.source.image_height, 2, ZTIMAGE_MAX_MEMORY))
        return false;
    r.source.mem->max_memory_to_use = long(ZTIMAGE_MAX_MEMORY);
    jvirt_barray_ptr* coefficients = jpeg_read_coefficients(&r.source);
    r.target.err = &r.failure.manager;
    jpeg_create_compress(&r.target);
    r.targetMade = true;
    jpeg_mem_dest(&r.target, &r.output, &r.outputSize);
    // Copies the quantisation and sampling; the scan order is the default,
    // sequential one.
    jpeg_copy_critical_parameters(&r.source, &r.target);
    jpeg_write_coefficients(&r.target, coefficients);
    jpeg_finish_compress(&r.target);
    jpeg_finish_decompress(&r.source);
    return true;
}

// A progressive one-component JPEG rewritten in sequential order from the
// same quantised coefficients, so that it decodes to the same samples. False
// for any other stream, or one libjpeg finds broken.
bool SequentialJpeg(const std::vector<uint8_t>& in, std::vector<uint8_t>* out) {
    JpegReorder r;
    if (in.empty() || !ReorderWithRecovery(r, in.data(), in.size()) || !r.output) return false;
    out->assign(r.output, r.output + r.outputSize);
    return true;
}

// Hands the stream to libmng chunk by chunk. It pauses reading where a frame
// ends, and mends two JNG writer quirks libmng refuses.
class ChunkFeed {
public:
    // libmng's read callback: up to length bytes into out. Returns 0 (with
    // the stream not at its end) when libmng should suspend at a frame end.
    uint32_t Fill(ZtFile& stream, uint8_t* out, uint32_t length) {
        uint32_t filled = 0;
        while (filled < length) {
            if (pausePending_) {
                // Give libmng what it has; the pause is the next, empty read.
                // Right after a pause (an IEND followed by FRAM) there is no
                // second one: libmng takes an empty first read after a
                // suspension for the end of the stream.
                if (filled > 0) break;
                pausePending_ = false;
                if (sincePause_ > 0) {
                    sincePause_ = 0;
                    paused_ = true;
                    return 0;
                }
            }
            if (stagePos_ < stage_.size()) {
                const size_t n = std::min<size_t>(stage_.size() - stagePos_, length - filled);
                memcpy(out + filled, stage_.data() + stagePos_, n);
                stagePos_ += n;
                filled += uint32_t(n);
                sincePause_ += n;
                continue;
            }
            if (bodyLeft_ > 0) {
                const size_t want = size_t(std::min<uint64_t>(bodyLeft_, length - filled));
                const size_t got = stream.ReadBlocks(out + filled, 1, want);
                if (watchFramingMode_ && got > 0) {
                    // FRAM's first byte: 0 keeps the framing mode.
                    if (out[filled] >= 1 && out[filled] <= 4) framingMode_ = out[filled];
                    watchFramingMode_ = false;
                }
                filled += uint32_t(got);
                bodyLeft_ -= got;
                sincePause_ += got;
                // A short stream: libmng sees the end and reports it.
                if (got < want) {
                    ended_ = true;
                    break;
                }
                if (bodyLeft_ == 0 && chunkName_ == kIEND && (framingMode_ == 1 || framingMode_ == 3))
                    pausePending_ = true;
                continue;
            }
            if (ended_ || !StageNextChunk(stream)) break;
        }
        return filled;
    }

    // Whether the stream was cut short before a layer too large to hand on.
    bool RefusedLayer() const { return refusedLayer_; }

    // Whether libmng's last suspension was a pause of ours (and forgets it).
    bool TakePause() {
        const bool was = paused_;
        paused_ = false;
        return was;
    }

private:
    // Reads the signature or the next chunk's header (with what it needs
    // mended) into the stage. False at the end of the stream.
    bool StageNextChunk(ZtFile& stream) {
        stage_.assign(8, 0);
        stagePos_ = 0;
        const size_t got = stream.ReadBlocks(stage_.data(), 1, 8);
        stage_.resize(got);
        if (got < 8) {
            ended_ = true;  // a cut signature or header: libmng sees the end
            return got > 0;
        }
        if (!signatureSeen_) {
            signatureSeen_ = true;
            return true;
        }
        BeginChunk(stream, Get32BE(stage_.data()), Get32BE(stage_.data() + 4));
        return true;
    }

    // The chunk whose header ends the stage: what follows it and how.
    void BeginChunk(ZtFile& stream, uint32_t length, uint32_t name) {
        chunkName_ = name;
        bodyLeft_ = uint64_t(length) + 4;  // data and CRC
        if (name == kFRAM) {
            // A FRAM chunk starts a new frame (subframe): what was drawn
            // before it is complete.
            pausePending_ = true;
            watchFramingMode_ = length > 0;
        } else if (name == kIHDR || name == kJHDR || name == kBASI || (name == kDHDR && length >= 12)) {
            if (length <= kMaxHeaderLength && !StageBody(stream, length)) return;
            uint8_t* chunk = stage_.data() + stage_.size() - (8 + (length <= kMaxHeaderLength ? length + 4 : 0));
            if (length > kMaxHeaderLength || !LayerSizeFits(name, chunk + 8, length)) {
                // libmng sees the stream end before this chunk.
                stage_.resize(size_t(chunk - stage_.data()));
                bodyLeft_ = 0;
                refusedLayer_ = true;
                ended_ = true;
                return;
            }
            if (name == kJHDR && length == kJhdrLength) MendJhdr(chunk);
        } else if (name == kJDAA) {
            StageAlpha(stream, length);
        }
    }

    // Moves the current chunk's data and CRC into the stage; false (with the
    // stream ended) when the stream is shorter.
    bool StageBody(ZtFile& stream, uint32_t length) {
        const size_t at = stage_.size();
        stage_.resize(at + size_t(length) + 4);
        const size_t got = stream.ReadBlocks(stage_.data() + at, 1, size_t(length) + 4);
        stage_.resize(at + got);
        bodyLeft_ = 0;
        if (got < size_t(length) + 4) ended_ = true;
        return !ended_;
    }

    // libmng works out a layer's row and buffer sizes in 32 bits, and a
    // width near 2^30 wraps them and has it write past its rows. A layer
    // header (or a delta's block size) whose pixels, at 16-bit RGBA, would
    // pass the memory ceiling is never handed on; libmng could not hold
    // such a layer anyway.
    static bool LayerSizeFits(uint32_t name, const uint8_t* data, uint32_t length) {
        const uint32_t at = name == kDHDR ? 4 : 0;
        if (length < at + 8) return true;  // too short to carry a size: libmng refuses it
        return ProductAtMost(Get32BE(data + at), Get32BE(data + at + 4), 8, kMaxLibraryBytes);
    }

    // JNG writers have been seen to give an image without alpha (colour
    // types 8 and 10) an alpha sample depth of 8. The alpha fields mean
    // nothing there, but libmng refuses the file ("The bit_depth is invalid");
    // such a depth is read as 0 and the CRC made to match. A chunk whose CRC
    // was wrong to begin with is left for libmng to report.
    static void MendJhdr(uint8_t* chunk) {
        const uint8_t colourType = chunk[8 + 8];
        uint8_t& alphaDepth = chunk[8 + 12];
        if ((colourType != 8 && colourType != 10) || alphaDepth == 0) return;
        if (!CrcMatches(chunk, kJhdrLength)) return;
        alphaDepth = 0;
        PutCrc(chunk, kJhdrLength);
    }

    // The alpha of a JNG in JDAA chunks is one JPEG stream. Writers have been
    // seen to store it progressive, which libmng refuses ("JHDR parameters &
    // JFIF-data do not match"); the run of JDAA chunks is gathered and such a
    // stream handed on as one JDAA chunk of the same coefficients in
    // sequential order, which decodes to the same samples. Anything else (a
    // sequential stream, a bad CRC, a cut file, a stream too large to hold)
    // goes to libmng as it was.
    void StageAlpha(ZtFile& stream, uint32_t length) {
        std::vector<uint8_t> jpeg;
        bool intact = true;
        for (;;) {
            chunkName_ = kJDAA;
            bodyLeft_ = uint64_t(length) + 4;
            const size_t header = stage_.size() - 8;
            if (uint64_t(length) > kMaxAlphaBytes - jpeg.size()) return;  // passes through
            if (!StageBody(stream, length)) return;
            intact = intact && CrcMatches(stage_.data() + header, length);
            jpeg.insert(jpeg.end(), stage_.begin() + long(header) + 8, stage_.end() - 4);
            // The next chunk: another JDAA continues the stream.
            const size_t at = stage_.size();
            stage_.resize(at + 8);
            const size_t got = stream.ReadBlocks(stage_.data() + at, 1, 8);
            stage_.resize(at + got);
            if (got < 8) {
                ended_ = true;
                return;
            }
            length = Get32BE(stage_.data() + at);
            const uint32_t name = Get32BE(stage_.data() + at + 4);
            if (name != kJDAA) {
                std::vector<uint8_t> sequential;
                if (intact && SequentialJpeg(jpeg, &sequential)) {
                    std::vector<uint8_t> chunk(8);
                    PutBE32(chunk.data(), uint32_t(sequential.size()));
                    PutBE32(chunk.data() + 4, kJDAA);
                    chunk.insert(chunk.end(), sequential.begin(), sequential.end());
                    chunk.resize(chunk.size() + 4);
                    PutCrc(chunk.data(), uint32_t(sequential.size()));
                    chunk.insert(chunk.end(), stage_.begin() + long(at), stage_.end());
                    stage_.swap(chunk);
                }
                BeginChunk(stream, length, name);
                return;
            }
        }
    }

    static bool CrcMatches(const uint8_t* chunk, uint32_t length) {
        return uint32_t(crc32(0, chunk + 4, 4 + length)) == Get32BE(chunk + 8 + length);
    }
    static void PutCrc(uint8_t* chunk, uint32_t length) {
        PutBE32(chunk + 8 + length, uint32_t(crc32(0, chunk + 4, 4 + length)));
    }
    static void PutBE32(uint8_t* p, uint32_t v) {
        for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (24 - 8 * i));
    }

    static constexpr uint32_t kJhdrLength = 16;
    // Longest layer header there is (BASI's, with every optional field);
    // a longer one is damage and ends the stream like an oversized layer.
    static constexpr uint32_t kMaxHeaderLength = 22;
    // Largest alpha JPEG gathered for reordering.
    static constexpr uint64_t kMaxAlphaBytes = ZTIMAGE_MAX_MEMORY / 4;
    std::vector<uint8_t> stage_;  // bytes read ahead (and perhaps mended), handed over first
    size_t stagePos_ = 0;
    uint64_t sincePause_ = 0;  // bytes handed over since the last pause
    uint64_t bodyLeft_ = 0;  // chunk bytes still to copy straight from the stream
    uint32_t chunkName_ = 0;
    uint8_t framingMode_ = 1;  // MNG's default framing mode
    bool signatureSeen_ = false;
    bool watchFramingMode_ = false;
    bool pausePending_ = false;
    bool paused_ = false;
    bool ended_ = false;
    bool refusedLayer_ = false;
};

}  // namespace

// Everything one decode holds: the libmng handle, the canvas libmng draws on,
// and the copy of the chosen frame. libmng hands it back to every callback as
// its user data.
struct ZtMngSession {
    mng_handle handle = nullptr;
    ZtFile* stream = nullptr;
    ChunkFeed feed;

    // Canvas from the header callback: rows bottom-up, red, green, blue.
    ZtBytes canvas;
    ZtBytes alpha;
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t rowStride = 0;
    uint32_t delay = 0;  // milliseconds of libmng's last timer request
    int32_t backgroundIndex = -1;
    ZtQuad backgroundColour{};

    // Frames.
    uint64_t drawnPixels = 0;
    bool drawnSinceBreak = false;
    int32_t wantedFrame = 0;
    int32_t framesSeen = 0;
    ZtBytes frameCanvas;
    ZtBytes frameAlpha;

    LibraryBudget budget;
    LibraryBudget* outerBudget;

    ZtMngSession() : outerBudget(tBudget) { tBudget = &budget; }
    ZtMngSession(const ZtMngSession&) = delete;
    ZtMngSession& operator=(const ZtMngSession&) = delete;
    ~ZtMngSession() {
        Release();
        tBudget = outerBudget;
    }

    // Safe to call more than once.
    void Release() {
        if (handle) Mng().mng_cleanup(&handle);
        handle = nullptr;
        budget.FreeLeftovers();
        canvas.reset();
        alpha.reset();
        frameCanvas.reset();
        frameAlpha.reset();
    }

    bool HaveWantedFrame() const { return frameCanvas != nullptr; }

    // A break in libmng's drawing: a frame ends there if anything was drawn
    // since the last one. Copies the canvas when it is the wanted frame;
    // false when that copy cannot be made.
    bool EndOfFrame() {
        if (!drawnSinceBreak) return true;
        drawnSinceBreak = false;
        ++framesSeen;
        return framesSeen - 1 != wantedFrame || KeepCanvas();
    }

    bool KeepCanvas() {
        if (!canvas || !alpha) return false;
        const size_t canvasBytes = size_t(rowStride) * height;
        const size_t alphaBytes = size_t(width) * height;
        frameCanvas = AllocateBytes(canvasBytes, false);
        frameAlpha = AllocateBytes(alphaBytes, false);
        if (!frameCanvas || !frameAlpha) {
            frameCanvas.reset();
            return false;
        }
        memcpy(frameCanvas.get(), canvas.get(), canvasBytes);
        memcpy(frameAlpha.get(), alpha.get(), alphaBytes);
        return true;
    }
};

namespace {

ZtMngSession& SessionOf(mng_handle handle) { return *static_cast<ZtMngSession*>(Mng().mng_get_userdata(handle)); }

// Errors go back to the caller of libmng as return codes; libmng keeps the
// text, which becomes the decode's message.
mng_bool MNG_DECL OnError(mng_handle, mng_int32, mng_int8, mng_chunkid, mng_uint32, mng_int32, mng_int32,
                          mng_pchar) {
    return MNG_FALSE;
}

mng_bool MNG_DECL OnOpenOrClose(mng_handle) { return MNG_TRUE; }

mng_bool MNG_DECL OnRead(mng_handle handle, mng_ptr buffer, mng_uint32 length, mng_uint32p count) {
    ZtMngSession& s = SessionOf(handle);
    *count = s.stream ? s.feed.Fill(*s.stream, static_cast<uint8_t*>(buffer), length) : 0;
    return MNG_TRUE;
}

// The picture size, once: makes the canvas. Sizes are checked before
// anything is allocated; returning false makes libmng stop with its own
// error, which the decode reports.
mng_bool MNG_DECL OnHeader(mng_handle handle, mng_uint32 width, mng_uint32 height) {
    ZtMngSession& s = SessionOf(handle);
    if (s.canvas || width == 0 || height == 0 || width > uint32_t(INT32_MAX) || height > uint32_t(INT32_MAX))
        return MNG_FALSE;
    const uint64_t rowStride = (uint64_t(width) * 24 + 31) / 32 * 4;
    uint64_t canvasBytes = 0, alphaBytes = 0, total = 0;
    if (!CheckedMul(rowStride, height, &canvasBytes) || !CheckedMul(width, height, &alphaBytes) ||
        !CheckedAdd(canvasBytes, alphaBytes, &total) || total > ZTIMAGE_MAX_MEMORY)
        return MNG_FALSE;

    s.width = width;
    s.height = height;
    s.rowStride = uint32_t(rowStride);
    if (Mng().mng_get_usebkgd(handle)) {
        mng_uint16 red = 0, green = 0, blue = 0;
        Mng().mng_get_bgcolor(handle, &red, &green, &blue);
        s.backgroundIndex = 0;
        s.backgroundColour = ZtQuad{uint8_t(blue >> 8), uint8_t(green >> 8), uint8_t(red >> 8), 0};
    }
    s.canvas = AllocateBytes(size_t(canvasBytes));
    if (!s.canvas) return MNG_FALSE;
    Mng().mng_set_canvasstyle(handle, MNG_CANVAS_RGB8_A8);
    s.alpha = AllocateBytes(size_t(alphaBytes));
    return s.alpha ? MNG_TRUE : MNG_FALSE;
}

// Canvas and alpha rows: libmng counts lines from the top, the canvas is
// stored bottom-up. A line past the canvas (libmng never asks for one) is
// kept on the canvas rather than handed out as a stray address.
mng_ptr MNG_DECL OnCanvasLine(mng_handle handle, mng_uint32 line) {
    ZtMngSession& s = SessionOf(handle);
    if (!s.canvas) return nullptr;
    s.drawnSinceBreak = true;
    s.drawnPixels += s.width + kLineCost;
    s.budget.drawnPixels = s.drawnPixels;
    if (s.drawnPixels > kMaxDrawnPixels) s.budget.exhausted = true;
    const uint32_t row = s.height - 1 - std::min(line, s.height - 1);
    return s.canvas.get() + size_t(row) * s.rowStride;
}

mng_ptr MNG_DECL OnAlphaLine(mng_handle handle, mng_uint32 line) {
    ZtMngSession& s = SessionOf(handle);
    if (!s.alpha) return nullptr;
    const uint32_t row = s.height - 1 - std::min(line, s.height - 1);
    return s.alpha.get() + size_t(row) * s.width;
}

mng_bool MNG_DECL OnRefresh(mng_handle, mng_uint32, mng_uint32, mng_uint32, mng_uint32) { return MNG_TRUE; }

// libmng times its frames with a millisecond clock; only differences matter,
// and it copes with the count wrapping.
mng_uint32 MNG_DECL OnTickCount(mng_handle) {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return mng_uint32(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

// Nothing waits here: the decode resumes libmng at once.
mng_bool MNG_DECL OnSetTimer(mng_handle handle, mng_uint32 milliseconds) {
    SessionOf(handle).delay = milliseconds;
    return MNG_TRUE;
}

// libmng's text for its last error.
const char* LibraryErrorText(mng_handle handle) {
    mng_int8 severity = 0;
    mng_chunkid chunk = 0;
    mng_uint32 sequence = 0;
    mng_int32 extra1 = 0, extra2 = 0;
    mng_pchar text = nullptr;
    Mng().mng_getlasterror(handle, &severity, &chunk, &sequence, &extra1, &extra2, &text);
    return text && *text ? text : "Error in MNG file";
}

// libmng lays its background layer on the RGB8_A8 canvas with alpha 0, so a
// partly transparent pixel keeps its own colour there, unblended. The rows
// are to show the frame over the white background (the alpha plane keeps
// libmng's alpha), so each such pixel is blended here; fully transparent
// pixels already hold the background.
void BlendOverWhite(ZtMngSession& s) {
    for (uint32_t y = 0; y < s.height; ++y) {
        uint8_t* row = s.frameCanvas.get() + size_t(y) * s.rowStride;
        const uint8_t* alpha = s.frameAlpha.get() + size_t(y) * s.width;
        for (uint32_t x = 0; x < s.width; ++x) {
            const uint32_t a = alpha[x];
            if (a == 255) continue;
            for (uint32_t c = 0; c < 3; ++c) {
                uint8_t& v = row[3 * x + c];
                v = uint8_t((v * a + 255 * (255 - a) + 127) / 255);
            }
        }
    }
}

bool IsLibraryError(mng_retcode rc) {
    return rc != MNG_NOERROR && rc != MNG_NEEDTIMERWAIT && rc != MNG_NEEDMOREDATA;
}

}  // namespace

bool ZtImageMNG::Decode(ZtFile* stream) {
    ZtMngSession session;
    return GuardDecode(*this, "ZtImageMNG::Decode cannot create image", [&] {
        if (!Mng().loaded) FailDecode("cannot load libmng.so.1");
        return Run(session, stream);
    });
}

DecodeOutcome ZtImageMNG::Run(ZtMngSession& s, ZtFile* stream) {
    if (!stream) return DecodeOutcome::Failed;
    s.handle = Mng().mng_initialize(&s, AllocateForLibrary, ReleaseForLibrary, MNG_NULL);
    if (!s.handle) FailDecode("could not initialize libmng");
    s.stream = stream;
    mng_handle h = s.handle;

    Mng().mng_set_srgb(h, MNG_TRUE);
    Mng().mng_set_bgcolor(h, 0xFFFF, 0xFFFF, 0xFFFF);
    Mng().mng_set_usebkgd(h, MNG_TRUE);
    Mng().mng_set_storechunks(h, MNG_FALSE);
    // Read suspension lets the chunk feed pause libmng where a frame ends.
    Mng().mng_set_suspensionmode(h, MNG_TRUE);
    Mng().mng_setcb_errorproc(h, OnError);
    Mng().mng_setcb_openstream(h, OnOpenOrClose);
    Mng().mng_setcb_closestream(h, OnOpenOrClose);
    Mng().mng_setcb_readdata(h, OnRead);
    Mng().mng_setcb_processheader(h, OnHeader);
    Mng().mng_setcb_getcanvasline(h, OnCanvasLine);
    Mng().mng_setcb_refresh(h, OnRefresh);
    Mng().mng_setcb_gettickcount(h, OnTickCount);
    Mng().mng_setcb_settimer(h, OnSetTimer);
    Mng().mng_setcb_getalphaline(h, OnAlphaLine);

    frameCount = 0;
    s.wantedFrame = frameIndex;
    const bool sizeOnly = SizeOnlyRequested();

    // libmng returns at every timer break and read pause; each is the end of
    // a frame when something was drawn since the last one.
    mng_retcode rc = Mng().mng_readdisplay(h);
    bool failed = false;
    for (uint32_t calls = 1;; ++calls) {
        if (IsLibraryError(rc)) {
            failed = true;
            break;
        }
        const bool pause = rc == MNG_NEEDMOREDATA && s.feed.TakePause();
        if ((rc != MNG_NEEDMOREDATA || pause) && !s.EndOfFrame())
            FailDecode("ZtImageMNG::Decode cannot create image");
        if (sizeOnly && s.canvas) break;
        // A suspension that is not ours is libmng waiting for data at the end
        // of a short stream: resuming lets it see the end.
        if (rc != MNG_NEEDMOREDATA && !Mng().mng_status_reading(h)) break;
        // Loops can repeat frames without end; what was found so far stands.
        if (calls >= kMaxLibraryCalls || s.budget.exhausted) break;
        rc = Mng().mng_display_resume(h);
    }

    // An error before the wanted frame was drawn fails the decode. A damaged
    // or cut tail after it leaves that frame whole, so the picture stands, with
    // the frames counted up to the damage; so does an animation stopped by the
    // drawing budget.
    if (failed && !(sizeOnly ? s.canvas != nullptr : s.HaveWantedFrame())) FailDecode(LibraryErrorText(h));
    if (s.feed.RefusedLayer() && !sizeOnly && !s.HaveWantedFrame()) FailDecode("Error in MNG file");
    if (!s.canvas) FailDecode("Error in MNG file");
    if (sizeOnly) return ReportSize(Mng().mng_get_imagewidth(h), Mng().mng_get_imageheight(h), ImageFormat::Mng);

    // Nothing drawn at all (no layer in the stream): the canvas is the one frame.
    if (s.framesSeen == 0 && s.wantedFrame == 0 && !s.KeepCanvas())
        FailDecode("ZtImageMNG::Decode cannot create image");
    frameCount = std::max(s.framesSeen, 1);
    if (frameIndex < 0 || frameIndex >= frameCount || !s.HaveWantedFrame())
        FailDecode("Error: frame not present in MNG file");

    if (s.backgroundIndex >= 0) {
        SetTransparentIndex(s.backgroundIndex);
        SetTransparentColor(s.backgroundColour);
    }
    if (!Create(s.width, s.height, 24, ImageFormat::Mng)) FailDecode("ZtImageMNG::Decode cannot create image");
    BlendOverWhite(s);
    // Same bottom-up layout and stride as the image's own 24-bit rows.
    memcpy(RowBits(0), s.frameCanvas.get(), size_t(s.rowStride) * s.height);
    SwapRedBlueAll();
    if (AddAlphaPlane() && HasAlphaPlane())
        memcpy(AlphaPointer(0, 0), s.frameAlpha.get(), size_t(s.width) * s.height);
    return DecodeOutcome::Done;
}
