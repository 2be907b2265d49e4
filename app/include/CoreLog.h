#pragma once
// The core writes its log lines to standard error. In the server they are routed into
// PAPPL's log: the lines of a job's setup into that job's log, all others into the
// server's log.

#include <pappl/pappl.h>

#include <string>
#include <vector>

// Points standard error at a pipe whose lines go to the system's log. Returns the
// descriptor that still reaches the original standard error (for PAPPL's own log when it
// logs to standard error), or -1 when the routing could not be set up (the core's lines
// then stay on standard error).
int StartCoreLogRouting();
// The system whose log takes the core's lines; when PAPPL itself logs to standard error,
// the lines go on to the original standard error.
void SetCoreLogSystem(pappl_system_t *system, bool papplLogsToStderr);

// The lines the core logs while a job is set up, collected in the order written.
// Only one job is set up at a time; lines other threads log meanwhile are collected too.
void BeginCoreLogCapture();
std::vector<std::string> EndCoreLogCapture();

// The PAPPL log level of a core line by its CUPS prefix, and the text without it.
pappl_loglevel_t CoreLineLevel(const std::string &line, std::string *text);
