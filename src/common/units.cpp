#include "common/units.hpp"

#include <iostream>
#include <ostream>

#include "common/stop.hpp"

namespace velmora {

Units& Units::get() {
  static Units table;
  return table;
}

void Units::attach(int unit, std::ostream* os) {
  if (unit >= 0 && unit < kMaxUnit) table_[unit] = os;
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

void Units::write(int unit, std::string_view record) { out(unit) << record << '\n'; }
void Units::write_console(std::string_view record) { console() << record << '\n'; }
void Units::write_error(std::string_view record) { error() << record << '\n' << std::flush; }

void Units::reset() { *this = Units(); }

UnitsGuard::UnitsGuard() : saved_(Units::get()) {}
UnitsGuard::~UnitsGuard() { Units::get() = saved_; }

void fatal_stop(std::string_view record, int status) {
  units().write_error(record);
  throw StopRun(std::string(record), status);
}

}  // namespace velmora
