// The parallel encoding pool: results in submission order with the serial encoder's bytes
// whatever the threads do, at most the limit of pages held, the abort path with pages at
// every stage, encoding inline with one thread, and every page it is given freed or handed
// back (the sanitizer build checks the frees).

#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "JbigMemoryEncoder.h"
#include "ParallelEncoder.h"
#include "PbmFile.h"

namespace {

using Bytes = std::vector<unsigned char>;

struct TestPage {
  int32_t width;
  int32_t height;
  Bytes bits;
  Bytes serial;  // what the encoder gives for it alone
};

TestPage MakePage(int32_t width, int32_t height, unsigned seed) {
  TestPage page{width, height, Bytes(static_cast<size_t>(PbmStride(width) * height)), {}};
  std::mt19937 random(seed);
  // Sparse random strokes: pages of very different encoding cost, as real pages are.
  const unsigned density = 1 + seed % 7;
  for (unsigned char &byte : page.bits) {
    byte = random() % 8 < density ? static_cast<unsigned char>(random()) : 0;
  }
  Bytes copy = page.bits;
  JbigBytes jbig;
  if (EncodeJbigInMemory(copy.data(), width, height, &jbig, nullptr, 0)) {
    page.serial.assign(jbig.data, jbig.data + jbig.size);
  }
  ReleaseJbigBytes(&jbig);
  return page;
}

// Pages from a few pixels to a few hundred kilobytes, of one to 25 stripes, in a mixed order.
std::vector<TestPage> MakePages(int count, unsigned seed) {
  std::vector<TestPage> pages;
  std::mt19937 random(seed);
  for (int i = 0; i < count; ++i) {
    const int32_t width = 1 + static_cast<int32_t>(random() % (i % 5 == 0 ? 1200 : 300));
    const int32_t height = 1 + static_cast<int32_t>(random() % (i % 5 == 0 ? 3200 : 700));
    pages.push_back(MakePage(width, height, seed * 1000 + static_cast<unsigned>(i)));
  }
  return pages;
}

void *TagOf(int index) { return reinterpret_cast<void *>(static_cast<intptr_t>(index) + 1); }
int IndexOf(void *tag) { return static_cast<int>(reinterpret_cast<intptr_t>(tag)) - 1; }

PageToEncode Handover(const TestPage &page, int index) {
  PageToEncode handed;
  handed.bits = static_cast<unsigned char *>(malloc(page.bits.size() + 1));
  if (!page.bits.empty()) memcpy(handed.bits, page.bits.data(), page.bits.size());
  handed.width = page.width;
  handed.height = page.height;
  handed.tag = TagOf(index);
  return handed;
}

// Tags the pool dropped, by page index.
std::mutex releasedMutex;
std::vector<int> released;

void RecordReleasedTag(void *tag) {
  std::lock_guard<std::mutex> lock(releasedMutex);
  released.push_back(IndexOf(tag));
}

std::vector<int> TakeReleased() {
  std::lock_guard<std::mutex> lock(releasedMutex);
  std::vector<int> taken;
  taken.swap(released);
  std::sort(taken.begin(), taken.end());
  return taken;
}

// Checks one result against the page it must be, and frees it.
void ExpectResult(EncodedPage *result, const std::vector<TestPage> &pages, int expectedIndex) {
  EXPECT_EQ(IndexOf(result->tag), expectedIndex);
  EXPECT_TRUE(result->ok) << result->error;
  if (expectedIndex >= 0 && expectedIndex < static_cast<int>(pages.size())) {
    EXPECT_TRUE(Bytes(result->jbig.data, result->jbig.data + result->jbig.size) ==
                pages[static_cast<size_t>(expectedIndex)].serial)
        << "page " << expectedIndex << " has other bytes than the serial encoder's";
  }
  ReleaseJbigBytes(&result->jbig);
}

ParallelEncoder *Start(int threads, int maxInFlight, JbigPieceEncoder encode = nullptr,
                       int piecesPerPage = 0) {
  ParallelEncoderConfig config;
  config.threads = threads;
  config.maxInFlight = maxInFlight;
  config.piecesPerPage = piecesPerPage;
  config.releaseTag = RecordReleasedTag;
  config.encode = encode;
  char error[JBIG_ERROR_TEXT_SIZE] = "";
  ParallelEncoder *pool = StartParallelEncoder(config, error, sizeof error);
  EXPECT_NE(pool, nullptr) << error;
  return pool;
}

// One thread that submits and takes: it takes the oldest result whenever the pool is full,
// and whatever is ready after each submission.
void RunOnOneThread(ParallelEncoder *pool, const std::vector<TestPage> &pages) {
  int next = 0;
  EncodedPage result;
  for (int i = 0; i < static_cast<int>(pages.size()); ++i) {
    if (ParallelEncoderInFlight(pool) == ParallelEncoderLimit(pool)) {
      ASSERT_EQ(TakeEncodedPage(pool, &result), TakeResult::Taken);
      ExpectResult(&result, pages, next++);
    }
    ASSERT_TRUE(SubmitPage(pool, Handover(pages[static_cast<size_t>(i)], i)));
    EXPECT_LE(ParallelEncoderInFlight(pool), ParallelEncoderLimit(pool));
    while (TryTakeEncodedPage(pool, &result) == TakeResult::Taken) {
      ExpectResult(&result, pages, next++);
    }
  }
  FinishSubmitting(pool);
  TakeResult outcome;
  while ((outcome = TakeEncodedPage(pool, &result)) == TakeResult::Taken) {
    ExpectResult(&result, pages, next++);
  }
  EXPECT_EQ(outcome, TakeResult::NoMore);
  EXPECT_EQ(next, static_cast<int>(pages.size()));
}

// A producer thread and a consumer thread; the consumer dawdles now and then.
void RunOnTwoThreads(ParallelEncoder *pool, const std::vector<TestPage> &pages, unsigned seed) {
  std::atomic<int> highest{0};
  std::thread producer([&] {
    for (int i = 0; i < static_cast<int>(pages.size()); ++i) {
      EXPECT_TRUE(SubmitPage(pool, Handover(pages[static_cast<size_t>(i)], i)));
      const int inFlight = ParallelEncoderInFlight(pool);
      if (inFlight > highest) highest = inFlight;
    }
    FinishSubmitting(pool);
  });
  std::mt19937 random(seed);
  int next = 0;
  EncodedPage result;
  TakeResult outcome;
  while ((outcome = TakeEncodedPage(pool, &result)) == TakeResult::Taken) {
    ExpectResult(&result, pages, next++);
    if (random() % 4 == 0) usleep(static_cast<useconds_t>(random() % 3000));
  }
  producer.join();
  EXPECT_EQ(outcome, TakeResult::NoMore);
  EXPECT_EQ(next, static_cast<int>(pages.size()));
  EXPECT_LE(highest.load(), ParallelEncoderLimit(pool));
}

TEST(ParallelEncoder, ResultsComeInOrderWithTheSerialBytes) {
  const std::vector<TestPage> pages = MakePages(40, 1);
  const struct {
    int limit;
    int pieces;
  } shapes[] = {{0, 0}, {1, 0}, {2, 3}, {7, 1}, {0, 16}};
  for (int threads : {1, 2, 3, 4}) {
    for (const auto &shape : shapes) {
      SCOPED_TRACE("threads " + std::to_string(threads) + ", limit " + std::to_string(shape.limit) +
                   ", pieces " + std::to_string(shape.pieces));
      ParallelEncoder *pool = Start(threads, shape.limit, nullptr, shape.pieces);
      ASSERT_NE(pool, nullptr);
      RunOnOneThread(pool, pages);
      StopParallelEncoder(pool);
      pool = Start(threads, shape.limit, nullptr, shape.pieces);
      ASSERT_NE(pool, nullptr);
      RunOnTwoThreads(pool, pages, static_cast<unsigned>(threads * 10 + shape.limit));
      StopParallelEncoder(pool);
      EXPECT_TRUE(TakeReleased().empty()) << "a page handed back was also dropped";
    }
  }
}

// An encoder that takes a random while before it encodes, so that pages finish in any order.
bool EncodeAfterRandomDelay(const unsigned char *bits, int32_t width, int32_t height, int32_t first,
                            int32_t count, JbigBytes *out, char *error, size_t errorSize) {
  thread_local std::mt19937 random(
      static_cast<unsigned>(std::hash<std::thread::id>()(std::this_thread::get_id())));
  usleep(static_cast<useconds_t>(random() % 4000));
  return EncodeJbigPiece(bits, width, height, first, count, out, error, errorSize);
}

TEST(ParallelEncoder, OrderHoldsUnderRandomDelays) {
  const std::vector<TestPage> pages = MakePages(60, 2);
  for (int threads : {2, 4, 8}) {
    SCOPED_TRACE("threads " + std::to_string(threads));
    ParallelEncoder *pool = Start(threads, 0, EncodeAfterRandomDelay);
    ASSERT_NE(pool, nullptr);
    RunOnTwoThreads(pool, pages, static_cast<unsigned>(threads));
    StopParallelEncoder(pool);
    pool = Start(threads, 0, EncodeAfterRandomDelay, 5);
    ASSERT_NE(pool, nullptr);
    RunOnOneThread(pool, pages);
    StopParallelEncoder(pool);
  }
  EXPECT_TRUE(TakeReleased().empty());
}

// A gate that holds every encoder call until the test opens it.
struct Gate {
  std::mutex mutex;
  std::condition_variable changed;
  bool open = false;
  int waiting = 0;  // encoder calls held at the gate
  int passed = 0;
  std::vector<const unsigned char *> heldPages;  // the bitmap of every call that came
};
Gate gate;

void CloseGate() {
  std::lock_guard<std::mutex> lock(gate.mutex);
  gate.open = false;
  gate.waiting = 0;
  gate.passed = 0;
  gate.heldPages.clear();
}

void OpenGate() {
  std::lock_guard<std::mutex> lock(gate.mutex);
  gate.open = true;
  gate.changed.notify_all();
}

// Waits until `count` encoder calls are held at the gate.
bool AwaitHeld(int count) {
  std::unique_lock<std::mutex> lock(gate.mutex);
  return gate.changed.wait_for(lock, std::chrono::seconds(20),
                               [&] { return gate.waiting >= count; });
}

bool EncodeAtGate(const unsigned char *bits, int32_t width, int32_t height, int32_t first, int32_t count,
                  JbigBytes *out, char *error, size_t errorSize) {
  {
    std::unique_lock<std::mutex> lock(gate.mutex);
    gate.heldPages.push_back(bits);
    ++gate.waiting;
    gate.changed.notify_all();
    gate.changed.wait(lock, [] { return gate.open; });
    --gate.waiting;
    ++gate.passed;
  }
  return EncodeJbigPiece(bits, width, height, first, count, out, error, errorSize);
}

// Waits up to a while for a counter to reach a value.
bool Reaches(const std::atomic<int> &counter, int value, int milliseconds = 5000) {
  for (int i = 0; i < milliseconds / 10 && counter.load() < value; ++i) usleep(10000);
  return counter.load() >= value;
}

// A thread that must stay blocked: its counter does not move for a good while.
bool StaysBelow(const std::atomic<int> &counter, int value) {
  return !Reaches(counter, value, 300);
}

TEST(ParallelEncoder, SubmittingWaitsWhileThePoolIsFull) {
  const std::vector<TestPage> pages = MakePages(8, 3);
  for (int threads : {1, 2}) {
    SCOPED_TRACE("threads " + std::to_string(threads));
    CloseGate();
    if (threads == 1) OpenGate();  // inline: nothing can hold a page but the limit
    ParallelEncoder *pool = Start(threads, 3, EncodeAtGate, 1);
    ASSERT_NE(pool, nullptr);
    std::atomic<int> submitted{0};
    std::thread producer([&] {
      for (int i = 0; i < 5; ++i) {
        EXPECT_TRUE(SubmitPage(pool, Handover(pages[static_cast<size_t>(i)], i)));
        ++submitted;
      }
    });
    ASSERT_TRUE(Reaches(submitted, 3));
    EXPECT_TRUE(StaysBelow(submitted, 4)) << "a fourth page went into a pool of three";
    EXPECT_EQ(ParallelEncoderInFlight(pool), 3);
    OpenGate();
    // Encoded pages still count until they are taken.
    EXPECT_TRUE(StaysBelow(submitted, 4)) << "an encoded page no one took made room";
    EncodedPage result;
    ASSERT_EQ(TakeEncodedPage(pool, &result), TakeResult::Taken);
    ExpectResult(&result, pages, 0);
    EXPECT_TRUE(Reaches(submitted, 4));
    EXPECT_TRUE(StaysBelow(submitted, 5));
    ASSERT_EQ(TakeEncodedPage(pool, &result), TakeResult::Taken);
    ExpectResult(&result, pages, 1);
    producer.join();
    EXPECT_EQ(submitted.load(), 5);
    for (int i = 2; i < 5; ++i) {
      ASSERT_EQ(TakeEncodedPage(pool, &result), TakeResult::Taken);
      ExpectResult(&result, pages, i);
    }
    FinishSubmitting(pool);
    EXPECT_EQ(TakeEncodedPage(pool, &result), TakeResult::NoMore);
    StopParallelEncoder(pool);
  }
  EXPECT_TRUE(TakeReleased().empty());
}

// A job that fails with pages at every stage: two being encoded, the rest queued, a
// producer waiting for room and a consumer waiting for a result.
TEST(ParallelEncoder, AbortStopsWaitersAndDropsEveryPageNotTaken) {
  const std::vector<TestPage> pages = MakePages(6, 4);
  CloseGate();
  ParallelEncoder *pool = Start(2, 5, EncodeAtGate, 1);
  ASSERT_NE(pool, nullptr);
  for (int i = 0; i < 5; ++i)
    ASSERT_TRUE(SubmitPage(pool, Handover(pages[static_cast<size_t>(i)], i)));
  ASSERT_TRUE(AwaitHeld(2));
  std::atomic<int> producerDone{0};
  bool submittedSixth = true;
  std::thread producer([&] {
    submittedSixth = SubmitPage(pool, Handover(pages[5], 5));
    ++producerDone;
  });
  std::atomic<int> consumerDone{0};
  TakeResult consumerOutcome = TakeResult::Taken;
  std::thread consumer([&] {
    EncodedPage result;
    consumerOutcome = TakeEncodedPage(pool, &result);
    ++consumerDone;
  });
  EXPECT_TRUE(StaysBelow(producerDone, 1));
  EXPECT_TRUE(StaysBelow(consumerDone, 1));

  AbortParallelEncoder(pool);
  producer.join();
  consumer.join();
  EXPECT_FALSE(submittedSixth);
  EXPECT_EQ(consumerOutcome, TakeResult::Aborted);
  EncodedPage result;
  EXPECT_EQ(TryTakeEncodedPage(pool, &result), TakeResult::Aborted);
  EXPECT_FALSE(SubmitPage(pool, Handover(pages[0], 0)));
  // The refused pages are dropped at once; the held ones when the pool stops.
  EXPECT_EQ(TakeReleased(), (std::vector<int>{0, 5}));

  // The two pages at the gate are finished and dropped; the queued three never start.
  OpenGate();
  StopParallelEncoder(pool);
  EXPECT_EQ(TakeReleased(), (std::vector<int>{0, 1, 2, 3, 4}));
  std::lock_guard<std::mutex> lock(gate.mutex);
  EXPECT_EQ(gate.passed, 2);
}

// Stopping a pool mid-way, without an abort first, as a cancelled job does.
TEST(ParallelEncoder, StoppingMidwayDropsWhatWasNotTaken) {
  const std::vector<TestPage> pages = MakePages(10, 5);
  for (int threads : {1, 2, 4}) {
    SCOPED_TRACE("threads " + std::to_string(threads));
    ParallelEncoder *pool = Start(threads, 6);
    ASSERT_NE(pool, nullptr);
    for (int i = 0; i < 6; ++i)
      ASSERT_TRUE(SubmitPage(pool, Handover(pages[static_cast<size_t>(i)], i)));
    EncodedPage result;
    for (int i = 0; i < 3; ++i) {
      ASSERT_EQ(TakeEncodedPage(pool, &result), TakeResult::Taken);
      ExpectResult(&result, pages, i);
    }
    StopParallelEncoder(pool);
    EXPECT_EQ(TakeReleased(), (std::vector<int>{3, 4, 5}));

    // Finished but not all taken: the rest is dropped too.
    pool = Start(threads, 6);
    ASSERT_NE(pool, nullptr);
    for (int i = 0; i < 4; ++i)
      ASSERT_TRUE(SubmitPage(pool, Handover(pages[static_cast<size_t>(i)], i)));
    FinishSubmitting(pool);
    ASSERT_EQ(TakeEncodedPage(pool, &result), TakeResult::Taken);
    ExpectResult(&result, pages, 0);
    StopParallelEncoder(pool);
    EXPECT_EQ(TakeReleased(), (std::vector<int>{1, 2, 3}));
  }
}

std::atomic<int> callsOnTestThread{0};
std::atomic<int> callsElsewhere{0};
std::atomic<int> callsWithTermBlocked{0};
pthread_t testThread;

// Counts the pages (their first pieces) by the thread that encodes them, and every piece
// encoded with SIGTERM blocked.
std::atomic<int> pieces{0};

bool EncodeAndNoteThread(const unsigned char *bits, int32_t width, int32_t height, int32_t first,
                         int32_t count, JbigBytes *out, char *error, size_t errorSize) {
  ++pieces;
  if (first != 0) {
  } else if (pthread_equal(pthread_self(), testThread)) {
    ++callsOnTestThread;
  } else {
    ++callsElsewhere;
  }
  sigset_t mask;
  pthread_sigmask(SIG_SETMASK, nullptr, &mask);
  if (sigismember(&mask, SIGTERM) == 1) ++callsWithTermBlocked;
  return EncodeJbigPiece(bits, width, height, first, count, out, error, errorSize);
}

TEST(ParallelEncoder, OneThreadEncodesInsideSubmitAndWorkersBlockSignals) {
  const std::vector<TestPage> pages = MakePages(5, 6);
  testThread = pthread_self();
  ParallelEncoder *pool = Start(1, 0, EncodeAndNoteThread);
  ASSERT_NE(pool, nullptr);
  EXPECT_EQ(ParallelEncoderThreads(pool), 1);
  EXPECT_EQ(ParallelEncoderLimit(pool), 3);
  EncodedPage result;
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(SubmitPage(pool, Handover(pages[static_cast<size_t>(i)], i)));
    // Encoded before SubmitPage returned.
    ASSERT_EQ(TryTakeEncodedPage(pool, &result), TakeResult::Taken);
    ExpectResult(&result, pages, i);
    EXPECT_EQ(TryTakeEncodedPage(pool, &result), TakeResult::NotReady);
  }
  StopParallelEncoder(pool);
  EXPECT_EQ(callsOnTestThread.load(), 5);
  EXPECT_EQ(callsElsewhere.load(), 0);
  EXPECT_EQ(callsWithTermBlocked.load(), 0);

