#include "codecs/builtin/row_cursor.h"

#include <cstring>

#include "image/zt_image.h"

void RowCursor::Attach(ZtImage* image) {
    image_ = image;
    row_ = 0;
    rowPtr_ = image ? image->RowBits(0) : nullptr;
}

uint8_t* RowCursor::ToTopRow() {
    if (!image_ || image_->Height() <= 0) return rowPtr_;
    row_ = image_->Height() - 1;
    rowPtr_ = image_->RowBits(uint32_t(row_));
    return rowPtr_;
}

bool RowCursor::PreviousRow() {
    --row_;
    if (row_ < 0 || !image_) return false;
    if (rowPtr_) rowPtr_ -= image_->RowStride();
    return true;
}

uint8_t* RowCursor::SetRow(int32_t row) {
    if (image_ && row >= 0 && row < image_->Height()) {
        row_ = row;
        rowPtr_ = image_->RowBits(uint32_t(row));
    }
    return rowPtr_;
}

void RowCursor::WriteRow(const uint8_t* bytes, int32_t count) {
    if (!rowPtr_ || !bytes || !image_ || row_ < 0 || row_ >= image_->Height()) return;
    const uint32_t stride = image_->RowStride();
    const uint32_t n = (count < 0 || uint32_t(count) > stride) ? stride : uint32_t(count);
    memcpy(rowPtr_, bytes, n);
}
