#include "ParallelEncoder.h"

#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

enum class SlotState { Free, Queued, Encoding, Done };

// Page number n (counted from 0 in submission order) lives in slot n % limit from its
// submission until it is taken. A slot is reused only after its page was taken, and pages
// are taken in order, so at most `limit` pages are ever held.
struct Slot {
  SlotState state = SlotState::Free;
  PageToEncode page;
  EncodedPage result;
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
  void (*releaseTag)(void *tag);
  JbigPageEncoder encode;
  // Counts of pages in submission order; taken <= encodingNext <= submitted, and
  // submitted - taken <= limit.
  uint64_t submitted;
  uint64_t encodingNext;  // the next page a worker picks up
  uint64_t taken;
  bool finished;
  bool aborted;
};

namespace {

void DropPage(const ParallelEncoder *pool, PageToEncode *page) {
  free(page->bits);
  page->bits = nullptr;
  if (pool->releaseTag != nullptr && page->tag != nullptr) pool->releaseTag(page->tag);
  page->tag = nullptr;
}

void DropResult(const ParallelEncoder *pool, EncodedPage *result) {
  ReleaseJbigBytes(&result->jbig);
  if (pool->releaseTag != nullptr && result->tag != nullptr) pool->releaseTag(result->tag);
  result->tag = nullptr;
}

void EncodePage(const ParallelEncoder *pool, const PageToEncode &page, EncodedPage *result) {
  *result = EncodedPage();
  result->tag = page.tag;
  result->ok = pool->encode(page.bits, page.width, page.height, &result->jbig, result->error,
                            sizeof result->error);
  if (!result->ok) ReleaseJbigBytes(&result->jbig);
}

// Encodes the next queued page. Called with the mutex held, and returns with it held; the
// encoding runs unlocked, the slot being this caller's alone while it is Encoding.
void EncodeNextPage(ParallelEncoder *pool) {
  Slot &slot = pool->slots[pool->encodingNext % static_cast<uint64_t>(pool->limit)];
  ++pool->encodingNext;
  slot.state = SlotState::Encoding;
  const PageToEncode page = slot.page;
  slot.page = PageToEncode();
  pthread_mutex_unlock(&pool->mutex);

  EncodedPage result;
  EncodePage(pool, page, &result);
  // The bitmap goes as soon as it is encoded: only the (much smaller) JBIG data waits.
  free(page.bits);

  pthread_mutex_lock(&pool->mutex);
  slot.result = result;
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
    EncodeNextPage(pool);
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
    Slot &slot = pool->slots[i];
    if (slot.state == SlotState::Queued) DropPage(pool, &slot.page);
    if (slot.state == SlotState::Done) DropResult(pool, &slot.result);
    slot.~Slot();
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
    Slot &slot = pool->slots[pool->taken % static_cast<uint64_t>(pool->limit)];
    if (pool->aborted) {
      outcome = TakeResult::Aborted;
    } else if (pool->taken < pool->submitted && slot.state == SlotState::Done) {
      *page = slot.result;
      slot.result = EncodedPage();
      slot.state = SlotState::Free;
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
  pool->releaseTag = config.releaseTag;
  pool->encode = config.encode != nullptr ? config.encode : EncodeJbigInMemory;
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
  Slot &slot = pool->slots[pool->submitted % static_cast<uint64_t>(pool->limit)];
  slot.page = page;
  slot.state = SlotState::Queued;
  ++pool->submitted;
  if (pool->threadCount > 1) {
    pthread_cond_signal(&pool->work);
  } else {
    // Without workers the page is encoded here and now.
    EncodeNextPage(pool);
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

int ParallelEncoderLimit(const ParallelEncoder *pool) { return pool->limit; }

int ParallelEncoderInFlight(ParallelEncoder *pool) {
  pthread_mutex_lock(&pool->mutex);
  const int inFlight = static_cast<int>(pool->submitted - pool->taken);
  pthread_mutex_unlock(&pool->mutex);
  return inFlight;
}
