// How a decode ends, and the one place where a decoder's failures are caught.
//
// Inside a decoder a failure is raised as DecodeFailure (or std::bad_alloc)
// and caught once, by GuardDecode, at the end of the decoder's Decode. The
// decoder's own work returns a DecodeOutcome: Done with pixels, SizeOnly when
// dimensions-only mode stopped it after the header (ZtImage::ReportSize), or
// Failed with the reason already in lastError.
#pragma once

#include <new>
#include <string>

#include "image/zt_image.h"

enum class DecodeOutcome { Done, SizeOnly, Failed };

struct DecodeFailure {
    std::string message;  // empty: keep the message already in lastError
};

// Raises a failure with a message of the format's own.
[[noreturn]] inline void FailDecode(const char* message) { throw DecodeFailure{message ? message : ""}; }

// Runs body (which returns a DecodeOutcome) and turns the outcome into the
// decoder's boolean result: Done and SizeOnly succeed. A raised failure leaves
// its message in the image; an allocation failure leaves allocMessage, or
// keeps lastError when that is null (decoders that fail without a message).
template <class Body>
bool GuardDecode(ZtImage& image, const char* allocMessage, Body&& body) {
    try {
        return body() != DecodeOutcome::Failed;
    } catch (const DecodeFailure& failure) {
        if (!failure.message.empty()) image.SetLastError(failure.message.c_str());
    } catch (const std::bad_alloc&) {
        if (allocMessage) image.SetLastError(allocMessage);
    }
    return false;
}
