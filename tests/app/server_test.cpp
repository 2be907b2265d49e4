// The printer application as a service: the names it answers to, and how it stops on
// SIGTERM and starts again with its jobs. A real server on a free loopback port.

#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "AppServer.h"
#include "TestSupport.h"

namespace {

// The HTTP status curl gets for / with host in the Host header.
std::string StatusForHost(const AppServer &server, const std::string &host) {
  return RunProgram({"curl", "-s", "-o", "/dev/null", "-m", "20", "-w", "%{http_code}", "-H",
                     "Host: " + host, "http://127.0.0.1:" + std::to_string(server.port()) + "/"})
      .out;
}

TEST(PrinterAppServerTest, ServesTheMachinesNamesAndAliasesAndRefusesOthers) {
  TempDir dir;
  AppServer server(dir.path(), {"server-alias=printhost.example.org",
                                "server-alias=office,Copier.Example.Org"});
  ASSERT_TRUE(server.Start()) << ReadFileText(dir.file("server.out"));
  char host[256] = {};
  ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
  const std::string shortName = std::string(host).substr(0, std::string(host).find('.'));
  std::vector<std::string> served = {host, shortName, shortName + ".local", "localhost",
                                     "127.0.0.1", "[::1]", "printhost.example.org", "office",
                                     "copier.example.org.", "OFFICE"};
  addrinfo hints = {};
  hints.ai_flags = AI_CANONNAME;
  addrinfo *found = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &found) == 0) {
    if (found->ai_canonname != nullptr) served.push_back(found->ai_canonname);  // the FQDN
    freeaddrinfo(found);
  }
  const std::string port = ":" + std::to_string(server.port());
  for (const std::string &name : served) {
    EXPECT_EQ(StatusForHost(server, name + port), "200") << name;
  }
  EXPECT_EQ(StatusForHost(server, shortName), "200") << "without a port";
  for (const std::string &name : std::vector<std::string>{"attacker.example", "1.attacker.example", "printhost.example",
                                 shortName + ".attacker.example", "[::1"}) {
    EXPECT_EQ(StatusForHost(server, name + port), "400") << name;
  }
  server.Stop();
  EXPECT_EQ(server.exitStatus(), 0) << server.SanitizerReports();
}

