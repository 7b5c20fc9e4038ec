#include "toolkit/progress.hpp"

#include <cstdio>
#include <ostream>

namespace velmora::tools {

std::string seconds_text(double s) {
  char buf[32];
  if (s < 120)
    std::snprintf(buf, sizeof buf, "%.1f s", s);
  else
    std::snprintf(buf, sizeof buf, "%.1f min", s / 60);
  return buf;
}

std::string pace_text(double elapsed, long done, long total) {
  std::string s = "elapsed " + seconds_text(elapsed);
  if (done > 0 && done < total)
    s += ", about " + seconds_text(elapsed / static_cast<double>(done) *
                                   static_cast<double>(total - done)) +
         " left";
  return s;
}

SlowStep::SlowStep(std::ostream* sink, std::string before, std::string working, double delay,
                   double every)
    : sink_(sink), before_(std::move(before)), working_(std::move(working)), delay_(delay),
      every_(every) {
  if (!sink_) return;
  watcher_ = std::thread([this] {
    std::unique_lock<std::mutex> lock(mutex_);
    double next = delay_;
    for (;;) {
      const auto wait = std::chrono::duration<double>(next - clock_.seconds());
      if (wake_.wait_for(lock, wait, [this] { return done_; })) return;
      if (clock_.seconds() < next) continue;
      if (!shown_) {
        *sink_ << before_ << '\n' << std::flush;
        shown_ = true;
      } else {
        *sink_ << "... still " << working_ << ", elapsed " << seconds_text(clock_.seconds())
               << '\n'
               << std::flush;
      }
      next = clock_.seconds() + every_;
    }
  });
}

void SlowStep::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    done_ = true;
  }
  wake_.notify_all();
  if (watcher_.joinable()) watcher_.join();
}

SlowStep::~SlowStep() {
  stop();
}

void SlowStep::finish(const std::string& after) {
  stop();
  if (shown_ && sink_) *sink_ << after << " in " << seconds_text(clock_.seconds()) << '\n' << std::flush;
}

}  // namespace velmora::tools
