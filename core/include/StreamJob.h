#pragma once
// A whole job through the core in one process: pages in, the printer stream out. The
// converter and the printer application feed it. Pages are encoded in process on worker
// threads while the next page is read, and the records come out in the order and with
// the flags the filter gives them: the same bytes for the same pixels and settings.

#include <cstdint>
#include <cstdio>

#include "IppJobAttributes.h"

struct StreamJob;

struct StreamJobConfig {
  JobSettings settings;  // the job's table (final: the duplex check has run) and settings
  FILE *out = nullptr;   // the printer stream
  int threads = 0;       // encoding threads; 0: one per core, 1: no threads at all
};

// Starts a job. Nothing is written until its first page arrives, so a job without pages
// gives an empty stream. Null only when memory runs out.
StreamJob *StartStreamJob(const StreamJobConfig &config);

// Hands over one page as the document gives it (not turned): height rows of
// (width + 7) / 8 bytes, most significant bit leftmost, set bit black. The job takes the
// malloc'd bits and frees them. A5 sheets fed long edge first are turned here. Returns 0
// to go on, or the exit status that ends the job: 1 for a page the printer cannot take
// or a stream that cannot be written, 255 for a page that cannot be encoded.
int AddStreamJobPage(StreamJob *job, unsigned char *bits, int32_t width, int32_t height);

// Ends the job: every page handed over is written, the last one as the job's last page
// (also when the job was cancelled after it). Returns 0, or the exit status of the first
// failure, and frees the job. A job that has failed writes nothing more.
int FinishStreamJob(StreamJob *job);

// Ends a job whose input failed: nothing more is written (records already written stay
// whole), and the job is freed.
void AbandonStreamJob(StreamJob *job);
