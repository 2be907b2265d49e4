#pragma once
// The stripe data of a JBIG bi-level image (ITU-T T.82) as the printer takes it: one layer,
// no differential layers, 128-line stripes each ended by SDRST, typical prediction on, the
// three-line template with its adaptive pixel where it starts, no moves of it. Nothing else
// of the standard is here: no other options, no decoder.
//
// The coder is written for pages of print: lines equal to the line above cost one coded
// symbol, white stretches one step per renormalisation of the coder, and the contexts come
// from machine words of three lines. Its bytes are those of the reference encoder with the
// same parameters, the end of each stripe included.

#include <cstddef>
#include <cstdint>

#include "JbigMemoryEncoder.h"

// The bi-level image header that starts the data.
inline constexpr size_t JBIG_IMAGE_HEADER_BYTES = 20;

enum class JbigCodeResult { Ok, NoMemory, PastLimit };

// Appends to *out the image header of a page of width x height pixels.
JbigCodeResult AppendJbigImageHeader(int32_t width, int32_t height, JbigBytes *out, uint64_t limit);

// Appends to *out the coded stripes of `rows` rows (1 or more) starting at `bits`, each row
// PbmStride(width) bytes, most significant bit leftmost, set bit black; the padding bits
// past the width are not looked at. The rows start a stripe: the first 128 are the first
// stripe, and so on. The page is only read. *out grows as needed (its data malloc'd), never
// past `limit` bytes in all; on a failure it holds what was coded so far.
JbigCodeResult AppendJbigStripes(const unsigned char *bits, int32_t width, int32_t rows,
                                 JbigBytes *out, uint64_t limit);
