#pragma once
// JBIG encoding of a PBM page file through the external pbmtojbg encoder.

#include <cstddef>

#include "Log.h"

inline constexpr unsigned ENCODER_COMMAND_BUFFER_SIZE = 512;
inline constexpr size_t ENCODER_FAILURE_CAUSE_SIZE = 160;

// Why a page file was not encoded, for the caller's log line: "the encoder exited with
// status 1", "the encoder was killed by signal 15 (Terminated)".
struct EncoderFailure {
  char cause[ENCODER_FAILURE_CAUSE_SIZE] = {};
};

// Runs the encoder on pbmPath, writing jbgPath. True only when the encoder ran and exited
// with status 0: whatever file a failed run left at jbgPath is not a page. On failure the
// cause goes into *failure when it is given.
bool pbmtojbg(const char *pbmPath, const char *jbgPath, const JobLog &log,
              EncoderFailure *failure = nullptr);
