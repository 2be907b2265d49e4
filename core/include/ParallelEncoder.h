#pragma once
// A bounded, ordered pool that encodes pages as JBIG on worker threads while the producer
// reads the next page. Each page is cut into pieces of whole stripes (EncodeJbigPiece), so
// that the workers share even a single page and no worker idles at the end of a job while
// another finishes its last page; the pieces are joined into the bytes EncodeJbigInMemory
// gives. Results come out strictly in the order the pages went in, and at most a fixed
// number of pages (their bitmaps or their JBIG data) are held at any time, never the whole
// job.
//
// One producer submits, one consumer takes; they may be the same thread or two. A thread
// that does both must take before it submits into a full pool (ParallelEncoderInFlight
// equals ParallelEncoderLimit), and may wait in TakeEncodedPage only for pages it has
// already submitted: either wait would otherwise last for ever.

#include <cstddef>
#include <cstdint>

#include "JbigMemoryEncoder.h"

// A page handed to the pool. bits is malloc'd, height rows of PbmStride(width) bytes; the
// pool owns it from the call of SubmitPage on, whatever that returns, and frees it.
struct PageToEncode {
  unsigned char *bits = nullptr;
  int32_t width = 0;
  int32_t height = 0;
  void *tag = nullptr;  // the caller's, handed back with the result untouched
};

// One page's result. On ok, jbig holds the data and the taker releases it
// (ReleaseJbigBytes); otherwise jbig is empty and error says why.
struct EncodedPage {
  void *tag = nullptr;
  bool ok = false;
  JbigBytes jbig;
  char error[JBIG_ERROR_TEXT_SIZE] = {};
};

// The shape of EncodeJbigPiece.
using JbigPieceEncoder = bool (*)(const unsigned char *bits, int32_t width, int32_t height,
                                  int32_t firstStripe, int32_t stripeCount, JbigBytes *out,
                                  char *error, size_t errorSize);

struct ParallelEncoderConfig {
  // Worker threads: 0 for one per core available to the process; 1 for none at all, every
  // page then being encoded inside SubmitPage on the submitting thread.
  int threads = 0;
  // Pages submitted and not yet taken: 0 for threads + 2, so that every worker has a page
  // while one result waits to be taken and the next page is being read.
  int maxInFlight = 0;
  // Pieces a page is cut into, of equal numbers of stripes but the last: 0 for two per worker
  // thread (one with no workers), each then of at least PARALLEL_ENCODER_MIN_PIECE_STRIPES
  // stripes; never more than the page has stripes, nor PARALLEL_ENCODER_MAX_PIECES.
  int piecesPerPage = 0;
  // Called for the tag of every page the pool drops without handing it back (abort, a
  // submission refused, pages left at StopParallelEncoder); may be null. Null tags are not
  // passed to it.
  void (*releaseTag)(void *tag) = nullptr;
  // The piece encoder, called on the workers; null for EncodeJbigPiece. Another one must be
  // as safe to run on several threads at once, for pieces of one page too.
  JbigPieceEncoder encode = nullptr;
};

// The most threads and pages in flight a pool takes; larger requests are cut to these.
inline constexpr int PARALLEL_ENCODER_MAX_THREADS = 64;
inline constexpr int PARALLEL_ENCODER_MAX_IN_FLIGHT = 256;
inline constexpr int PARALLEL_ENCODER_MAX_PIECES = 16;
inline constexpr int PARALLEL_ENCODER_MIN_PIECE_STRIPES = 4;

struct ParallelEncoder;

enum class TakeResult {
  Taken,     // *page holds the next result in submission order
  NotReady,  // TryTakeEncodedPage only: the next page is not encoded yet
  NoMore,    // submitting is finished and every result has been taken
  Aborted,   // the pool was aborted; nothing more comes out
};

// Starts the workers. Null when the pool cannot be set up (no memory, a thread that cannot
// be started), with the reason in error (errorSize bytes, may be null).
ParallelEncoder *StartParallelEncoder(const ParallelEncoderConfig &config, char *error,
                                      size_t errorSize);

// Queues the next page, waiting while the pool is full. False when the pool was aborted or
// submitting finished: the page is then dropped (bits freed, tag released).
bool SubmitPage(ParallelEncoder *pool, PageToEncode page);

// No more pages come: workers end when the queue is empty, and TakeEncodedPage gives
// NoMore once every result has been taken.
void FinishSubmitting(ParallelEncoder *pool);

// The next result in submission order, waiting until it is encoded (or submitted).
TakeResult TakeEncodedPage(ParallelEncoder *pool, EncodedPage *page);
// The same without waiting.
TakeResult TryTakeEncodedPage(ParallelEncoder *pool, EncodedPage *page);

// For a job that fails or is cancelled: workers take no new piece (pieces being encoded are
// finished and dropped), waiting submitters and takers return at once. Safe from any thread
// of the job; not from a signal handler.
void AbortParallelEncoder(ParallelEncoder *pool);

// Ends the pool: aborts it unless submitting finished and every result was taken, waits for
// the workers, frees every page and result not taken (releasing their tags) and the pool.
// No other call on the pool may be running or follow.
void StopParallelEncoder(ParallelEncoder *pool);

int ParallelEncoderThreads(const ParallelEncoder *pool);  // 1 when pages are encoded inline
// The pieces a page of that height is cut into.
int ParallelEncoderPieces(const ParallelEncoder *pool, int32_t height);
int ParallelEncoderLimit(const ParallelEncoder *pool);
int ParallelEncoderInFlight(ParallelEncoder *pool);  // submitted and not yet taken
