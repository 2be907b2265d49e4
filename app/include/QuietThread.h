#pragma once
// Threads of the application's own that leave the server's signals to PAPPL: PAPPL wakes
// its main loop by SIGTERM (and SIGINT, SIGHUP), which must not land on a thread that
// sleeps in a read of its own, or the server shuts down only when its poll times out.

#include <pthread.h>
#include <signal.h>

#include <thread>
#include <utility>

template <typename Function, typename... Args>
std::thread StartQuietThread(Function &&function, Args &&...args) {
  sigset_t quiet;
  sigset_t previous;
  sigemptyset(&quiet);
  sigaddset(&quiet, SIGTERM);
  sigaddset(&quiet, SIGINT);
  sigaddset(&quiet, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &quiet, &previous);
  std::thread thread(std::forward<Function>(function), std::forward<Args>(args)...);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return thread;
}