  // Workers get every signal blocked, and the thread that started them keeps its own mask.
  callsOnTestThread = 0;
  pieces = 0;
  pool = Start(2, 0, EncodeAndNoteThread);
  ASSERT_NE(pool, nullptr);
  sigset_t mask;
  pthread_sigmask(SIG_SETMASK, nullptr, &mask);
  EXPECT_EQ(sigismember(&mask, SIGTERM), 0);
  RunOnOneThread(pool, pages);
  StopParallelEncoder(pool);
  EXPECT_EQ(callsOnTestThread.load(), 0);
  EXPECT_EQ(callsElsewhere.load(), 5);
  EXPECT_EQ(callsWithTermBlocked.load(), pieces.load());
  EXPECT_GT(pieces.load(), 5) << "no page was cut into pieces";
  EXPECT_TRUE(TakeReleased().empty());
}

TEST(ParallelEncoder, TryTakeWaitsForNothing) {
  const std::vector<TestPage> pages = MakePages(2, 7);
  CloseGate();
  ParallelEncoder *pool = Start(2, 0, EncodeAtGate, 1);
  ASSERT_NE(pool, nullptr);
  EncodedPage result;
  EXPECT_EQ(TryTakeEncodedPage(pool, &result), TakeResult::NotReady);
  ASSERT_TRUE(SubmitPage(pool, Handover(pages[0], 0)));
  ASSERT_TRUE(AwaitHeld(1));
  EXPECT_EQ(TryTakeEncodedPage(pool, &result), TakeResult::NotReady);
  OpenGate();
  ASSERT_EQ(TakeEncodedPage(pool, &result), TakeResult::Taken);
  ExpectResult(&result, pages, 0);
  FinishSubmitting(pool);
  EXPECT_EQ(TryTakeEncodedPage(pool, &result), TakeResult::NoMore);
  EXPECT_EQ(TakeEncodedPage(pool, &result), TakeResult::NoMore);
  // Nothing goes in after the end of submitting; the page is dropped.
  EXPECT_FALSE(SubmitPage(pool, Handover(pages[1], 1)));
  EXPECT_EQ(TakeReleased(), std::vector<int>{1});
  StopParallelEncoder(pool);
  EXPECT_TRUE(TakeReleased().empty());
}

