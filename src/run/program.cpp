// The main program: files, banner, input, echo, the storage block, the
// solution driver and the timing line.
#include "run/program.hpp"

#include <omp.h>
#include <time.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <iostream>
#include <new>
#include <sstream>
#include <streambuf>
#include <string>

#if defined(__SSE__) || defined(__x86_64__)
#include <xmmintrin.h>
#endif

#include "common/blas.hpp"
#include "common/comm.hpp"
#include "common/constants.hpp"
#include "common/listread.hpp"
#include "common/model_notes.hpp"
#include "common/records.hpp"
#include "common/stop.hpp"
#include "common/storage.hpp"
#include "common/units.hpp"
#include "run/bemsol.hpp"
#include "run/cli.hpp"
#include "run/limits.hpp"
#include "run/registry.hpp"

namespace velmora {
namespace {

// Subnormal results flushed to zero and subnormal operands read as zero, in
// the calling thread.
void flush_subnormals() {
#if defined(__SSE__) || defined(__x86_64__)
  _mm_setcsr(_mm_getcsr() | 0x8040);  // FTZ (bit 15) and DAZ (bit 6) of MXCSR
#elif defined(__aarch64__)
  std::uint64_t fpcr;
  __asm__ __volatile__("mrs %0, fpcr" : "=r"(fpcr));
  fpcr |= std::uint64_t{1} << 24;  // FZ: flush subnormal inputs and results
  __asm__ __volatile__("msr fpcr, %0" : : "r"(fpcr));
#endif
}

// The three output files, attached to their units while the run lasts.
class OutputFiles {
 public:
  ~OutputFiles() {
    units().detach(kUnitLog);
    units().detach(kUnitOut);
    units().detach(kUnitPlt);
  }
  // Rank 0 of a run of several processes writes the files; the others give
  // their records to nothing (every process forms the same records).
  void discard() {
    units().attach(kUnitLog, &discard_stream(), "output.log");
    units().attach(kUnitOut, &discard_stream(), "output.dat");
    units().attach(kUnitPlt, &discard_stream(), "output.plt");
  }
  void open() {
    open_one(log_, "output.log", kUnitLog);
    open_one(dat_, "output.dat", kUnitOut);
    open_one(plt_, "output.plt", kUnitPlt);
  }
  // Flushes and closes the three files in unit order; a file whose last
  // records cannot be written (a full disk) stops the run with a message
  // instead of ending it as a success.
  void close() {
    if (!log_.is_open()) {
      units().detach(kUnitLog);
      units().detach(kUnitOut);
      units().detach(kUnitPlt);
      return;
    }
    close_one(log_, "output.log", kUnitLog);
    close_one(dat_, "output.dat", kUnitOut);
    close_one(plt_, "output.plt", kUnitPlt);
  }

