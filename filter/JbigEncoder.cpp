#include "JbigEncoder.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "Log.h"
#include "Utility.h"
#include "PbmFile.h"

namespace {

// The encoder's options fix the form of the image the printer receives: one sequential
// layer at full size (-q with the page's own size as the lowest-layer limit), 128-line
// stripes each ending in SDRST (-r -s 128), no order flags (-o 0), typical prediction
// only with the three-line template (-p 8), and the adaptive pixel kept in place (-m 0).
constexpr const char ENCODER_COMMAND_FORMAT[] =
    "pbmtojbg -q -x %d -y %d -r -s 128 -o 0 -p 8 -m 0 %s %s";

// Our standard output is the printer stream: anything the encoder or the shell printed
// there would corrupt the job. For the length of the encoder run, fd 1 is pointed at
// standard error. The redirection is done on our own descriptors rather than appended to
// the command, so that the command run is exactly the one logged. Returns the descriptor
// that keeps the real standard output (-1 when it was closed), or -2 when fd 1 could not
// be moved and the encoder must not run.
int DivertStdout() {
  // Bytes of the printer stream still in our buffer must reach fd 1 before it moves.
  fflush(stdout);
  const int savedStdout = dup(STDOUT_FILENO);
  if (savedStdout < 0 && errno != EBADF) return -2;
  if (dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
    if (savedStdout >= 0) close(savedStdout);
    return -2;
  }
  return savedStdout;
}

void RestoreStdout(int savedStdout) {
  if (savedStdout >= 0) {
    dup2(savedStdout, STDOUT_FILENO);
    close(savedStdout);
  } else {
    // Standard output was closed when we came in; leave it closed.
    close(STDOUT_FILENO);
  }
}

}  // namespace

void pbmtojbg(const char *pbmPath, const char *jbgPath) {
  FILE *file = fopenNoFollow(pbmPath, "rb");
  if (file == nullptr) {
    perror("Error opening input file");
    return;
  }
  // The magic is not checked: a readable size is all the command needs, and the encoder
  // judges the rest of the file itself.
  char magic[3];
  int width = 0;
  int height = 0;
  const bool readable = ReadPbmHeader(file, magic, &width, &height);
  fclose(file);
  if (!readable) {
    LogLine("ERROR: pbmtojbg: cannot read the size of %s, not encoding it\n", pbmPath);
    return;
  }

  char command[ENCODER_COMMAND_BUFFER_SIZE] = {};
  const int length = snprintf(command, sizeof command, ENCODER_COMMAND_FORMAT, width, height,
                              pbmPath, jbgPath);
  // A cut-off command could name another file; it is refused before anything is logged,
  // so that the two-part debug line never stays open.
  if (length < 0 || static_cast<unsigned>(length) >= sizeof command) {
    LogLine("ERROR: pbmtojbg: the encoder command for %s does not fit %u bytes, not encoding it\n",
            pbmPath, ENCODER_COMMAND_BUFFER_SIZE);
    return;
  }
  const int savedStdout = DivertStdout();
  if (savedStdout == -2) {
    LogLine("ERROR: pbmtojbg: cannot keep the encoder off standard output, not encoding %s\n",
            pbmPath);
    return;
  }
  LogLine("DEBUG: pbmtojbg. width:[%d], height:[%d], pbm_file:[%s]", width, height, pbmPath);
  // The encoder's status is not looked at: the JBIG file it leaves is the caller's sign.
  (void)system(command);
  RestoreStdout(savedStdout);
  LogLine("DEBUG: pbmtojbg: %s\n", command);
}