TEST(ParallelEncoder, AFailedPageComesBackInItsPlace) {
  std::vector<TestPage> pages = MakePages(6, 8);
  // Page 2 has no width: the encoder refuses it, the others go on.
  pages[2].width = 0;
  for (int threads : {1, 2}) {
    SCOPED_TRACE("threads " + std::to_string(threads));
    ParallelEncoder *pool = Start(threads, 8);
    ASSERT_NE(pool, nullptr);
    for (int i = 0; i < 6; ++i)
      ASSERT_TRUE(SubmitPage(pool, Handover(pages[static_cast<size_t>(i)], i)));
    FinishSubmitting(pool);
    for (int i = 0; i < 6; ++i) {
      EncodedPage result;
      ASSERT_EQ(TakeEncodedPage(pool, &result), TakeResult::Taken);
      if (i == 2) {
        EXPECT_EQ(IndexOf(result.tag), 2);
        EXPECT_FALSE(result.ok);
        EXPECT_STREQ(
            result.error,
            ("cannot encode a page of 0x" + std::to_string(pages[2].height) + " pixels").c_str());
        EXPECT_EQ(result.jbig.data, nullptr);
      } else {
        ExpectResult(&result, pages, i);
      }
    }
    StopParallelEncoder(pool);
    EXPECT_TRUE(TakeReleased().empty());
  }
}

