#include "ParallelEncoder.h"

#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

enum class SlotState { Free, Encoding, Done };

// Page number n (counted from 0 in submission order) lives in slot n % limit from its
// submission until it is taken. A slot is reused only after its page was taken, and pages
// are taken in order, so at most `limit` pages are ever held.
struct Slot {
  SlotState state = SlotState::Free;
  PageToEncode page;  // its bits are freed once every piece is encoded
  int32_t pieces = 0;
  int32_t stripesPerPiece = 0;
  int32_t piecesStarted = 0;
  int32_t piecesDone = 0;
  JbigBytes pieceData[PARALLEL_ENCODER_MAX_PIECES];
  bool failed = false;
  char error[JBIG_ERROR_TEXT_SIZE] = {};
  EncodedPage result;  // when Done
};

int CoresAvailable() {
  cpu_set_t cpus;
  CPU_ZERO(&cpus);
  if (sched_getaffinity(0, sizeof cpus, &cpus) == 0 && CPU_COUNT(&cpus) > 0) {
    return CPU_COUNT(&cpus);
  }
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<int>(online) : 1;
}

int Clamp(int value, int low, int high) { return value < low ? low : value > high ? high : value; }

}  // namespace

struct ParallelEncoder {
  pthread_mutex_t mutex;
  pthread_cond_t room;   // a result was taken, or the pool ended
  pthread_cond_t work;   // a page was queued, or submitting finished, or the pool ended
  pthread_cond_t ready;  // a page was encoded or submitted, or submitting finished, or ended
  Slot *slots;
  int limit;
  int threadCount;  // 1: no workers, SubmitPage encodes
  pthread_t *threads;
  int threadsStarted;
  int piecesWanted;  // per page, before the page's own stripes limit them
  bool piecesAsked;  // piecesWanted was given, not derived from the threads
  void (*releaseTag)(void *tag);
  JbigPieceEncoder encode;
  // Counts of pages in submission order; taken <= encodingNext <= submitted, and
  // submitted - taken <= limit. Page encodingNext is the first with a piece not yet started.
  uint64_t submitted;
  uint64_t encodingNext;
  uint64_t taken;
  bool finished;
  bool aborted;
};

