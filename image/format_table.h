// The format table: one row per format id, in the order the try-every-decoder
// pass walks them. The image core owns the row type, the extension lookup and
// the dispatch; the codecs layer supplies the rows at start-up through
// InstallFormatTable, so nothing in the image core depends on a decoder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "image/zt_file.h"
#include "image/zt_image.h"

// Runs one decoder on a stream and moves its result into the caller's image.
// On failure the decoder's message (and, for multi-frame formats, its frame
// count) is copied back instead.
using DecodeEntry = bool (*)(ZtImage& caller, ZtFile& stream, uint32_t formatId);

struct FormatRow {
    uint32_t id;
    // Three-letter extensions separated by spaces ("jpg jpe jfi"); the lookup
    // compares the first three characters of a file's extension with them.
    const char* extensions;
    // Null: the format is known (its extensions map to it) but this build has
    // no decoder for it.
    DecodeEntry decode;
    // False for the later ids of a family that shares one decoder: the pass
    // over every decoder runs that decoder once, at the family's first row.
    bool tryAll;
};

// Makes rows the table the loader uses. The rows must outlive every decode;
// installing again replaces the table.
void InstallFormatTable(const FormatRow* rows, size_t count);

// The installed row of id, or null.
const FormatRow* FindFormatRow(uint32_t id);

// Glue for the common case: a decoder class with Decode(ZtFile*).
template <class Decoder, bool MultiFrame = false>
bool RunDecoder(ZtImage& caller, ZtFile& stream, uint32_t) {
    auto temp = std::make_unique<Decoder>();
    temp->InheritSettings(caller);
    if (temp->Decode(&stream)) return caller.TakeOver(*temp, true);
    caller.AdoptFailure(*temp, MultiFrame);
    return false;
}

// A family decoder with Decode(ZtFile*, formatId): it learns which id of the
// family was asked for (0 from the pass over every decoder).
template <class Decoder, bool MultiFrame = false>
bool RunFamilyDecoder(ZtImage& caller, ZtFile& stream, uint32_t formatId) {
    auto temp = std::make_unique<Decoder>();
    temp->InheritSettings(caller);
    if (temp->Decode(&stream, formatId)) return caller.TakeOver(*temp, true);
    caller.AdoptFailure(*temp, MultiFrame);
    return false;
}
