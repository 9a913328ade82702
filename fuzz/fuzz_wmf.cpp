// Fuzz target for the metafile loader, seeded with placeable Windows metafiles.
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_metafile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) { return FuzzMetafile(data, size); }