// The workers share a page: two pieces of the one page are encoded at the same time.
TEST(ParallelEncoder, APageIsSharedByTheWorkers) {
  const TestPage page = MakePage(900, 128 * 20, 9);
  const std::vector<TestPage> pages = {page};
  CloseGate();
  ParallelEncoder *pool = Start(2, 0, EncodeAtGate);
  ASSERT_NE(pool, nullptr);
  EXPECT_EQ(ParallelEncoderPieces(pool, page.height), 4);
  ASSERT_TRUE(SubmitPage(pool, Handover(page, 0)));
  ASSERT_TRUE(AwaitHeld(2));
  {
    std::lock_guard<std::mutex> lock(gate.mutex);
    ASSERT_EQ(gate.heldPages.size(), 2u);
    EXPECT_EQ(gate.heldPages[0], gate.heldPages[1]);
  }
  EncodedPage result;
  EXPECT_EQ(TryTakeEncodedPage(pool, &result), TakeResult::NotReady);
  OpenGate();
  ASSERT_EQ(TakeEncodedPage(pool, &result), TakeResult::Taken);
  ExpectResult(&result, pages, 0);
  StopParallelEncoder(pool);
  std::lock_guard<std::mutex> lock(gate.mutex);
  EXPECT_EQ(gate.passed, 4);
}

