// Reliability of the program beyond its numerics: the 32-bit size limits,
// a block too large for the machine, output files that cannot be written,
// results that do not depend on the number of threads, and the regression
// cases found by fuzzing the reader and the record writers.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <streambuf>
#include <string>
#include <vector>

#include "common/constants.hpp"
#include "common/listread.hpp"
#include "common/records.hpp"
#include "common/stop.hpp"
#include "common/units.hpp"
#include "run/limits.hpp"
#include "run/registry.hpp"
#include "stop_record.hpp"

#if defined(__SANITIZE_ADDRESS__)
// LeakSanitizer: the Gmsh library (libgmsh, used by the mesh tool tests)
// keeps some of its meshing state until the process ends; that is not a
// leak of this program.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libgmsh.so\n";
}
#endif

namespace velmora {
namespace {

namespace fs = std::filesystem;

constexpr std::int64_t kIntMax = std::numeric_limits<int>::max();

struct RunResult {
  int status = -1;
  std::string out, err;
};

// A scratch directory for one or more runs of the program.
class RunDir {
 public:
  RunDir() {
    std::string tmpl = (fs::temp_directory_path() / "velmora-rel-XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir_ = tmpl;
  }
  ~RunDir() {
    std::error_code ec;
    fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(dir_, ec);
  }
  const fs::path& path() const { return dir_; }
  void write(const std::string& name, const std::string& text) const {
    std::ofstream(dir_ / name, std::ios::binary) << text;
  }
  std::string read(const std::string& name) const {
    std::ifstream f(dir_ / name, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
  }
  // Runs the program with `env` (assignments) in front; stdout and stderr
  // are kept outside the directory, which may be read-only.
  RunResult run(const std::string& env = "") const {
    const std::string out = dir_.string() + ".out", err = dir_.string() + ".err";
    const std::string cmd = "cd '" + dir_.string() + "' && " + env + " '" +
                            std::string(VELMORA_EXE) + "' > '" + out + "' 2> '" + err + "'";
    const int rc = std::system(cmd.c_str());
    RunResult r;
    r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    r.out = slurp(out);
    r.err = slurp(err);
    std::remove(out.c_str());
    std::remove(err.c_str());
    return r;
  }

 private:
  static std::string slurp(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
  }
  fs::path dir_;
};

std::vector<std::string> lines(const std::string& s) {
  std::vector<std::string> v;
  std::istringstream is(s);
  for (std::string l; std::getline(is, l);) v.push_back(l);
  return v;
}

// A closed octahedron with unit vertices, normals into the body, every
// component velocity-prescribed.
std::string octahedron_dat(const std::string& counts = "8 6 1.0") {
  return "Octahedron\nsecond title\n" + counts +
         "\nNodes\n"
         "1 1.0 0.0 0.0\n2 -1.0 0.0 0.0\n3 0.0 1.0 0.0\n4 0.0 -1.0 0.0\n5 0.0 0.0 1.0\n"
         "6 0.0 0.0 -1.0\n"
         "Elements\n"
         "1 1 5 3 1 1 1 1.0 0.0 0.0\n2 3 5 2 1 1 1 1.0 0.0 0.0\n3 2 5 4 1 1 1 1.0 0.0 0.0\n"
         "4 4 5 1 1 1 1 1.0 0.0 0.0\n5 1 3 6 1 1 1 1.0 0.0 0.0\n6 3 2 6 1 1 1 1.0 0.0 0.0\n"
         "7 2 4 6 1 1 1 1.0 0.0 0.0\n8 4 1 6 1 1 1 1.0 0.0 0.0\n";
}

std::string control(int m, int maxdep, int maxl, int maxcel, int nexp, int ngauss = 7,
                    double tol = 1.0e-6) {
  std::ostringstream s;
  s << "1.0e-8 " << m << " 0 0 1 10 " << tol << "\n"
    << maxdep << " 2 " << maxl << " " << maxcel << " " << nexp << " " << ngauss << " 1.01\n";
  return s.str();
}

// Scalars of a small, valid run.
RunScalars small_run() {
  RunScalars s;
  s.nelem = 1280;
  s.nnode = 642;
  s.m = 30;
  s.maxdep = 12;
  s.maxl = 40;
  s.maxcel = 20000;
  s.nexp = 8;
  return s;
}

std::string excess_of(const RunScalars& s) {
  const auto e = first_size_excess(s);
  return e ? e->quantity + " = " + e->value : "";
}

// ---------------------------------------------------------------- size limits

// Each 32-bit count passes at its largest value and is named one beyond it.
TEST(SizeLimits, EachCountAtAndBeyondItsLimit) {
  EXPECT_EQ(excess_of(small_run()), "");

  // LWORK = 3 nelem (M + 6) + M (M + 3) + 1 is exactly 2^31 - 1 for M = 6,
  // nelem = 59652322: 2147483592 + 54 + 1.
  RunScalars s = small_run();
  s.m = 6;
  s.nelem = 59652322;
  EXPECT_EQ(excess_of(s), "");
  s.nelem += 1;
  EXPECT_EQ(excess_of(s), "LWORK = 3 nelem (M + 6) + M (M + 3) + 1 = 2147483683");

  // ndof is checked before LWORK: 3 * 715827883 = 2147483649.
  s = small_run();
  s.nelem = 715827883;
  EXPECT_EQ(excess_of(s), "ndof = 3 nelem = 2147483649");
  s.nelem -= 1;  // ndof fits, but then LWORK cannot
  EXPECT_EQ(first_size_excess(s)->quantity, "LWORK = 3 nelem (M + 6) + M (M + 3) + 1");

  s = small_run();
  s.nnode = 715827882;
  EXPECT_EQ(excess_of(s), "");
  s.nnode += 1;
  EXPECT_EQ(excess_of(s), "3 nnode (node coordinates xnode) = 2147483649");

  // With nexp = 0 one cell's expansions take 4 items, so 8 maxcel binds.
  s = small_run();
  s.nexp = 0;
  s.maxcel = 268435455;
  EXPECT_EQ(excess_of(s), "");
  s.maxcel += 1;
  EXPECT_EQ(excess_of(s), "8 maxcel (child cells ichild) = 2147483648");

  s = small_run();
  s.maxdep = static_cast<int>(kIntMax - 1);
  EXPECT_EQ(excess_of(s), "");
  s.maxdep += 1;
  EXPECT_EQ(excess_of(s), "maxdep + 1 (level arrays levfst, levlst, celsiz) = 2147483648");

  // 9 * 15446^2 = 2147210244, 9 * 15447^2 = 2147488281.
  s = small_run();
  s.maxl = 15446;
  EXPECT_EQ(excess_of(s), "");
  s.maxl += 1;
  EXPECT_EQ(excess_of(s), "9 maxl^2 (preconditioner block, 3 maxl x 3 maxl) = 2147488281");

  // p = 8: 612 items per cell; 612 * 3508960 = 2147483520.
  s = small_run();
  s.maxcel = 3508960;
  EXPECT_EQ(excess_of(s), "");
  s.maxcel += 1;
  EXPECT_EQ(excess_of(s), "(8 nexp + 4)(nexp + 1) maxcel (expansions cmom, cloc) = 2147484132");
}

// Counts far beyond 64 bits are formed without wrapping and printed exactly.
TEST(SizeLimits, HugeCountsAreExact) {
  RunScalars s = small_run();
  s.maxcel = 1;
  s.nexp = static_cast<int>(kIntMax);
  // (8 (2^31 - 1) + 4) 2^31 = 36893488138829168640, beyond 2^64.
  EXPECT_EQ(excess_of(s),
            "(8 nexp + 4)(nexp + 1) maxcel (expansions cmom, cloc) = 36893488138829168640");
  // A large negative M makes M (M + 3) dominate LWORK.
  s = small_run();
  s.m = std::numeric_limits<int>::min();
  EXPECT_EQ(first_size_excess(s)->quantity, "LWORK = 3 nelem (M + 6) + M (M + 3) + 1");
}

// The program stops with the size-limit line before the memory report.
TEST(SizeLimits, ProgramStopsBeforeSizing) {
  struct Case {
    std::string cnd, counts, message;
  };
  const Case cases[] = {
      {control(30, 12, 40, 100, 4), "800000000 6 1.0",
       " Size limit exceeded: ndof = 3 nelem = 2400000000, more than 2147483647; stop"},
      {control(30, 12, 40, 100, 4), "20000000 6 1.0",
       " Size limit exceeded: LWORK = 3 nelem (M + 6) + M (M + 3) + 1 = 2160000991, more than "
       "2147483647; stop"},
      {control(30, 12, 40, 4000000, 8), "8 6 1.0",
       " Size limit exceeded: (8 nexp + 4)(nexp + 1) maxcel (expansions cmom, cloc) = "
       "2448000000, more than 2147483647; stop"},
  };
  for (const Case& c : cases) {
    RunDir d;
    d.write("input.cnd", c.cnd);
    d.write("input.dat", octahedron_dat(c.counts));
    const RunResult r = d.run();
    EXPECT_NE(r.status, 0) << c.counts;
    EXPECT_EQ(r.err, c.message + "\n");
    EXPECT_EQ(d.read("output.log").find("Memory size"), std::string::npos) << c.counts;
  }
}

// ---------------------------------------------------------------- memory

// Physical memory plus swap, as /proc/meminfo gives them (bytes).
std::int64_t meminfo_bytes() {
  std::ifstream f("/proc/meminfo");
  std::int64_t total = 0;
  for (std::string key; f >> key;) {
    std::int64_t kb = 0;
    std::string unit;
    f >> kb >> unit;
    if (key == "MemTotal:" || key == "SwapTotal:") total += kb * 1024;
  }
  return total;
}

// The machine size the check uses agrees with /proc/meminfo.
TEST(BlockMemory, MachineSizeMatchesMeminfo) {
  const std::int64_t expected = meminfo_bytes();
  if (expected == 0) GTEST_SKIP() << "no /proc/meminfo";
  const std::int64_t got = machine_memory_bytes();
  EXPECT_NEAR(static_cast<double>(got), static_cast<double>(expected), 0.01 * expected);
}

// The stop line gives the bytes asked for, and a block that fits passes.
TEST(BlockMemory, CheckAndMessage) {
  EXPECT_NO_THROW(check_block_fits(1000, 1000));
  EXPECT_NO_THROW(check_block_fits(1 << 30, 0));  // machine of unknown size
  EXPECT_EQ(test::stop_record([] { check_block_fits(1001, 1000); }),
            " Out of memory: the large block a needs 1001 bytes, the machine has 1000 bytes of "
            "memory and swap; stop\n");
  EXPECT_EQ(out_of_memory_record(123, 0),
            " Out of memory: the large block a needs 123 bytes; stop");
}

// A block larger than the machine stops after the memory report with one
// line giving its size, before any computation.
TEST(BlockMemory, ProgramStopsBeforeComputing) {
  // maxcel 3508960 with p = 8 (two expansion arrays of 34.4 GB), maxl 15446
  // (a preconditioner block of 17.2 GB), maxdep 2e9 (three level arrays,
  // 32 GB together): 118.15 GB, every count within 32 bits.
  const std::int64_t machine = meminfo_bytes();
  if (machine == 0 || machine > 115'000'000'000) GTEST_SKIP() << "machine too large to test";
  RunDir d;
  d.write("input.cnd", control(30, 2000000000, 15446, 3508960, 8));
  d.write("input.dat", octahedron_dat());
  const RunResult r = d.run();
  EXPECT_NE(r.status, 0);
  const auto err = lines(r.err);
  ASSERT_EQ(err.size(), 1u) << r.err;
  std::int64_t bytes = 0;
  ASSERT_EQ(
      std::sscanf(err[0].c_str(), " Out of memory: the large block a needs %ld bytes", &bytes), 1)
      << err[0];
  EXPECT_GT(bytes, 118'100'000'000);
  EXPECT_LT(bytes, 118'200'000'000);
  // The memory report gave the same size; nothing was computed after it.
  const std::string log = d.read("output.log");
  EXPECT_NE(log.find("  Memory size of the large block a     =" + fmt::F(bytes / 1.0e6, 12, 1)),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find("Number of tree levels"), std::string::npos);
  EXPECT_EQ(log.find("Calculating the b-vector"), std::string::npos);
}

// A block the system refuses (here through an address-space limit of 1 GB
// for a 3.9 GB block) stops with the size asked for, before any computation.
TEST(BlockMemory, RefusedAllocationStops) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer needs more address space than the limit leaves";
#endif
  RunDir d;
  d.write("input.cnd", control(30, 12, 40, 200000, 8));
  d.write("input.dat", octahedron_dat());
  const RunResult r = d.run("ulimit -v 1000000;");
  EXPECT_NE(r.status, 0);
  // Two expansion arrays of 612 * 200000 complex numbers, 14 MB of other
  // cell arrays and the small rest.
  std::int64_t bytes = 0;
  ASSERT_EQ(std::sscanf(r.err.c_str(), " Out of memory: the large block a needs %ld bytes; stop\n",
                        &bytes),
            1)
      << r.err;
  EXPECT_GT(bytes, 2 * 612 * 200000 * std::int64_t{16});
  EXPECT_LT(bytes, 2 * 612 * 200000 * std::int64_t{16} + 15'000'000);
  EXPECT_EQ(lines(r.err).size(), 1u);
  EXPECT_EQ(d.read("output.log").find("Number of tree levels"), std::string::npos);
}

// ---------------------------------------------------------------- write failures

// A stream buffer that refuses every character, as a full device does.
class RefusingBuf : public std::streambuf {
 protected:
  int_type overflow(int_type) override { return traits_type::eof(); }
};

// A record that cannot be written stops the run, naming the file.
TEST(WriteFailure, UnitWriteStops) {
  UnitsGuard guard;
  RefusingBuf buf;
  std::ostream refusing(&buf);
  units().attach(kUnitOut, &refusing, "output.dat");
  EXPECT_EQ(test::stop_record([] { units().write(kUnitOut, " Boundary solutions:"); }),
            "output.dat: cannot write the file\n");
  // A unit attached without a name is reported by its number.
  units().attach(9, &refusing);
  EXPECT_EQ(test::stop_record([] { units().write(9, "x"); }), "unit 9: cannot write the file\n");
}

// Each output file on a full device (/dev/full) ends the run with a
// message and a non-zero status, not with success.
TEST(WriteFailure, FullDevice) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  for (const char* file : {"output.log", "output.dat", "output.plt"}) {
    RunDir d;
    d.write("input.cnd", control(30, 12, 40, 100, 4));
    d.write("input.dat", octahedron_dat());
    fs::create_symlink("/dev/full", d.path() / file);
    const RunResult r = d.run();
    EXPECT_NE(r.status, 0) << file;
    EXPECT_EQ(r.err, std::string(file) + ": cannot write the file (No space left on device)\n");
  }
}

// An output file that cannot be created stops the run before any output.
TEST(WriteFailure, CannotCreate) {
  RunDir d;
  d.write("input.cnd", control(30, 12, 40, 100, 4));
  d.write("input.dat", octahedron_dat());
  fs::create_directory(d.path() / "output.dat");
  RunResult r = d.run();
  EXPECT_NE(r.status, 0);
  EXPECT_EQ(r.err, "output.dat: cannot open the file for writing (Is a directory)\n");
  EXPECT_EQ(r.out, "");
}

// True when every folder above `path` and `path` itself carry the search
// (execute) permission for other users.
bool others_can_reach(const fs::path& path) {
  for (fs::path p = fs::absolute(path);; p = p.parent_path()) {
    struct stat st {};
    if (stat(p.c_str(), &st) != 0 || (st.st_mode & S_IXOTH) == 0) return false;
    if (p == p.parent_path()) return true;
  }
}

// A folder without write permission: the first output file cannot be
// created.  Root ignores the permission, so as root the program runs as the
// unprivileged user nobody (through setpriv) where that is possible.
TEST(WriteFailure, ReadOnlyFolder) {
  RunDir d;
  d.write("input.cnd", control(30, 12, 40, 100, 4));
  d.write("input.dat", octahedron_dat());
  fs::permissions(d.path(), fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                fs::perms::group_exec | fs::perms::others_read |
                                fs::perms::others_exec);
  std::string as_user;
  if (access(d.path().c_str(), W_OK) == 0) {
    if (geteuid() != 0 || access("/usr/bin/setpriv", X_OK) != 0 || !others_can_reach(VELMORA_EXE) ||
        !others_can_reach(d.path()))
      GTEST_SKIP() << "permissions are not enforced";
    as_user = "/usr/bin/setpriv --reuid=65534 --regid=65534 --clear-groups";
  }
  const RunResult r = d.run(as_user);
  EXPECT_NE(r.status, 0);
  EXPECT_EQ(r.err, "output.log: cannot open the file for writing (Permission denied)\n");
}

// ---------------------------------------------------------------- threads

// The element records of output.dat, the title to the force.
std::vector<std::string> result_records(const std::string& dat) {
  auto v = lines(dat);
  // Drop the empty record and the timing line that end the file.
  if (v.size() >= 2) v.resize(v.size() - 2);
  return v;
}

// The same input gives bit-identical element records and force with one and
// with two threads.  The mesh (1280 elements, leaves of at most 20) gives
// 305 cells on levels 0 to 3, so the multipole-to-local translations, the
// near field and the threaded clearing of the moments all take part.
TEST(Determinism, OneAndTwoThreads) {
  RunDir d;
  std::ifstream in(std::string(VELMORA_SOURCE_DIR) + "/examples/sphere-translate/input.dat");
  std::ostringstream text;
  text << in.rdbuf();
  d.write("input.dat", text.str());
  d.write("input.cnd", control(30, 12, 20, 20000, 6, 7, 1.0e-5));
  const RunResult one = d.run("OMP_NUM_THREADS=1");
  ASSERT_EQ(one.status, 0) << one.err;
  const auto records1 = result_records(d.read("output.dat"));
  const RunResult two = d.run("OMP_NUM_THREADS=2");
  ASSERT_EQ(two.status, 0) << two.err;
  const auto records2 = result_records(d.read("output.dat"));
  ASSERT_EQ(records1.size(), 2u + 3u + 1280u + 3u);
  EXPECT_EQ(records1, records2);
  EXPECT_NE(d.read("output.log").find(" Number of tree levels                =           3"),
            std::string::npos);
}

// ---------------------------------------------------------------- fuzzing regressions

// Ew.d with more digits than a fixed buffer held (found by records_fuzz):
// the exponent was cut off and its position read from before the text.
TEST(FuzzRegression, EWithManyDigits) {
  // 1/3 as a double is 0.333333333333333314829616256247390992939472198486328125
  // exactly; ninety digits are those followed by zeros.
  const std::string digits =
      "333333333333333314829616256247390992939472198486328125000000000000000000000000000000000000";
  EXPECT_EQ(fmt::E(1.0 / 3.0, 100, 90), "    0." + digits + "E+00");
  EXPECT_EQ(fmt::E(-0.5, 80, 70), "   -0.5" + std::string(69, '0') + "E+00");
  // The input that found it: w = d = 255, v = -1.3e308 (exponent 309, no
  // room for 255 digits): asterisks, no read outside the text.
  double v = 0.0;
  const unsigned char bytes[8] = {0x00, 0x00, 0x00, 0x00, 0x00, 0x88, 0x78, 0xff};
  std::memcpy(&v, bytes, sizeof v);
  EXPECT_EQ(fmt::E(v, 255, 255), std::string(255, '*'));
}

// Fw.0 and Ew.0 of a value below one half in a field one column too narrow
// (found by records_fuzz): the zero before the point is the only digit and
// may not be dropped, so the field is asterisks, not "." (which no reader
// takes for a number).
TEST(FuzzRegression, OnlyDigitZeroStays) {
  EXPECT_EQ(fmt::F(0.25, 1, 0), "*");
  EXPECT_EQ(fmt::F(0.25, 2, 0), "0.");
  EXPECT_EQ(fmt::F(-0.25, 2, 0), "**");
  EXPECT_EQ(fmt::F(-0.25, 3, 0), "-0.");
  EXPECT_EQ(fmt::F(0.75, 2, 0), "1.");
  EXPECT_EQ(fmt::E(0.5, 5, 0), "*****");
  EXPECT_EQ(fmt::E(0.5, 6, 0), "0.E+00");
  // With digits after the point the zero may still go.
  EXPECT_EQ(fmt::F(0.25, 3, 2), ".25");
}

}  // namespace
}  // namespace velmora
