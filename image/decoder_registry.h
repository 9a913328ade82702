// The decoder table the dispatcher walks. Each entry runs one decoder class
// on a stream and moves its result into the caller's image.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "image/zt_image.h"
#include "image/zt_file.h"

struct DecoderEntry {
    uint32_t formatId;  // the id that selects this decoder (for a family: the first of them)
    uint32_t lastFormatId;  // ids formatId..lastFormatId share it
    // Decodes into the caller's image. On failure the decoder's message (and,
    // for multi-frame formats, its frame count) is copied back.
    bool (*run)(ZtImage& caller, ZtFile& stream, uint32_t formatId);
};

// Entries in the fixed order the try-every-decoder pass uses.
const DecoderEntry* DecoderTable(size_t* count);

// Glue for the common case: a decoder class with Decode(ZtFile*).
// Multi-frame decoders report their frame count even when they fail.
template <class Decoder, bool MultiFrame = false>
bool RunDecoder(ZtImage& caller, ZtFile& stream, uint32_t) {
    auto temp = std::make_unique<Decoder>();
    temp->InheritSettings(caller);
    if (temp->Decode(&stream)) return caller.TakeOver(*temp, true);
    caller.AdoptFailure(*temp, MultiFrame);
    return false;
}

#define ZT_DECODER(id, Class) DecoderEntry{id, id, &RunDecoder<Class>}
#define ZT_MULTIFRAME_DECODER(id, Class) DecoderEntry{id, id, &RunDecoder<Class, true>}