TEST(ParallelEncoder, PagesAreCutIntoWholeStripes) {
  ParallelEncoder *pool = Start(2, 0);
  ASSERT_NE(pool, nullptr);
  // Two pieces a worker, each of at least four stripes.
  EXPECT_EQ(ParallelEncoderPieces(pool, 7017), 4);  // A4 at 600 dpi: 55 stripes
  EXPECT_EQ(ParallelEncoderPieces(pool, 128 * 12), 3);
  EXPECT_EQ(ParallelEncoderPieces(pool, 128 * 8), 2);
  EXPECT_EQ(ParallelEncoderPieces(pool, 128 * 7), 1);
  EXPECT_EQ(ParallelEncoderPieces(pool, 1), 1);
  EXPECT_EQ(ParallelEncoderPieces(pool, 0), 1);
  StopParallelEncoder(pool);
  // Asked for: up to one piece a stripe, the stripes shared out evenly but the last piece.
  pool = Start(2, 0, nullptr, 16);
  ASSERT_NE(pool, nullptr);
  EXPECT_EQ(ParallelEncoderPieces(pool, 7017), 14);  // 4 stripes a piece, 3 in the last
  EXPECT_EQ(ParallelEncoderPieces(pool, 128 * 3), 3);
  EXPECT_EQ(ParallelEncoderPieces(pool, 129), 2);
  StopParallelEncoder(pool);
  pool = Start(2, 0, nullptr, 1000);
  ASSERT_NE(pool, nullptr);
  EXPECT_EQ(ParallelEncoderPieces(pool, 128 * 32), PARALLEL_ENCODER_MAX_PIECES);
  EXPECT_EQ(ParallelEncoderPieces(pool, 7017), 14);
  StopParallelEncoder(pool);
  // Without workers, a page is one piece.
  pool = Start(1, 0);
  ASSERT_NE(pool, nullptr);
  EXPECT_EQ(ParallelEncoderPieces(pool, 7017), 1);
  StopParallelEncoder(pool);
}

