#include "PdfDocument.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "IppJobAttributes.h"
#include "PbmFile.h"
#include "PrintJob.h"
#include "QuietThread.h"

extern char **environ;

namespace {

struct Renderer {
  pid_t pid = -1;
  int pages = -1;   // read end of ghostscript's standard output: the pages
  int messages = -1;  // read end of its standard error
};

std::vector<std::string> GhostscriptArguments(const pappl_pr_options_t *options, int media, int dpi,
                                              const char *file) {
  const IppMediaSize &size = IPP_MEDIA_SIZES[media];
  std::vector<std::string> args = {
      "gs", "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-sDEVICE=pbmraw",
      "-r" + std::to_string(dpi),
      // The sheet in the PPD's points, as the CUPS path renders it, fixed: a page of
      // another size is fitted onto it rather than changing it.
      "-dDEVICEWIDTHPOINTS=" + std::to_string(size.widthPoints),
      "-dDEVICEHEIGHTPOINTS=" + std::to_string(size.heightPoints), "-dFIXEDMEDIA", "-dPDFFitPage",
  };
  if (options->first_page > 1) args.push_back("-dFirstPage=" + std::to_string(options->first_page));
  if (options->last_page > 0 && options->last_page != static_cast<unsigned>(INT_MAX)) {
    args.push_back("-dLastPage=" + std::to_string(options->last_page));
  }
  args.push_back("-sOutputFile=-");
  args.push_back("-f");
  args.push_back(file);
  return args;
}

bool StartGhostscript(pappl_job_t *job, const std::vector<std::string> &args, Renderer *renderer) {
  int out[2] = {-1, -1};
  int err[2] = {-1, -1};
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Unable to start ghostscript: %s", strerror(errno));
    for (int fd : {out[0], out[1], err[0], err[1]}) {
      if (fd >= 0) close(fd);
    }
    return false;
  }
  std::vector<char *> argv;
  for (const std::string &arg : args) argv.push_back(const_cast<char *>(arg.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  const int spawned = posix_spawnp(&renderer->pid, "gs", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  close(err[1]);
  if (spawned != 0) {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Unable to start ghostscript: %s", strerror(spawned));
    close(out[0]);
    close(err[0]);
    renderer->pid = -1;
    return false;
  }
  renderer->pages = out[0];
  renderer->messages = err[0];
  return true;
}

// Ghostscript's messages into the job's log, as they come.
void RelayMessages(pappl_job_t *job, int fd) {
  FILE *in = fdopen(fd, "r");
  if (in == nullptr) {
    close(fd);
    return;
  }
  char line[1024];
  while (fgets(line, sizeof line, in) != nullptr) {
    line[strcspn(line, "\r\n")] = '\0';
    if (line[0] != '\0') papplLogJob(job, PAPPL_LOGLEVEL_WARN, "ghostscript: %s", line);
  }
  fclose(in);
}

// Reads the pages ghostscript writes (raw PBM, one after another) and hands each to the
// job. False when a page is damaged or cannot be printed.
bool ReadPages(pappl_job_t *job, PrintJob *print, FILE *in, const Renderer &renderer) {
  while (true) {
    if (papplJobIsCanceled(job)) {
      kill(renderer.pid, SIGTERM);
      return true;
    }
    char magic[3];
    int width = 0;
    int height = 0;
    if (!ReadPbmHeader(in, magic, &width, &height)) {
      if (magic[0] == '\0' && feof(in)) return true;  // the last page was the last
      papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Ghostscript's page %d is damaged.", print->pages + 1);
      return false;
    }
    const int separator = fgetc(in);
    const uint64_t bytes = static_cast<uint64_t>(PbmStride(width)) * static_cast<uint64_t>(height);
    if (strcmp(magic, "P4") != 0 || separator == EOF || width <= 0 || height <= 0 ||
        bytes > PBM_MAX_BITMAP_BYTES) {
      papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Ghostscript's page %d is damaged (%s %dx%d).",
                  print->pages + 1, magic, width, height);
      return false;
    }
    auto *bits = static_cast<unsigned char *>(malloc(bytes));
    if (bits == nullptr) {
      papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Out of memory for page %d.", print->pages + 1);
      return false;
    }
    if (fread(bits, 1, bytes, in) != bytes) {
      free(bits);
      papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Ghostscript's page %d is cut short.", print->pages + 1);
      return false;
    }
    if (!AddPrintPage(print, bits, width, height)) return false;
    papplJobSetImpressionsCompleted(job, 1);
  }
}

bool Render(pappl_job_t *job, PrintJob *print, const pappl_pr_options_t *options, int media,
            int dpi) {
  // PAPPL 1.3 can start a job that a client cancelled a moment before, and the
  // cancel has taken its document away.
  const char *file = papplJobGetFilename(job);
  if (file == nullptr) {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "The job has no document to print.");
    return false;
  }
  const std::vector<std::string> args = GhostscriptArguments(options, media, dpi, file);
  Renderer renderer;
  if (!StartGhostscript(job, args, &renderer)) return false;
  std::thread relay = StartQuietThread(RelayMessages, job, renderer.messages);
  FILE *in = fdopen(renderer.pages, "rb");
  bool ok = false;
  if (in != nullptr) {
    ok = ReadPages(job, print, in, renderer);
    if (!ok) kill(renderer.pid, SIGTERM);
    fclose(in);
  } else {
    close(renderer.pages);
    kill(renderer.pid, SIGTERM);
  }
  int status = 0;
  while (waitpid(renderer.pid, &status, 0) < 0 && errno == EINTR) {
  }
  relay.join();
  if (ok && !papplJobIsCanceled(job) && !(WIFEXITED(status) && WEXITSTATUS(status) == 0)) {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Ghostscript could not render the document (%s %d).",
                WIFEXITED(status) ? "exit status" : "signal",
                WIFEXITED(status) ? WEXITSTATUS(status) : WTERMSIG(status));
    papplJobSetReasons(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR, PAPPL_JREASON_NONE);
    ok = false;
  }
  return ok;
}

bool AcceptedResolution(int dpi) {
  for (int i = 0; i < IPP_RESOLUTION_COUNT; ++i) {
    if (IPP_RESOLUTIONS[i].setting == dpi) return true;
  }
  return false;
}

}  // namespace

bool PrintPdfDocument(pappl_job_t *job, pappl_device_t *device, void *) {
  // PAPPL 1.3 may start a job that was cancelled a moment before, whose document it has
  // already removed: there is nothing to print, and no file name to hand ghostscript.
  if (papplJobGetFilename(job) == nullptr) {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "The job's document is gone (the job was cancelled).");
    return false;
  }
  pappl_pr_options_t *options = papplJobCreatePrintOptions(job, 0, false);
  if (options == nullptr) return false;
  const int media = SettleJobMedia(job, options, 0, 0);
  const int dpi = JobResolution(job, options);
  bool ok = media >= 0;
  if (ok && !AcceptedResolution(dpi)) {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "The printer prints at 600 or 1200 dpi, not %d.", dpi);
    ok = false;
  }
  PrintJob *print = ok ? BeginPrintJob(job, options, device) : nullptr;
  ok = print != nullptr && StartPrintStream(print, options, media, dpi);
  if (ok) ok = Render(job, print, options, media, dpi);
  if (print != nullptr) ok = EndPrintJob(print) && ok;
  papplJobDeletePrintOptions(options);
  return ok;
}