 private:
  static void open_one(std::ofstream& f, const char* name, int unit) {
    errno = 0;
    f.open(name, std::ios::out | std::ios::trunc);
    if (!f.is_open())
      fatal_stop(std::string(name) + ": cannot open the file for writing" +
                 (errno != 0 ? std::string(" (") + std::strerror(errno) + ")" : std::string()));
    units().attach(unit, &f, name);
  }
  static void close_one(std::ofstream& f, const char* name, int unit) {
    units().detach(unit);
    errno = 0;
    f.close();
    if (f.fail()) report_write_failure(name);
  }
  std::ofstream log_, dat_, plt_;
};

void open_input(ListReader& r, const char* name) {
  errno = 0;
  if (!r.open(name))
    fatal_stop(std::string(name) + ": cannot open the file" +
               (errno != 0 ? std::string(" (") + std::strerror(errno) + ")" : std::string()));
}

// The whole text of input file `name`, read by rank 0 of a run of several
// processes and sent to the others: one process reads each file, which is
// what a shared file system serves best.  A file rank 0 cannot open stops
// every process with its message.
std::string input_text(const char* name, const Comm& comm) {
  std::int64_t head[2] = {0, 0};  // bytes (-1: not opened), errno
  std::string text;
  if (comm.rank() == 0) {
    errno = 0;
    std::ifstream f(name, std::ios::binary);
    if (!f.is_open()) {
      head[0] = -1;
      head[1] = errno;
    } else {
      std::ostringstream all;
      all << f.rdbuf();
      text = std::move(all).str();
      head[0] = static_cast<std::int64_t>(text.size());
    }
  }
  comm.broadcast(head, sizeof head);
  if (head[0] < 0)
    fatal_stop(std::string(name) + ": cannot open the file" +
               (head[1] != 0 ? std::string(" (") + std::strerror(static_cast<int>(head[1])) + ")"
                             : std::string()));
  text.resize(static_cast<std::size_t>(head[0]));
  comm.broadcast(text.data(), head[0]);
  return text;
}

// A record to the console, then to the given units in order.
void to_console_and(const std::string& rec, std::initializer_list<int> units_after) {
  units().write_console(rec);
  for (int u : units_after) units().write(u, rec);
}

std::string padded79(std::string s) {
  s.resize(79, ' ');
  return s;
}

void write_banner(int unit_or_console) {
  const std::string rule(79, '-');
  const std::string records[8] = {
      rule,
      " Program:   Velmora, V.1.1,              Updated December 14, 2023  ",
      "            A fast multiplole BEM code for general 3-D Stokes flow problems    ",
      padded79(" Velmora: boundary elements with the fast multipole method, 3-D Stokes flow"),
      padded79(" Purpose: velocities and tractions on surfaces meshed with flat triangles"),
      padded79(" Contact: the Velmora maintainers, through the project's issue tracker"),
      padded79(" Licence: see README.md of the source distribution; no warranty"),
      rule,
  };
  for (const auto& r : records) {
    if (unit_or_console < 0)
      units().write_console(r);
    else
      units().write(unit_or_console, r);
  }
}

std::string short_real(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.3g", v);
  return buf;
}



[[noreturn]] void invalid_parameter(const char* name) {
  fatal_stop(fmt::list(std::string("Invalid parameter --> ") + name + "; stop"));
}

}  // namespace

void start_threads() {
  flush_subnormals();
#pragma omp parallel
  flush_subnormals();
}

float cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<float>(static_cast<double>(ts.tv_sec) +
                            1e-9 * static_cast<double>(ts.tv_nsec));
}

float wall_seconds() {
  using Clock = std::chrono::steady_clock;
  static const Clock::time_point origin = Clock::now();
  return static_cast<float>(std::chrono::duration<double>(Clock::now() - origin).count());
}

void write_banners() {
  write_banner(kUnitLog);
  write_banner(-1);
}

int finish_status(const SolveOutcome& o) {
  if (o.info == 0) return 0;
  if (o.info == -4) {
    units().write_console(" Not converged: GMRES stopped after " + std::to_string(o.iterations) +
                          " iterations at a backward error of " + short_real(o.backward_error) +
                          ", above the tolerance " + short_real(o.tol) +
                          "; results written (exit status 3)");
    return 3;
  }
  units().write_console(" GMRES refused to solve (status " + std::to_string(o.info) +
                        ", see output.log): no solution was computed (exit status 1)");
  return 1;
}

std::string time_used_record(float cpu, float wall) {
  return " Total CPU time, wall-clock time used =" + fmt::F(cpu, 10, 2) + " (sec)," +
         fmt::F(wall, 10, 2) + " (sec)";
}

void write_time_used(float cpu, float wall) {
  to_console_and(fmt::list(), {kUnitLog, kUnitOut});
  to_console_and(time_used_record(cpu, wall), {kUnitLog, kUnitOut});
}

void read_control(ListReader& cnd, RunScalars& s) {
  cnd.begin();
  cnd.get(s.snaptol, {"snaptol"});
  cnd.get(s.m, {"M"});
  cnd.get(s.unused1, {"third item of the first record"});
  cnd.get(s.unused2, {"fourth item of the first record"});
  cnd.get(s.iprec, {"iprec"});
  cnd.get(s.ncycle, {"ncycle"});
  cnd.get(s.tol, {"tol"});
  cnd.end();
  cnd.begin();
  cnd.get(s.maxdep, {"maxdep"});
  cnd.get(s.minlev, {"minlev"});
  cnd.get(s.maxl, {"maxl"});
  cnd.get(s.maxcel, {"maxcel"});
  cnd.get(s.nexp, {"nexp"});
  cnd.get(s.ngauss, {"ngauss"});
  cnd.get(s.cubfac, {"cubfac"});
  cnd.end();
}

