#pragma once
// The reference that the core's own JBIG encoder is held to: libjbig with the parameters
// of the filter's pbmtojbg command line, called as that command calls it. For the tests,
// the fuzz target and the benchmarks; no program that prints uses it.

#include <vector>

// Encodes height rows of (width + 7) / 8 bytes into *out. libjbig clears the padding bits
// past the width in every row first, as it does for pbmtojbg, so the rows must be writable.
// False for a page without pixels or size.
bool EncodeJbigWithLibjbig(unsigned char *bits, int width, int height,
                           std::vector<unsigned char> *out);
