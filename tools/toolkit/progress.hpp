// Progress lines of the companion tools' long steps.  Every line is written
// whole and flushed, so that a pipe or a log file sees it at once; the tools
// write them to their error stream and keep standard output for results.
#pragma once

#include <chrono>
#include <condition_variable>
#include <iosfwd>
#include <mutex>
#include <string>
#include <thread>

namespace velmora::tools {

// "12.3 s" below two minutes, "4.5 min" above.
std::string seconds_text(double s);

// Seconds since construction, on the steady clock.
class Stopwatch {
 public:
  Stopwatch() : t0_(std::chrono::steady_clock::now()) {}
  double seconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0_).count();
  }

 private:
  std::chrono::steady_clock::time_point t0_;
};

// "elapsed 12.3 s, about 24.6 s left" after `done` of `total` equal parts of
// a task took `elapsed` seconds (the remaining parts at the mean pace so far).
std::string pace_text(double elapsed, long done, long total);

// A notice for a step of unforeseeable length (Gmsh meshing a geometry,
// reading a large file).  A step that ends within `delay` seconds prints
// nothing.  A longer one prints `before` once the delay has passed, then
// "... still WORKING, elapsed T" every `every` seconds, and at finish()
// "`after` in T".  A null sink prints nothing.  The lines come from a
// watcher thread while the caller is busy in the step; finish() (or the
// destructor) stops the watcher before writing, so the stream is never
// written by two threads at once.
class SlowStep {
 public:
  SlowStep(std::ostream* sink, std::string before, std::string working, double delay = 2.0,
           double every = 30.0);
  ~SlowStep();
  SlowStep(const SlowStep&) = delete;
  SlowStep& operator=(const SlowStep&) = delete;
  // Ends the step; writes "`after` in T" when the notice was shown.
  void finish(const std::string& after);

 private:
  void stop();
  std::ostream* sink_;
  std::string before_, working_;
  double delay_, every_;
  Stopwatch clock_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool done_ = false, shown_ = false;
  std::thread watcher_;
};

}  // namespace velmora::tools