namespace {

Slot &SlotOf(ParallelEncoder *pool, uint64_t page) {
  return pool->slots[page % static_cast<uint64_t>(pool->limit)];
}

void ReleaseTag(const ParallelEncoder *pool, void **tag) {
  if (pool->releaseTag != nullptr && *tag != nullptr) pool->releaseTag(*tag);
  *tag = nullptr;
}

void DropPage(const ParallelEncoder *pool, PageToEncode *page) {
  free(page->bits);
  page->bits = nullptr;
  ReleaseTag(pool, &page->tag);
}

// Everything a slot holds goes: what is left of the page, its pieces, its result.
void ClearSlot(const ParallelEncoder *pool, Slot *slot) {
  DropPage(pool, &slot->page);
  for (JbigBytes &piece : slot->pieceData) ReleaseJbigBytes(&piece);
  ReleaseJbigBytes(&slot->result.jbig);
  ReleaseTag(pool, &slot->result.tag);
  *slot = Slot();
}

struct PiecePlan {
  int32_t pieces;
  int32_t stripesPerPiece;
};

// A page that cannot be encoded (no pixels, no size) goes as one piece, so that the encoder
// says what is wrong with it.
PiecePlan PlanPieces(const ParallelEncoder *pool, int32_t height, bool encodable) {
  const int32_t stripes = JbigStripeCount(height);
  if (!encodable || stripes < 1) return {1, 1};
  const int32_t most = pool->piecesAsked
                           ? stripes
                           : std::max<int32_t>(1, stripes / PARALLEL_ENCODER_MIN_PIECE_STRIPES);
  const int32_t wanted = std::min<int32_t>(pool->piecesWanted, most);
  const int32_t stripesPerPiece = (stripes + wanted - 1) / wanted;
  return {(stripes + stripesPerPiece - 1) / stripesPerPiece, stripesPerPiece};
}

// The pieces, joined in stripe order into the page's result. Runs unlocked: every piece of
// the page is done, so the slot is the caller's alone until it is marked Done.
void JoinPieces(Slot *slot) {
  EncodedPage &result = slot->result;
  result = EncodedPage();
  result.tag = slot->page.tag;
  slot->page.tag = nullptr;
  free(slot->page.bits);
  slot->page.bits = nullptr;
  if (slot->failed) {
    memcpy(result.error, slot->error, sizeof result.error);
  } else if (slot->pieces == 1) {
    result.jbig = slot->pieceData[0];
    slot->pieceData[0] = JbigBytes();
    result.ok = true;
  } else {
    size_t total = 0;
    for (int32_t i = 0; i < slot->pieces; ++i) total += slot->pieceData[i].size;
    unsigned char *joined = static_cast<unsigned char *>(malloc(total));
    if (joined == nullptr) {
      FormatJbigError(result.error, sizeof result.error,
                      "no memory to join the %zu bytes of JBIG data of a page", total);
    } else {
      size_t at = 0;
      for (int32_t i = 0; i < slot->pieces; ++i) {
        memcpy(joined + at, slot->pieceData[i].data, slot->pieceData[i].size);
        at += slot->pieceData[i].size;
      }
      result.jbig.data = joined;
      result.jbig.size = total;
      result.jbig.capacity = total;
      result.ok = true;
    }
  }
  for (JbigBytes &piece : slot->pieceData) ReleaseJbigBytes(&piece);
}

// Encodes the next piece not yet started. Called with the mutex held, and returns with it
// held; the encoding runs unlocked. The worker that finishes a page's last piece joins them.
void EncodeNextPiece(ParallelEncoder *pool) {
  Slot &slot = SlotOf(pool, pool->encodingNext);
  const int32_t piece = slot.piecesStarted++;
  if (slot.piecesStarted == slot.pieces) ++pool->encodingNext;
  const PageToEncode page = slot.page;
  const int32_t first = piece * slot.stripesPerPiece;
  const int32_t count = std::min(slot.stripesPerPiece, JbigStripeCount(page.height) - first);
  pthread_mutex_unlock(&pool->mutex);

  JbigBytes data;
  char error[JBIG_ERROR_TEXT_SIZE] = "";
  const bool ok = pool->encode(page.bits, page.width, page.height, first, std::max(count, 1), &data,
                               error, sizeof error);
  if (!ok) ReleaseJbigBytes(&data);

  pthread_mutex_lock(&pool->mutex);
  slot.pieceData[piece] = data;
  if (!ok && !slot.failed) {
    slot.failed = true;
    memcpy(slot.error, error, sizeof slot.error);
  }
  if (++slot.piecesDone < slot.pieces) return;
  pthread_mutex_unlock(&pool->mutex);
  // The bitmap goes as soon as the page is encoded: only the (much smaller) JBIG data waits.
  JoinPieces(&slot);
  pthread_mutex_lock(&pool->mutex);
  slot.state = SlotState::Done;
  pthread_cond_broadcast(&pool->ready);
}

void *RunWorker(void *argument) {
  ParallelEncoder *pool = static_cast<ParallelEncoder *>(argument);
  pthread_mutex_lock(&pool->mutex);
  for (;;) {
    while (!pool->aborted && !pool->finished && pool->encodingNext == pool->submitted) {
      pthread_cond_wait(&pool->work, &pool->mutex);
    }
    if (pool->aborted || pool->encodingNext == pool->submitted) break;
    EncodeNextPiece(pool);
  }
  pthread_mutex_unlock(&pool->mutex);
  return nullptr;
}

void Wake(ParallelEncoder *pool) {
  pthread_cond_broadcast(&pool->room);
  pthread_cond_broadcast(&pool->work);
  pthread_cond_broadcast(&pool->ready);
}

// Joins the workers and frees everything; for a pool whose workers were told to end.
void Dismantle(ParallelEncoder *pool) {
  for (int i = 0; i < pool->threadsStarted; ++i) pthread_join(pool->threads[i], nullptr);
  for (int i = 0; i < pool->limit; ++i) {
    ClearSlot(pool, &pool->slots[i]);
    pool->slots[i].~Slot();
  }
  free(pool->slots);
  free(pool->threads);
  pthread_cond_destroy(&pool->ready);
  pthread_cond_destroy(&pool->work);
  pthread_cond_destroy(&pool->room);
  pthread_mutex_destroy(&pool->mutex);
  free(pool);
}

// Starts the workers with every signal blocked, so that signals meant for the job (SIGTERM
// above all) reach the threads that read and write it, never an encoder.
bool StartWorkers(ParallelEncoder *pool, char *error, size_t errorSize) {
  sigset_t all;
  sigset_t previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  int failure = 0;
  for (int i = 0; i < pool->threadCount; ++i) {
    failure = pthread_create(&pool->threads[i], nullptr, RunWorker, pool);
    if (failure != 0) break;
    ++pool->threadsStarted;
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (failure == 0) return true;
  FormatJbigError(error, errorSize, "cannot start encoder thread %d of %d: %s",
                  pool->threadsStarted + 1, pool->threadCount, strerror(failure));
  return false;
}

TakeResult Take(ParallelEncoder *pool, bool wait, EncodedPage *page) {
  pthread_mutex_lock(&pool->mutex);
  TakeResult outcome;
  for (;;) {
    Slot &slot = SlotOf(pool, pool->taken);
    if (pool->aborted) {
      outcome = TakeResult::Aborted;
    } else if (pool->taken < pool->submitted && slot.state == SlotState::Done) {
      *page = slot.result;
      slot = Slot();
      ++pool->taken;
      pthread_cond_broadcast(&pool->room);
      outcome = TakeResult::Taken;
    } else if (pool->taken == pool->submitted && pool->finished) {
      outcome = TakeResult::NoMore;
    } else if (!wait) {
      outcome = TakeResult::NotReady;
    } else {
      pthread_cond_wait(&pool->ready, &pool->mutex);
      continue;
    }
    break;
  }
  pthread_mutex_unlock(&pool->mutex);
  return outcome;
}

}  // namespace

ParallelEncoder *StartParallelEncoder(const ParallelEncoderConfig &config, char *error,
                                      size_t errorSize) {
  const int threads = Clamp(config.threads > 0 ? config.threads : CoresAvailable(), 1,
                            PARALLEL_ENCODER_MAX_THREADS);
  const int limit = Clamp(config.maxInFlight > 0 ? config.maxInFlight : threads + 2, 1,
                          PARALLEL_ENCODER_MAX_IN_FLIGHT);
  ParallelEncoder *pool = static_cast<ParallelEncoder *>(calloc(1, sizeof(ParallelEncoder)));
  Slot *slots = static_cast<Slot *>(calloc(static_cast<size_t>(limit), sizeof(Slot)));
  pthread_t *workers =
      threads > 1
          ? static_cast<pthread_t *>(calloc(static_cast<size_t>(threads), sizeof(pthread_t)))
          : nullptr;
  if (pool == nullptr || slots == nullptr || (threads > 1 && workers == nullptr)) {
    FormatJbigError(error, errorSize, "no memory for an encoding pool of %d pages", limit);
    free(pool);
    free(slots);
    free(workers);
    return nullptr;
  }
  for (int i = 0; i < limit; ++i) new (&slots[i]) Slot();
  pool->slots = slots;
  pool->limit = limit;
  pool->threadCount = threads;
  pool->threads = workers;
  pool->piecesAsked = config.piecesPerPage > 0;
  pool->piecesWanted = Clamp(pool->piecesAsked ? config.piecesPerPage
                             : threads > 1     ? 2 * threads
                                               : 1,
                             1, PARALLEL_ENCODER_MAX_PIECES);
  pool->releaseTag = config.releaseTag;
  pool->encode = config.encode != nullptr ? config.encode : EncodeJbigPiece;
  pthread_mutex_init(&pool->mutex, nullptr);
  pthread_cond_init(&pool->room, nullptr);
  pthread_cond_init(&pool->work, nullptr);
  pthread_cond_init(&pool->ready, nullptr);
  if (threads > 1 && !StartWorkers(pool, error, errorSize)) {
    AbortParallelEncoder(pool);
    Dismantle(pool);
    return nullptr;
  }
  return pool;
}

bool SubmitPage(ParallelEncoder *pool, PageToEncode page) {
  pthread_mutex_lock(&pool->mutex);
  while (!pool->aborted && !pool->finished &&
         pool->submitted - pool->taken == static_cast<uint64_t>(pool->limit)) {
    pthread_cond_wait(&pool->room, &pool->mutex);
  }
  if (pool->aborted || pool->finished) {
    pthread_mutex_unlock(&pool->mutex);
    DropPage(pool, &page);
    return false;
  }
  Slot &slot = SlotOf(pool, pool->submitted);
  slot.page = page;
  slot.state = SlotState::Encoding;
  const PiecePlan plan = PlanPieces(pool, page.height, page.bits != nullptr && page.width > 0);
  slot.pieces = plan.pieces;
  slot.stripesPerPiece = plan.stripesPerPiece;
  ++pool->submitted;
  if (pool->threadCount > 1) {
    pthread_cond_broadcast(&pool->work);
  } else {
    // Without workers the page is encoded here and now, piece by piece.
    while (pool->encodingNext < pool->submitted) EncodeNextPiece(pool);
  }
  pthread_cond_broadcast(&pool->ready);
  pthread_mutex_unlock(&pool->mutex);
  return true;
}

void FinishSubmitting(ParallelEncoder *pool) {
  pthread_mutex_lock(&pool->mutex);
  pool->finished = true;
  Wake(pool);
  pthread_mutex_unlock(&pool->mutex);
}

TakeResult TakeEncodedPage(ParallelEncoder *pool, EncodedPage *page) {
  return Take(pool, true, page);
}

TakeResult TryTakeEncodedPage(ParallelEncoder *pool, EncodedPage *page) {
  return Take(pool, false, page);
}

void AbortParallelEncoder(ParallelEncoder *pool) {
  pthread_mutex_lock(&pool->mutex);
  pool->aborted = true;
  Wake(pool);
  pthread_mutex_unlock(&pool->mutex);
}

void StopParallelEncoder(ParallelEncoder *pool) {
  if (pool == nullptr) return;
  pthread_mutex_lock(&pool->mutex);
  if (!pool->finished || pool->taken != pool->submitted) pool->aborted = true;
  pool->finished = true;
  Wake(pool);
  pthread_mutex_unlock(&pool->mutex);
  Dismantle(pool);
}

int ParallelEncoderThreads(const ParallelEncoder *pool) { return pool->threadCount; }

int ParallelEncoderPieces(const ParallelEncoder *pool, int32_t height) {
  return PlanPieces(pool, height, true).pieces;
}

int ParallelEncoderLimit(const ParallelEncoder *pool) { return pool->limit; }

int ParallelEncoderInFlight(ParallelEncoder *pool) {
  pthread_mutex_lock(&pool->mutex);
  const int inFlight = static_cast<int>(pool->submitted - pool->taken);
  pthread_mutex_unlock(&pool->mutex);
  return inFlight;
}
