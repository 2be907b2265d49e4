#pragma once
// JBIG encoding of a PBM page file through the external pbmtojbg encoder.

inline constexpr unsigned ENCODER_COMMAND_BUFFER_SIZE = 512;

// Runs the encoder on pbmPath, writing jbgPath. The file at jbgPath is the only sign
// of success.
void pbmtojbg(const char *pbmPath, const char *jbgPath);
