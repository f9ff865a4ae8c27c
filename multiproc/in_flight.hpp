// The worker processes that other threads are talking to, so that the thread driving the call
// can end them all at once when it gives up (a Ctrl-C): their owners' blocked reads and writes
// then fail, and each owner reaps its own. A worker is held by a process descriptor, which never
// names another process, even once its owner has reaped it. Tested through test_interrupt.py.
#pragma once

#include <sys/types.h>

#include <mutex>
#include <vector>

namespace zelkor::mp {

class InFlightWorkers {
 public:
  // Holds one worker while it lives.
  class Entry {
   public:
    Entry(InFlightWorkers& owner, pid_t pid);
    Entry(const Entry&) = delete;
    Entry& operator=(const Entry&) = delete;
    ~Entry();
    // False when stop() came first: the worker was killed at once.
    bool admitted() const { return admitted_; }

   private:
    InFlightWorkers& owner_;
    int handle_ = -1;  // -1: not held (refused, or no descriptor could be had)
    bool admitted_ = true;
  };

  InFlightWorkers() = default;
  InFlightWorkers(const InFlightWorkers&) = delete;
  InFlightWorkers& operator=(const InFlightWorkers&) = delete;

  // Kills every worker held now and every one that comes later.
  void stop();

 private:
  std::mutex mutex_;
  bool stopped_ = false;
  std::vector<int> held_;
};

}  // namespace zelkor::mp