// A printer that takes the connection and then reads nothing: it is never accepted, and
// the kernel holds what it can in a small window. Its port; the socket stays open.
int ListenDeaf(int *fd) {
  *fd = socket(AF_INET, SOCK_STREAM, 0);
  const int small = 4096;
  setsockopt(*fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  return ListenOnLoopback(*fd);
}

// SIGTERM in every state: idle, paused with jobs waiting, printing, printing to a printer
// that does not answer. The server is gone within 10 seconds with exit status 0, and the
// jobs it had not printed are there after it starts again, and then print.
TEST(PrinterAppServerTest, StopsWithinTenSecondsInEveryStateAndKeepsItsJobs) {
  TempDir dir;
  int deaf = -1;
  const int deafPort = ListenDeaf(&deaf);
  ASSERT_GT(deafPort, 0);
  AppServer server(dir.path());
  const auto stop = [&server](const char *state) {
    const auto start = std::chrono::steady_clock::now();
    server.Stop();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    printf("%s: stopped in %.1f s\n", state, seconds);
    fflush(stdout);  // the next server starts as a fork of this process
    EXPECT_LT(seconds, 10.0) << state;
    EXPECT_EQ(server.exitStatus(), 0) << state << " " << server.SanitizerReports();
  };
  ASSERT_EQ(mkdir(dir.file("dev").c_str(), 0755), 0);
  const std::string two = dir.file("two.pwg");
  const std::string noise = dir.file("noise.pwg");
  ASSERT_TRUE(MakeRaster(two, {"--pwg", "black_1", "-n", "2"}));
  ASSERT_TRUE(MakeRaster(noise, {"--pwg", "black_1", "-n", "3", "--content", "random"}));
  // Grey pages at 1200 dpi: rendering, halftone and encoding keep the job busy well past
  // the two seconds a printing job gets at the shutdown.
  WriteFileText(dir.file("long.ps"), "%!PS\n1 1 60 { pop 0.5 setgray 0 0 595 842 rectfill "
                                     "showpage } for\n");
  ASSERT_EQ(RunProgram({"gs", "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-sDEVICE=pdfwrite",
                        "-sOutputFile=" + dir.file("long.pdf"), dir.file("long.ps")}).exitStatus, 0);
  ASSERT_TRUE(server.Start());
  http_t *local = server.ConnectLocal();
  ASSERT_EQ(CreatePrinter(local, "office", "file://" + dir.file("dev")), IPP_STATUS_OK);
  ASSERT_EQ(CreatePrinter(local, "deaf", "socket://127.0.0.1:" + std::to_string(deafPort)), IPP_STATUS_OK);
  httpClose(local);
  const std::string office = server.PrinterUri("office");
  stop("idle");

  // Paused, with two jobs waiting; both print after the restart.
  ASSERT_TRUE(server.Start());
  local = server.ConnectLocal();
  ASSERT_EQ(PausePrinter(local, office), IPP_STATUS_OK);
  httpClose(local);
  http_t *http = server.ConnectNetwork();
  std::vector<int> waiting;
  for (const char *name : {"first", "second"}) {
    waiting.push_back(PrintFile(http, office, two, "image/pwg-raster", {{JobAttribute::Name, "job-name", name}}));
    ASSERT_GT(waiting.back(), 0);
  }
  httpClose(http);
  stop("paused with jobs waiting");
  ASSERT_TRUE(server.Start());
  http = server.ConnectNetwork();
  for (const int id : waiting) EXPECT_EQ(WaitForJobEnd(http, office, id, 60), IPP_JSTATE_COMPLETED);
  EXPECT_EQ(DecodeStreamFile(dir.file("dev/second.prn")).pages.size(), 2u);
  // Printing: a job of many pages at 1200 dpi is stopped, and prints whole after the restart.
  const int printing = PrintFile(http, office, dir.file("long.pdf"), "application/pdf",
                                 {{JobAttribute::Name, "job-name", "long"},
                                  {JobAttribute::Resolution, "printer-resolution", "1200"}});
  ASSERT_TRUE(WaitForJobState(http, office, printing, IPP_JSTATE_PROCESSING, 30));
  httpClose(http);
  stop("printing");
  EXPECT_NE(server.Log().find("[Job " + std::to_string(printing) + "] Stopped by the shutdown"),
            std::string::npos);
  ASSERT_TRUE(server.Start());
  http = server.ConnectNetwork();
  EXPECT_EQ(WaitForJobEnd(http, office, printing, 120), IPP_JSTATE_COMPLETED);
  httpClose(http);
  EXPECT_EQ(StreamRecordCount(dir.file("dev/long.prn")), 60u);

  // A printer that does not read: the job waits in its write, twice over a restart.
  http = server.ConnectNetwork();
  const std::string deafUri = server.PrinterUri("deaf");
  const int stuck = PrintFile(http, deafUri, noise, "image/pwg-raster", {});
  ASSERT_GT(stuck, 0) << cupsLastErrorString();
  ASSERT_TRUE(WaitForJobState(http, deafUri, stuck, IPP_JSTATE_PROCESSING, 30));
  std::this_thread::sleep_for(std::chrono::seconds(2));
  httpClose(http);
  stop("printing to a printer that does not answer");
  ASSERT_TRUE(server.Start());
  http = server.ConnectNetwork();
  const int state = JobState(http, deafUri, stuck);
  EXPECT_TRUE(state == IPP_JSTATE_PENDING || state == IPP_JSTATE_PROCESSING) << state;
  httpClose(http);
  stop("again, the job kept");
  close(deaf);
}

}  // namespace
