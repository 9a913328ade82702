// RowCursor walks the storage rows of one image (row 0 is the bottom line),
// so decoders that receive rows top-down or by row number write them in place.
#pragma once

#include <cstdint>

class ZtImage;

class RowCursor {
public:
    void Attach(ZtImage* image);
    // Moves to the top picture line (row height - 1); returns its pointer.
    uint8_t* ToTopRow();
    // One row down; false (pointer unchanged) once the row has gone below 0.
    bool PreviousRow();
    // Moves to row when it exists; otherwise nothing changes. Returns the row pointer.
    uint8_t* SetRow(int32_t row);
    // Copies min(count, stride) bytes into the current row; a negative count
    // copies the whole stride.
    void WriteRow(const uint8_t* bytes, int32_t count);

    int32_t Row() const { return row_; }
    uint8_t* RowPointer() const { return rowPtr_; }

private:
    ZtImage* image_ = nullptr;
    int32_t row_ = 0;
    uint8_t* rowPtr_ = nullptr;
};
