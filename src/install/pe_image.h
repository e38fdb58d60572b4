// What an installer must be, beside its signature: a program image of its own kind, named as
// one, whose certificate table holds its signatures and nothing else. The signature's digest
// leaves that table out, so bytes hidden there would pass the signature check unseen.
#pragma once

#include <string>

#include "platform/file.h"

namespace pe_image {

// Why the open file at `path` may not start as an installer, or an empty text when it may: its
// name must end in ".exe" (in any case), its content must be a PE image, and every byte of its
// certificate table must belong to a signature entry (each rounded up to 8 bytes), each entry no
// longer than the signature it carries, rounded up likewise.
std::wstring FindProblem(const platform::InputFile& file, const std::wstring& path);

}  // namespace pe_image