// An encoder that fails the second piece of any page 777 rows high.
bool FailSecondPieceOf777(const unsigned char *bits, int32_t width, int32_t height, int32_t first,
                          int32_t count, JbigBytes *out, char *error, size_t errorSize) {
  if (height == 777 && first == 2) {
    // Data already made must not leak when the piece fails.
    EncodeJbigPiece(bits, width, height, first, count, out, nullptr, 0);
    FormatJbigError(error, errorSize, "piece %d failed", static_cast<int>(first));
    return false;
  }
  return EncodeJbigPiece(bits, width, height, first, count, out, error, errorSize);
}

TEST(ParallelEncoder, AFailedPieceFailsItsPageAlone) {
  std::vector<TestPage> pages = MakePages(5, 10);
  pages[1] = MakePage(300, 777, 11);  // 7 stripes: pieces of 2 stripes
  pages[3] = MakePage(300, 777, 12);
  for (int threads : {1, 2}) {
    SCOPED_TRACE("threads " + std::to_string(threads));
    ParallelEncoder *pool = Start(threads, 8, FailSecondPieceOf777, 4);
    ASSERT_NE(pool, nullptr);
    for (int i = 0; i < 5; ++i)
      ASSERT_TRUE(SubmitPage(pool, Handover(pages[static_cast<size_t>(i)], i)));
    FinishSubmitting(pool);
    for (int i = 0; i < 5; ++i) {
      EncodedPage result;
      ASSERT_EQ(TakeEncodedPage(pool, &result), TakeResult::Taken);
      if (i == 1 || i == 3) {
        EXPECT_EQ(IndexOf(result.tag), i);
        EXPECT_FALSE(result.ok);
        EXPECT_STREQ(result.error, "piece 2 failed");
        EXPECT_EQ(result.jbig.data, nullptr);
      } else {
        ExpectResult(&result, pages, i);
      }
    }
    StopParallelEncoder(pool);
    EXPECT_TRUE(TakeReleased().empty());
  }
}