std::string read_model_head(ListReader& dat, RunScalars& s) {
  std::string title = dat.title({"title"});
  dat.title({"second title line"});
  dat.begin();
  dat.get(s.nelem, {"nelem"});
  dat.get(s.nnode, {"nnode"});
  dat.get(s.mu, {"mu"});
  dat.end();
  return title;
}

void check_parameters(RunScalars& s) {
  // Sizes that would divide by zero or index outside the arrays stop the
  // run before anything is sized from them.  M itself is checked by the
  // solver; here only an M whose work array could not even hold the initial
  // guess and the right-hand side is refused (and, with the size limits, one
  // whose work array would not fit 32 bits).
  if (s.nelem < 1) invalid_parameter("nelem");
  if (s.nnode < 1) invalid_parameter("nnode");
  if (!(s.mu > 0.0)) invalid_parameter("mu");
  if (s.maxl < 1) invalid_parameter("maxl");
  if (s.maxcel < 1) invalid_parameter("maxcel");
  if (s.maxdep < 0) invalid_parameter("maxdep");
  // Leaves on levels 0 and 1 are outside the reach of the preconditioner and
  // of the cell lists, and a root cube of no size separates nothing.
  if (s.minlev < 2) invalid_parameter("minlev");
  if (!(s.cubfac > 0.0)) invalid_parameter("cubfac");
  if (s.nexp < 0) invalid_parameter("nexp");
  // Every count formed from the parameters must fit 32-bit indexing.
  check_size_limits(s);
  // ndof = 3 nelem and LWORK = 3 nelem (M + 6) + M (M + 3) + 1, within 32
  // bits from here on.
  const __int128 ndof = 3 * static_cast<__int128>(s.nelem);
  const __int128 m = s.m;
  const __int128 lwork = ndof * (m + 6) + m * (m + 3) + 1;
  if (lwork < 2 * ndof) invalid_parameter("M");
  s.lwork = static_cast<int>(lwork);
}

namespace {

int run() {
  // 1. Start-up.
  start_threads();
  blas::pin_single_thread();
  const float t0 = cpu_seconds();
  const float w0 = wall_seconds();

  // 2. The five files: both inputs must exist before any output is created.
  // (Several processes: rank 0 reads them for all.)
  const Comm& comm = Comm::world();
  ListReader cnd, dat;
  std::string dat_text;  // several processes: input.dat's text, for its notes
  if (comm.distributed()) {
    cnd = ListReader::from_text("input.cnd", input_text("input.cnd", comm));
    dat_text = input_text("input.dat", comm);
    dat = ListReader::from_text("input.dat", dat_text);
  } else {
    open_input(cnd, "input.cnd");
    open_input(dat, "input.dat");
  }
  OutputFiles out;
  if (comm.rank() == 0)
    out.open();
  else
    out.discard();

  // 3. Banner; a build that runs on several processes names their number.
  write_banners();
  if (comm_has_mpi())
    units().write_console(" Processes: ranks: " + std::to_string(comm.size()) +
                          ", threads per rank: " + std::to_string(omp_get_max_threads()));

  // 4. input.cnd.
  RunScalars s;
  read_control(cnd, s);
  cnd.close();

  // 5. The head of input.dat.
  const std::string title = read_model_head(dat, s);

  // 6 to 14: echo, block, solve on the rest of input.dat.
  // The notes after the last element (which the reader never reaches) may
  // declare interior bodies.
  SolveOptions opt;
  if (comm.distributed()) {
    std::istringstream notes(std::move(dat_text));
    opt.interior = read_model_notes(notes).interior;
  } else {
    opt.interior = read_model_notes_file("input.dat").interior;
  }
  const SolveOutcome outcome = solve_model(
      s, title, [&](Block& a) { read_mesh(a, dat); }, opt);

  // 15. Timing.
  write_time_used(cpu_seconds() - t0, wall_seconds() - w0);
  out.close();
  return finish_status(outcome);
}

}  // namespace

