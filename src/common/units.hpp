// Unit numbers and the streams behind them.
//
// Records are written to numbered units as in the file table of the run:
// 6 output.log, 7 output.dat, 8 output.plt; the console is standard output
// and fatal messages go to standard error.  This table is the one place
// where a unit number becomes a stream.  A unit that has no stream attached
// writes to the error stream, so that nothing addressed to it is lost.
#pragma once

#include <iosfwd>
#include <string_view>

namespace velmora {

class Units {
 public:
  // The process-wide table.
  static Units& get();

  void attach(int unit, std::ostream* os);
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
  std::ostream* console_ = nullptr;
  std::ostream* error_ = nullptr;
};

inline Units& units() { return Units::get(); }

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
