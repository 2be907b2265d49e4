#pragma once
// Every page takes the same few large blocks again (its pixels, a turned copy, the JBIG
// data). Kept in the heap once freed, they serve the next page; handed back to the system,
// they are faulted in and cleared again page by page. The peak stays what the pages in
// hand need.

// Called once, at the start of a program that converts pages.
void KeepPageBlocksInHeap();
