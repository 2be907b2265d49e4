#include "PageBlockHeap.h"

#include <malloc.h>

void KeepPageBlocksInHeap() {
  mallopt(M_MMAP_THRESHOLD, 32 * 1024 * 1024);
  mallopt(M_TRIM_THRESHOLD, 256 * 1024 * 1024);
}
