#include "JbigReference.h"

// The library's header declares C functions without saying so.
extern "C" {
#include <jbig.h>
}

namespace {

// pbmtojbg's -q asks for no differential layer (and so overrides -x and -y), -r adds SDRST
// to the options that -p 8 gives, -s is the stripe height, -o the order byte, -m the largest
// horizontal offset of the adaptive pixel; the rest is left as the library has it (-1).
constexpr int kDifferentialLayers = 0;
constexpr int kOrder = 0;
constexpr int kOptions = JBG_TPBON | JBG_SDRST;
constexpr unsigned long kStripeLines = 128;
constexpr int kMaxAdaptiveOffsetX = 0;
constexpr int kLeaveAsIs = -1;

extern "C" void AppendOutput(unsigned char *start, size_t length, void *sink) {
  std::vector<unsigned char> *out = static_cast<std::vector<unsigned char> *>(sink);
  out->insert(out->end(), start, start + length);
}

}  // namespace

bool EncodeJbigWithLibjbig(unsigned char *bits, int width, int height,
                           std::vector<unsigned char> *out) {
  out->clear();
  if (bits == nullptr || width < 1 || height < 1) return false;
  unsigned char *planes[1] = {bits};
  jbg_enc_state state;
  jbg_enc_init(&state, static_cast<unsigned long>(width), static_cast<unsigned long>(height), 1,
               planes, AppendOutput, out);
  jbg_enc_layers(&state, kDifferentialLayers);
  jbg_enc_lrange(&state, kLeaveAsIs, kLeaveAsIs);
  jbg_enc_options(&state, kOrder, kOptions, kStripeLines, kMaxAdaptiveOffsetX, kLeaveAsIs);
  jbg_enc_out(&state);
  jbg_enc_free(&state);
  return true;
}
