// THROW-AWAY STAND-IN for the core's in-process job (StreamJob.h), kept only until the
// core's own implementation lands; delete this file then. Serial, no threads: each page is
// encoded with libjbig as the filter's encoder command line does, and the records go out
// in the filter's order.

extern "C" {
#include <jbig.h>
}

#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "JobParamsProc.h"
#include "Log.h"
#include "PbmFile.h"
#include "PrinterStream.h"
#include "StreamJob.h"

struct EncodedSide {
  std::vector<unsigned char> jbig;
  int32_t firstpage = 0;
};

struct StreamJob {
  StreamJobConfig config;
  bool headerWritten = false;
  int status = 0;
  int32_t rasterPages = 0;
  int32_t records = 0;
  int32_t firstWidth = 0;
  int32_t firstHeight = 0;
  bool havePending = false;  // the page before the current one, not yet written
  EncodedSide pending;
  int32_t pendingNumber = 0;
  bool haveFront = false;  // uncollated two-sided: the front of the sheet in hand
  EncodedSide front;
};

namespace {

void CollectJbig(unsigned char *start, size_t length, void *file) {
  auto *out = static_cast<std::vector<unsigned char> *>(file);
  out->insert(out->end(), start, start + length);
}

bool LongEdgeA5(const StreamJob &job) {
  return job.config.settings.settings.flagPageA5 == 1 && job.config.settings.settings.feedEdge == 1;
}

std::vector<unsigned char> Encode(unsigned char *bits, int32_t width, int32_t height) {
  std::vector<unsigned char> out;
  unsigned char *planes[1] = {bits};
  jbg_enc_state state;
  jbg_enc_init(&state, static_cast<unsigned long>(width), static_cast<unsigned long>(height), 1,
               planes, CollectJbig, &out);
  jbg_enc_layers(&state, 0);
  jbg_enc_options(&state, 0, JBG_TPBON | JBG_SDRST, 128, 0, 0);
  jbg_enc_out(&state);
  jbg_enc_free(&state);
  return out;
}

// Encodes a side, turning an A5 sheet fed long edge first; takes the bits.
bool EncodeSide(StreamJob *job, unsigned char *bits, int32_t width, int32_t height, int angle,
                EncodedSide *side) {
  if (LongEdgeA5(*job)) {
    const uint64_t turnedBytes = static_cast<uint64_t>(PbmStride(height)) * width;
    auto *turned = static_cast<unsigned char *>(calloc(turnedBytes ? turnedBytes : 1, 1));
    if (turned == nullptr) {
      free(bits);
      return false;
    }
    TurnBitmap(bits, width, height, angle, turned);
    free(bits);
    side->jbig = Encode(turned, height, width);
    free(turned);
    return true;
  }
  side->jbig = Encode(bits, width, height);
  free(bits);
  return true;
}

bool WriteHeader(StreamJob *job) {
  if (job->headerWritten) return true;
  job->headerWritten = true;
  char params[JOB_PARAMS_BUFFER_SIZE] = {};
  char *pointer = params;
  BuildJobParams(&pointer, job->config.settings.table);
  char loggable[JOB_PARAMS_BUFFER_SIZE] = {};
  BuildLoggableJobParams(loggable, sizeof loggable, job->config.settings.table);
  return WriteJobHeader(job->config.out, params, loggable);
}

bool Write(StreamJob *job, const EncodedSide &side, int32_t lastpage) {
  printer_header record;
  record.firstpage = side.firstpage;
  record.lastpage = lastpage;
  record.jbg_size = static_cast<uint32_t>(side.jbig.size());
  record.pageno = ++job->records;
  if (!WritePageRecord(job->config.out, record, lastpage, side.jbig.data(), side.jbig.size())) {
    job->status = 1;
    return false;
  }
  return true;
}

int32_t Copies(const StreamJob &job) {
  return job.config.settings.settings.copies > 1 ? job.config.settings.settings.copies : 1;
}

bool TwoSided(const StreamJob &job) { return job.config.settings.settings.duplexMode != 0; }

// Writes a side that is known not to be the last one, or the last one (isLast).
bool Emit(StreamJob *job, const EncodedSide &side, int32_t number, bool isLast) {
  const int32_t copies = Copies(*job);
  if (job->config.settings.collate != 0) {
    return Write(job, side, isLast ? 1 : 0);
  }
  if (!TwoSided(*job)) {
    for (int32_t copy = 1; copy <= copies; ++copy) {
      if (!Write(job, side, isLast && copy == copies ? 1 : 0)) return false;
    }
    return true;
  }
  if (number % 2 == 1) {
    job->front = side;
    job->haveFront = true;
    return true;
  }
  for (int32_t copy = 1; copy <= copies; ++copy) {
    if (!Write(job, job->front, 0)) return false;
    if (!Write(job, side, isLast && copy == copies ? 1 : 0)) return false;
  }
  job->haveFront = false;
  return true;
}

bool FlushPending(StreamJob *job, bool isLast) {
  if (!job->havePending) return true;
  job->havePending = false;
  const bool needsBlank = isLast && TwoSided(*job) && job->pendingNumber % 2 == 1;
  if (!Emit(job, job->pending, job->pendingNumber, isLast && !needsBlank)) return false;
  if (!needsBlank) return true;
  const int32_t width = static_cast<int32_t>(PbmStride(job->firstWidth) * 8);
  const uint64_t bytes = static_cast<uint64_t>(PbmStride(width)) * job->firstHeight;
  auto *blank = static_cast<unsigned char *>(calloc(bytes ? bytes : 1, 1));
  if (blank == nullptr) {
    job->status = 255;
    return false;
  }
  EncodedSide side;
  if (!EncodeSide(job, blank, width, job->firstHeight, -90, &side)) {
    job->status = 255;
    return false;
  }
  if (job->config.settings.collate != 0) {
    // The blank back ends the job, but not when more copies of it follow.
    return Write(job, side, Copies(*job) > 1 ? 0 : 1);
  }
  return Emit(job, side, job->pendingNumber + 1, true);
}

}  // namespace

StreamJob *StartStreamJob(const StreamJobConfig &config) {
  auto *job = new (std::nothrow) StreamJob;
  if (job == nullptr) return nullptr;
  job->config = config;
  return job;
}

int AddStreamJobPage(StreamJob *job, unsigned char *bits, int32_t width, int32_t height) {
  if (job->status != 0) {
    free(bits);
    return job->status;
  }
  if (width <= 0 || height <= 0) {
    free(bits);
    LogLine("ERROR: page of %dx%d pixels\n", width, height);
    return job->status = 1;
  }
  if (!WriteHeader(job)) {
    free(bits);
    return job->status = 1;
  }
  if (!FlushPending(job, false)) {
    free(bits);
    return job->status;
  }
  job->rasterPages += 1;
  if (job->rasterPages == 1) {
    job->firstWidth = width;
    job->firstHeight = height;
  }
  const int angle = !TwoSided(*job) || job->rasterPages % 2 == 1 ? -90 : 90;
  EncodedSide side;
  if (!EncodeSide(job, bits, width, height, angle, &side)) return job->status = 255;
  side.firstpage = job->rasterPages == 1 ? 1 : 0;
  job->pending = std::move(side);
  job->pendingNumber = job->rasterPages;
  job->havePending = true;
  return 0;
}

int FinishStreamJob(StreamJob *job) {
  if (job->status == 0) FlushPending(job, true);
  if (job->status == 0 && job->headerWritten && fflush(job->config.out) != 0) job->status = 1;
  const int status = job->status;
  delete job;
  return status;
}
