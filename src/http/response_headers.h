// What the engine reads of an answer's headers: the status, the validators (ETag,
// Last-Modified), Content-Range and Content-Length of each answer, as pure functions of the header
// lines, and the libcurl header callbacks that feed them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace http_transfer {

// The validators of the last answer whose headers libcurl has passed on: those of the final
// answer after redirects.
struct ValidatorHeaders {
    long status = 0;
    std::string etag;
    std::string lastModified;
    // A ranged answer's Content-Range "bytes FIRST-LAST/TOTAL": the inclusive bounds of the
    // bytes it carries and the file's whole length; -1 for each that is not given.
    int64_t rangeFirst = -1;
    int64_t rangeLast = -1;
    int64_t rangeTotal = -1;
    // The body's length as the answer's Content-Length gives it; -1 when it gives none.
    int64_t contentLength = -1;
};

// The validator a later download compares: the ETag, else the Last-Modified date; empty when
// the answer has neither.
std::string ValidatorOf(const ValidatorHeaders& headers);

// Reads one header line (with or without its line end) into `headers`: a status line starts a
// new answer; the other lines keep what the engine reads of them and leave the rest. Anything a
// server may send is taken: what is not understood is left out.
void ReadHeaderLine(const std::string& line, ValidatorHeaders& headers);

// A decimal number of 1 to 18 digits (so that it fits a signed 64-bit value), else -1.
int64_t ParseByteCount(const std::string& text);

// "bytes FIRST-LAST/TOTAL" into the range fields; each part that is not a plain number (such as
// the "*" of an unsatisfiable range) stays -1.
void ParseContentRange(const std::string& value, ValidatorHeaders& headers);

// libcurl header callback of the size probe: accepts every header line and keeps nothing.
size_t DiscardHeader(char* data, size_t size, size_t count, void* unused);

// libcurl header callback that keeps the status and validators of each answer in a
// ValidatorHeaders, starting afresh at each status line.
size_t CollectValidatorHeader(char* data, size_t size, size_t count, void* headers);

}  // namespace http_transfer
