#include "common/units.hpp"

#include <cerrno>
#include <cstring>
#include <iostream>
#include <ostream>
#include <string>

#include "common/stop.hpp"

namespace velmora {

Units& Units::get() {
  static Units table;
  return table;
}

void Units::attach(int unit, std::ostream* os, std::string_view name) {
  if (unit < 0 || unit >= kMaxUnit) return;
  table_[unit] = os;
  names_[unit] = name.empty() ? "unit " + std::to_string(unit) : std::string(name);
}

void Units::detach(int unit) { attach(unit, nullptr); }

bool Units::attached(int unit) const {
  return unit >= 0 && unit < kMaxUnit && table_[unit] != nullptr;
}

std::ostream& Units::out(int unit) {
  if (attached(unit)) return *table_[unit];
  return error();
}

std::ostream& Units::console() { return console_ ? *console_ : std::cout; }
std::ostream& Units::error() { return error_ ? *error_ : std::cerr; }
void Units::set_console(std::ostream* os) { console_ = os; }
void Units::set_error(std::ostream* os) { error_ = os; }

void Units::write(int unit, std::string_view record) {
  if (!attached(unit)) {
    error() << record << '\n';
    return;
  }
  std::ostream& os = *table_[unit];
  // errno is cleared so that a failure reports the cause of this write,
  // not a stale one.
  errno = 0;
  os << record << '\n';
  if (!os.good()) report_write_failure(names_[unit]);
}
// Every console record is flushed at once, so that progress reaches a pipe
// (velmora | tee run.txt) line by line and not only when the run ends.
void Units::write_console(std::string_view record) { console() << record << '\n' << std::flush; }
void Units::write_error(std::string_view record) { error() << record << '\n' << std::flush; }

void Units::reset() { *this = Units(); }

UnitsGuard::UnitsGuard() : saved_(Units::get()) {}
UnitsGuard::~UnitsGuard() { Units::get() = saved_; }

void report_write_failure(std::string_view name) {
  const int err = errno;
  std::string msg = std::string(name) + ": cannot write the file";
  if (err != 0) msg += std::string(" (") + std::strerror(err) + ")";
  fatal_stop(msg);
}

void fatal_stop(std::string_view record, int status) { throw StopRun(std::string(record), status); }

int report_stop(const StopRun& stop) {
  units().write_error(stop.what());
  return stop.status() != 0 ? stop.status() : 1;
}

}  // namespace velmora
