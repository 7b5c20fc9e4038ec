// Unit numbers and the streams behind them.
//
// Records are written to numbered units as in the file table of the run:
// 6 output.log, 7 output.dat, 8 output.plt; the console is standard output
// and fatal messages go to standard error.  This table is the one place
// where a unit number becomes a stream.  A unit that has no stream attached
// writes to the error stream, so that nothing addressed to it is lost.
#pragma once

#include <iosfwd>
#include <string>
#include <string_view>

namespace velmora {

class Units {
 public:
  // The process-wide table.
  static Units& get();

  // Attaches a stream to a unit; `name` (the file's name) is what a write
  // failure reports.  Every write to an attached unit checks the stream: a
  // record that cannot be written (a full disk, a lost device) stops the run
  // with report_write_failure instead of being lost in silence.  The
  // console and the error stream are not checked.
  void attach(int unit, std::ostream* os, std::string_view name = {});
  void detach(int unit);
  bool attached(int unit) const;
  std::ostream& out(int unit);

  std::ostream& console();
  std::ostream& error();
  void set_console(std::ostream* os);
  void set_error(std::ostream* os);

  // Writes `record` followed by a line end.
  void write(int unit, std::string_view record);
  void write_console(std::string_view record);
  void write_error(std::string_view record);

  // Detaches every unit and restores standard output and standard error.
  void reset();

 private:
  static constexpr int kMaxUnit = 100;
  std::ostream* table_[kMaxUnit] = {};
  std::string names_[kMaxUnit];
  std::ostream* console_ = nullptr;
  std::ostream* error_ = nullptr;
};

inline Units& units() { return Units::get(); }

// Stops the run (StopRun) with the message naming the file that could not
// be written and the system's reason, e.g.
//   output.dat: cannot write the file (No space left on device)
[[noreturn]] void report_write_failure(std::string_view name);

class StopRun;
// What a program's entry does with a stop: its message as one line on the
// error stream; returns the exit status (1 for a stop that gives none).
int report_stop(const StopRun& stop);

// Saves the unit table on construction and restores it on destruction
// (tests that redirect units use it).
class UnitsGuard {
 public:
  UnitsGuard();
  ~UnitsGuard();
  UnitsGuard(const UnitsGuard&) = delete;
  UnitsGuard& operator=(const UnitsGuard&) = delete;

 private:
  Units saved_;
};

}  // namespace velmora
