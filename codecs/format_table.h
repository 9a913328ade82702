// The codecs layer's format table: every format id with its extensions and
// decoder, in the order the try-every-decoder pass walks them.
#pragma once

// Installs the table into the image core's loader. Call once before loading;
// calling again does no harm.
void InstallCodecs();