SolveOutcome solve_model(RunScalars& s, const std::string& title, const MeshSource& mesh,
                         const SolveOptions& opt, const SolveHooks& hooks) {
  // 6. ndof = 3 nelem for the echo, formed wide (it is checked against 32
  // bits with LWORK below, after the echo).
  const std::int64_t ndof = 3 * static_cast<std::int64_t>(s.nelem);

  // 7. Title.
  to_console_and(title.substr(0, 78), {kUnitLog, kUnitOut});
  to_console_and(fmt::list(), {kUnitLog, kUnitOut});

  // 8. Echo.
  to_console_and(fmt::list("Number of boundary elements          =", s.nelem), {kUnitLog});
  to_console_and(fmt::list("Number of nodes for the mesh         =", s.nnode), {kUnitLog});
  to_console_and(fmt::list("Total number of DOFs                 =", ndof), {kUnitLog});
  to_console_and(fmt::list("Constant mu                          =", s.mu), {kUnitLog});
  to_console_and(fmt::list("Maximum number of elements in a leaf =", s.maxl), {kUnitLog});
  to_console_and(fmt::list("Maximum number of tree levels        =", s.maxdep), {kUnitLog});
  to_console_and(fmt::list("Tolerance for convergence for GMRES  =", s.tol), {kUnitLog});
  to_console_and(fmt::list("Number of expansion terms            =", s.nexp), {kUnitLog});
  to_console_and(fmt::list("Number of Gaussian points            =", s.ngauss), {kUnitLog});

  check_parameters(s);

  // 9. Registration of the 88 variables.
  Block a;
  register_variables(a, RunSizes{s.nelem, s.nnode, s.lwork, s.maxl, s.maxcel, s.maxdep, s.nexp});

  // 10, 11. Memory report and the number of variables registered.
  const std::string memory = fmt::slash() + "  Memory size of the large block a     =" +
                             fmt::F(block_megabytes(a), 12, 1) + " Mb";
  to_console_and(memory, {kUnitLog});
  // The caches of the fast path (preconditioner factors, near-field blocks)
  // are sized from the tree and the free memory later; this is the free
  // memory left now if the whole block were written (the tree's cells use
  // only part of the expansion arrays, so the solve usually has more).
  to_console_and("  Free for caches beside the block     =" +
                     fmt::F(static_cast<double>(cache_budget_bytes(static_cast<std::size_t>(
                                16 * a.units_registered()))) / 1.0e6,
                            12, 1) +
                     " Mb",
                 {kUnitLog});
  const std::string count =
      "  Number of variables registered       =" + fmt::I(a.nvar() - 1, 12) + fmt::slash();
  to_console_and(count, {kUnitLog});

  // 12. The one allocation.  A block beyond the machine's memory and swap
  // is refused before it is asked for (the system might grant it and fail
  // part way through the solve).
  const std::int64_t block_bytes = a.units_registered() * 16;
  check_block_fits(block_bytes, machine_memory_bytes());
  try {
    a.allocate();
  } catch (const std::bad_alloc&) {
    fatal_stop(out_of_memory_record(block_bytes, 0));
  }

  // 13. The scalars into the block.
  store_scalars(a, s);

  // 14. The solve.
  return BEMSOL(a, mesh, opt, hooks);
}

int run_program(int argc, char** argv) {
  // Without arguments the program runs the solve; --help and --version
  // answer and return, anything else is refused with the usage.
  // Only rank 0 of a run of several processes speaks on the console.
  const Comm& comm = Comm::world();
  std::streambuf* const console = std::cout.rdbuf();
  if (comm.rank() != 0) std::cout.rdbuf(discard_stream().rdbuf());
  struct RestoreConsole {
    std::streambuf* buf;
    ~RestoreConsole() { std::cout.rdbuf(buf); }
  } restore{console};
  if (const auto status = handle_arguments(argc, argv)) return *status;
  // A stop: its message and status.  Rank 0 gives the message at once; the
  // others keep theirs.  When every process stopped at the same point (bad
  // input, which every process reads), each ends with the status; when the
  // others are still running (a stop of this process alone, such as a file
  // it cannot write), this process gives its message and ends them all.
  std::ostringstream kept;
  if (comm.rank() != 0) units().set_error(&kept);
  auto stopped = [&](int status) {
    if (comm.rank() != 0) units().set_error(nullptr);
    return stop_together(comm, status, kept.str());
  };
  try {
    const int status = run();
    if (comm.rank() != 0) units().set_error(nullptr);
    return status;
  } catch (const StopRun& stop) {
    // The files are closed as the run unwinds; then the message.
    return stopped(report_stop(stop));
  } catch (const std::bad_alloc&) {
    units().write_error(fmt::list("Out of memory; stop"));
    return stopped(1);
  } catch (const std::exception& e) {
    units().write_error(fmt::list(std::string("Internal error: ") + e.what() + "; stop"));
    return stopped(1);
  }
}

}  // namespace velmora
