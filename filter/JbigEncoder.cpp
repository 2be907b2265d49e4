#include "JbigEncoder.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Log.h"
#include "NoFollowOpen.h"
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

// The encoder's result is its exit status. A file it left behind proves nothing: an
// encoder that ran out of disk, or was killed, leaves a part of a page, which would reach
// the printer as a damaged sheet.
bool EncoderSucceeded(int status, int startError, EncoderFailure *why) {
  if (status == -1) {
    snprintf(why->cause, sizeof why->cause, "the encoder could not be started: %s",
             strerror(startError));
    return false;
  }
  if (WIFSIGNALED(status)) {
    const int signalNumber = WTERMSIG(status);
    snprintf(why->cause, sizeof why->cause, "the encoder was killed by signal %d (%s)",
             signalNumber, strsignal(signalNumber));
    return false;
  }
  const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  if (code == 0) return true;
  // The shell reports a command that a signal ended as 128 plus the signal's number.
  const int signalNumber = code - 128;
  if (signalNumber > 0 && signalNumber < NSIG) {
    snprintf(why->cause, sizeof why->cause,
             "the encoder exited with status %d: killed by signal %d (%s)", code,
             signalNumber, strsignal(signalNumber));
  } else {
    snprintf(why->cause, sizeof why->cause, "the encoder exited with status %d", code);
  }
  return false;
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

bool pbmtojbg(const char *pbmPath, const char *jbgPath, const JobLog &log,
              EncoderFailure *failure) {
  EncoderFailure ignored;
  EncoderFailure &why = failure != nullptr ? *failure : ignored;
  why = EncoderFailure();
  FILE *file = fopenNoFollow(pbmPath, "rb");
  if (file == nullptr) {
    const int openError = errno;
    LogLine(log, "Error opening input file: %s\n", strerror(openError));
    snprintf(why.cause, sizeof why.cause, "the page file cannot be opened: %s",
             strerror(openError));
    return false;
  }
  // The magic is not checked: a readable size is all the command needs, and the encoder
  // judges the rest of the file itself.
  char magic[3];
  int width = 0;
  int height = 0;
  const bool readable = ReadPbmHeader(file, magic, &width, &height);
  fclose(file);
  if (!readable) {
    LogLine(log, "ERROR: pbmtojbg: cannot read the size of %s, not encoding it\n", pbmPath);
    snprintf(why.cause, sizeof why.cause, "the size of the page file cannot be read");
    return false;
  }

  char command[ENCODER_COMMAND_BUFFER_SIZE] = {};
  const int length = snprintf(command, sizeof command, ENCODER_COMMAND_FORMAT, width, height,
                              pbmPath, jbgPath);
  // A cut-off command could name another file; it is refused before anything is logged,
  // so that the two-part debug line never stays open.
  if (length < 0 || static_cast<unsigned>(length) >= sizeof command) {
    LogLine(log,
            "ERROR: pbmtojbg: the encoder command for %s does not fit %u bytes, not encoding it\n",
            pbmPath, ENCODER_COMMAND_BUFFER_SIZE);
    snprintf(why.cause, sizeof why.cause, "the encoder command does not fit %u bytes",
             ENCODER_COMMAND_BUFFER_SIZE);
    return false;
  }
  const int savedStdout = DivertStdout();
  if (savedStdout == -2) {
    LogLine(log, "ERROR: pbmtojbg: cannot keep the encoder off standard output, not encoding %s\n",
            pbmPath);
    snprintf(why.cause, sizeof why.cause, "the encoder cannot be kept off standard output");
    return false;
  }
  LogLine(log, "DEBUG: pbmtojbg. width:[%d], height:[%d], pbm_file:[%s]", width, height, pbmPath);
  const int status = system(command);
  const int startError = errno;
  RestoreStdout(savedStdout);
  LogLine(log, "DEBUG: pbmtojbg: %s\n", command);
  return EncoderSucceeded(status, startError, &why);
}