TEST(ParallelEncoder, SizesFollowTheCoresAndStayWithinBounds) {
  cpu_set_t cpus;
  CPU_ZERO(&cpus);
  ASSERT_EQ(sched_getaffinity(0, sizeof cpus, &cpus), 0);
  const int cores = std::min(CPU_COUNT(&cpus), PARALLEL_ENCODER_MAX_THREADS);
  ParallelEncoder *pool = Start(0, 0);
  ASSERT_NE(pool, nullptr);
  EXPECT_EQ(ParallelEncoderThreads(pool), cores);
  EXPECT_EQ(ParallelEncoderLimit(pool), cores + 2);
  EXPECT_EQ(ParallelEncoderInFlight(pool), 0);
  StopParallelEncoder(pool);

  pool = Start(1000, 100000);
  ASSERT_NE(pool, nullptr);
  EXPECT_EQ(ParallelEncoderThreads(pool), PARALLEL_ENCODER_MAX_THREADS);
  EXPECT_EQ(ParallelEncoderLimit(pool), PARALLEL_ENCODER_MAX_IN_FLIGHT);
  // An empty job ends at once.
  FinishSubmitting(pool);
  EncodedPage result;
  EXPECT_EQ(TakeEncodedPage(pool, &result), TakeResult::NoMore);
  StopParallelEncoder(pool);

  pool = Start(-3, -1);
  ASSERT_NE(pool, nullptr);
  EXPECT_EQ(ParallelEncoderThreads(pool), cores);
  StopParallelEncoder(pool);
  StopParallelEncoder(nullptr);
  EXPECT_TRUE(TakeReleased().empty());
}

}  // namespace
