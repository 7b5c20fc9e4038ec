// End-to-end runs of the velmora executable in scratch directories: the
// records of a good run, the ngauss stop, and every kind of bad input.
#include <algorithm>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <filesystem>
#include <iterator>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "common/records.hpp"
#include "run/bemsol.hpp"
#include "registration_table.hpp"

namespace velmora {
namespace {

namespace fs = std::filesystem;

struct RunResult {
  int status = -1;
  std::string out, err;
};

// A scratch directory holding the input files of one run.
class RunDir {
 public:
  RunDir() {
    std::string tmpl = (fs::temp_directory_path() / "velmora-run-XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir_ = tmpl;
  }
  ~RunDir() {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  void write(const std::string& name, const std::string& text) const {
    std::ofstream(dir_ / name, std::ios::binary) << text;
  }
  std::string read(const std::string& name) const {
    std::ifstream f(dir_ / name, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
  }
  bool exists(const std::string& name) const { return fs::exists(dir_ / name); }
  RunResult run() const {
    const std::string cmd = "cd '" + dir_.string() + "' && '" + std::string(VELMORA_EXE) +
                            "' > stdout.txt 2> stderr.txt";
    const int rc = std::system(cmd.c_str());
    RunResult r;
    r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    r.out = read("stdout.txt");
    r.err = read("stderr.txt");
    return r;
  }

 private:
  fs::path dir_;
};

// A regular octahedron with unit vertices, its eight faces ordered so that
// (n2 - n1) x (n3 - n1) points into the body; every component velocity-prescribed.
const char* const kNodes =
    "    1   1.0  0.0  0.0\n"
    "    2  -1.0  0.0  0.0\n"
    "    3   0.0  1.0  0.0\n"
    "    4   0.0 -1.0  0.0\n"
    "    5   0.0  0.0  1.0\n"
    "    6   0.0  0.0 -1.0\n";
const char* const kElements =
    "    1   1 5 3   1 1 1   1.0 0.0 0.0\n"
    "    2   3 5 2   1 1 1   1.0 0.0 0.0\n"
    "    3   2 5 4   1 1 1   1.0 0.0 0.0\n"
    "    4   4 5 1   1 1 1   1.0 0.0 0.0\n"
    "    5   1 3 6   1 1 1   1.0 0.0 0.0\n"
    "    6   3 2 6   1 1 1   1.0 0.0 0.0\n"
    "    7   2 4 6   1 1 1   1.0 0.0 0.0\n"
    "    8   4 1 6   1 1 1   1.0 0.0 0.0\n";

std::string cnd(int m, int maxdep, int maxl, int maxcel, int nexp, int ngauss) {
  return "1.0e-8 " + std::to_string(m) + " 0 0 1 10 1.0e-6   snaptol M - - iprec ncycle tol\n" +
         std::to_string(maxdep) + " 2 " + std::to_string(maxl) + " " + std::to_string(maxcel) +
         " " + std::to_string(nexp) + " " + std::to_string(ngauss) + " 1.01\n";
}
const std::string kCnd = cnd(30, 12, 40, 100, 4, 7);

std::string dat(const std::string& counts = "8 6 1.0", const std::string& nodes = kNodes,
                const std::string& elements = kElements) {
  return "Octahedron translating along x\nsecond title line, never echoed\n" + counts +
         "     nelem nnode mu\nNodes\n" + nodes + "Elements\n" + elements;
}

std::vector<std::string> lines(const std::string& s) {
  std::vector<std::string> v;
  std::istringstream is(s);
  for (std::string l; std::getline(is, l);) v.push_back(l);
  return v;
}

std::string joined(const std::vector<std::string>& v) {
  std::string s;
  for (const auto& l : v) s += l + "\n";
  return s;
}

const std::string kRule(79, '-');

std::vector<std::string> banner() {
  std::vector<std::string> b = {
      kRule, " Program:   Velmora, V.1.1,              Updated December 14, 2023  ",
      "            A fast multiplole BEM code for general 3-D Stokes flow problems    "};
  return b;
}

// The free memory reported for the caches changes from moment to moment:
// its value is compared as a number only.
const std::string kFreeForCaches = "  Free for caches beside the block     =";
std::vector<std::string> free_memory_masked(std::vector<std::string> v) {
  for (std::string& l : v)
    if (l.rfind(kFreeForCaches, 0) == 0 &&
        std::regex_match(l.substr(kFreeForCaches.size()), std::regex(R"( *[0-9]+\.[0-9] Mb)")))
      l = kFreeForCaches + " <free memory> Mb";
  return v;
}

// The records before the solve for the octahedron with the control values of kCnd.
std::vector<std::string> head_records(int ngauss) {
  const std::int64_t lwork = testing::lwork_of(8, 30);
  std::int64_t units = 0;
  for (const auto& r : testing::registration_table(8, 6, lwork, 40, 100, 12, 4))
    units += testing::units_of(r);
  const std::string title = "Octahedron translating along x";
  return {title + std::string(78 - title.size(), ' '),
          " ",
          " Number of boundary elements          =           8",
          " Number of nodes for the mesh         =           6",
          " Total number of DOFs                 =          24",
          " Constant mu                          =   1.0000000000000000     ",
          " Maximum number of elements in a leaf =          40",
          " Maximum number of tree levels        =          12",
          " Tolerance for convergence for GMRES  =   9.9999999999999995E-007",
          " Number of expansion terms            =           4",
          " Number of Gaussian points            =           " + std::to_string(ngauss),
          "",
          "  Memory size of the large block a     =" +
              fmt::F(static_cast<double>(units * 16) / 1e6, 12, 1) + " Mb",
          kFreeForCaches + " <free memory> Mb",
          "  Number of variables registered       =          88",
          ""};
}

// Banner: 8 records of 79 characters (the second one as given, 68), rules first and last.
void expect_banner(const std::vector<std::string>& got) {
  ASSERT_GE(got.size(), 8u);
  const auto b = banner();
  EXPECT_EQ(got[0], b[0]);
  EXPECT_EQ(got[1], b[1]);
  EXPECT_EQ(got[2], b[2]);
  for (int k = 3; k <= 6; ++k) EXPECT_EQ(got[k].size(), 79u) << got[k];
  EXPECT_EQ(got[7], kRule);
}

const std::regex kTiming(
    R"( Total CPU time, wall-clock time used = *[0-9]+\.[0-9]{2} \(sec\), *[0-9]+\.[0-9]{2} \(sec\))");

// A good run: the records of output.log in their order (banner, head, tree report, progress,
// solver summary and history, solver report, force, timing), the console's share of them, and
// output.dat's frame around the element records; status 0.
TEST(Program, GoodRunRecords) {
  RunDir d;
  d.write("input.cnd", kCnd);
  d.write("input.dat", dat());
  RunResult r = d.run();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  // The coarse correction's two lines (its size after the caches, its times after the solve),
  // on the console and the log; the other records are checked without them.
  auto log = lines(d.read("output.log"));
  const auto coarse = [](const std::string& line) { return line.rfind("  Coarse correction", 0) == 0; };
  std::vector<std::string> coarse_lines;
  std::copy_if(log.begin(), log.end(), std::back_inserter(coarse_lines), coarse);
  ASSERT_EQ(coarse_lines.size(), 2u);
  EXPECT_EQ(coarse_lines[0], "  Coarse correction: 8 leaves in 1 aggregates, 24 and 3 unknowns, 0.0 Mb");
  EXPECT_TRUE(std::regex_match(coarse_lines[1],
                               std::regex(R"(  Coarse correction time used: built and factored in [0-9]+\.[0-9] s, applied in [0-9]+\.[0-9] s \(coarse solves [0-9]+\.[0-9] s\))")))
      << coarse_lines[1];
  log.erase(std::remove_if(log.begin(), log.end(), coarse), log.end());
  {
    std::vector<std::string> out = lines(r.out);
    out.erase(std::remove_if(out.begin(), out.end(), coarse), out.end());
    r.out = joined(out);
  }
  expect_banner(log);
  auto expected = head_records(7);
  ASSERT_GT(log.size(), 8 + expected.size() + 5 + 6 + 5);
  const auto masked = free_memory_masked(log);
  for (std::size_t k = 0; k < expected.size(); ++k) EXPECT_EQ(masked[8 + k], expected[k]) << k;
  std::size_t at = 8 + expected.size();
  // Root, its eight octants and one more level (minlev = 2): 17 cells on levels 0..2.
  EXPECT_EQ(log[at++], " Number of tree levels                =           2");
  EXPECT_EQ(log[at++], " Number of cells in tree structure    =          17");
  EXPECT_EQ(log[at++], " ");
  EXPECT_TRUE(std::regex_match(
      log[at++], std::regex(R"(  Caches kept beside the block a       = +[0-9]+\.[0-9] Mb \(factors +[0-9]+\.[0-9], near field +[0-9]+\.[0-9]\))")))
      << log[at - 1];
  EXPECT_EQ(log[at++], " Calculating the b-vector ...");
  EXPECT_EQ(log[at++], " Calling the GMRES solver ...");
  const std::size_t solver_start = at;
  // The solver's block ends with its final report; then the driver's report.
  std::size_t report = at;
  while (report < log.size() && log[report] != " Orthogonalisation : ICGS") ++report;
  ASSERT_LT(report + 12, log.size() + 1);
  EXPECT_NE(std::find(log.begin() + solver_start, log.begin() + report,
                      "                    CONVERGENCE HISTORY FOR GMRES"),
            log.begin() + report);
  EXPECT_NE(std::find(log.begin() + solver_start, log.begin() + report, "  Convergence achieved!"),
            log.begin() + report);
  // M = 30 exceeds N = 24, so the solver lowers the restart length to 24.
  EXPECT_EQ(log[report + 1], " Restart :           24");
  EXPECT_TRUE(std::regex_match(log[report + 2],
                               std::regex(R"( info\(1\) = +0  info\(2\) = +[0-9]+)")))
      << log[report + 2];
  EXPECT_EQ(log[report + 3].rfind(" rinfo(1) = ", 0), 0u);
  EXPECT_EQ(log[report + 4].rfind(" Optimal workspace = ", 0), 0u);
  EXPECT_EQ(log[report + 5], " Solution : ");
  // The octahedron is closed and velocity-prescribed: the size of the part
  // of b along its null direction (zero to rounding by its symmetry).
  EXPECT_TRUE(std::regex_match(
      log[report + 6],
      std::regex(R"( Closed body 1 \(8 elements\): part of b along its null direction removed, relative size +0\.[0-9]{4}E-1[0-9])")))
      << log[report + 6];
  EXPECT_EQ(log[report + 7], " ");
  EXPECT_EQ(log[report + 8], " Total force acting on the body is:");
  EXPECT_EQ(log[report + 10], " ");
  EXPECT_TRUE(std::regex_match(log[report + 11], kTiming)) << log[report + 11];
  ASSERT_EQ(log.size(), report + 12);

  // The console: the same records up to the progress lines, the history heading and lines,
  // then the force and the timing; not the solver's summary, final report or the driver's report.
  const std::regex history(R"( {0,4}[0-9]+ {9}0\.[0-9]{4}E[-+][0-9]{2}( {9}--| {5}0\.[0-9]{4}E[-+][0-9]{2}))");
  std::vector<std::string> console(log.begin(), log.begin() + solver_start);
  console.push_back("  Iteration  Arnoldi b.e.    True b.e.");
  for (std::size_t k = solver_start; k < report; ++k)
    if (std::regex_match(log[k], history)) console.push_back(log[k]);
  console.insert(console.end(), log.begin() + report + 7, log.end());
  EXPECT_EQ(r.out, joined(console));

  // output.dat: title, empty record, header, eight element records, force block, timing block.
  const auto out = lines(d.read("output.dat"));
  ASSERT_EQ(out.size(), 2u + 3 + 8 + 3 + 2);
  EXPECT_EQ(out[0], expected[0]);
  EXPECT_EQ(out[1], " ");
  EXPECT_EQ(out[2], " Boundary solutions:");
  EXPECT_EQ(out[3], " (element no., u1, u2, u3, t1, t2, t3, xg1, xg2, xg3)");
  EXPECT_EQ(out[4], " ");
  for (int e = 1; e <= 8; ++e) {
    EXPECT_EQ(out[4 + e].size(), 197u);
    EXPECT_EQ(out[4 + e].substr(0, 8), fmt::I(e, 8));
  }
  EXPECT_EQ(out[13], " ");
  EXPECT_EQ(out[14], " Total force acting on the body is:");
  EXPECT_EQ(out[15], log[report + 9]);
  EXPECT_EQ(out[16], " ");
  EXPECT_TRUE(std::regex_match(out[17], kTiming)) << out[17];
}

// ngauss = 4: the message on standard error, a non-zero status, output.log up to the memory
// report and count, output.dat the title and an empty record, and no timing line.
TEST(Program, InvalidNgaussStops) {
  RunDir d;
  d.write("input.cnd", cnd(30, 12, 40, 100, 4, 4));
  d.write("input.dat", dat());
  const RunResult r = d.run();
  EXPECT_NE(r.status, 0);
  EXPECT_EQ(r.err, " Invalid parameter --> ngauss; stop\n");
  const auto log = lines(d.read("output.log"));
  expect_banner(log);
  const auto expected = head_records(4);
  std::vector<std::string> tail(log.begin() + 8, log.end());
  EXPECT_EQ(joined(free_memory_masked(tail)), joined(expected));
  EXPECT_EQ(d.read("output.dat"), expected[0] + "\n \n");
  EXPECT_EQ(d.read("output.plt"), "");
}

// Missing input files: one line naming the file, a non-zero status, and no output files.
TEST(Program, MissingInputFiles) {
  for (const char* missing : {"input.cnd", "input.dat"}) {
    RunDir d;
    if (std::string(missing) != "input.cnd") d.write("input.cnd", kCnd);
    if (std::string(missing) != "input.dat") d.write("input.dat", dat());
    const RunResult r = d.run();
    EXPECT_NE(r.status, 0);
    EXPECT_EQ(r.err, std::string(missing) + ": cannot open the file (No such file or directory)\n");
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(d.exists("output.log"));
    EXPECT_FALSE(d.exists("output.dat"));
    EXPECT_FALSE(d.exists("output.plt"));
  }
}

struct BadInput {
  const char* name;
  std::string cnd, dat, message;
};

// Unreadable items, early ends of file and invalid records: the message and a non-zero status.
TEST(Program, BadInputMessages) {
  std::string nodes_bad_y = kNodes;
  nodes_bad_y.replace(nodes_bad_y.find("4   0.0 -1.0"), 12, "4   0.0 zz.5");
  std::string elements_short = kElements;
  elements_short.resize(elements_short.find("    8 "));
  const std::string nodes_dup =
      "1 1.0 0.0 0.0\n2 -1.0 0.0 0.0\n2 0.0 1.0 0.0\n4 0.0 -1.0 0.0\n5 0 0 1\n6 0 0 -1\n";
  const std::string nodes_collinear =
      "1 1.0 0.0 0.0\n2 -1.0 0.0 0.0\n3 0.0 1.0 0.0\n4 0.0 -1.0 0.0\n5 0.5 0.5 0\n6 0 0 -1\n";
  auto with_element = [](int record, const std::string& text) {
    std::vector<std::string> v = lines(kElements);
    v[record - 1] = text;
    return joined(v);
  };
  const std::vector<BadInput> cases = {
      {"real item unreadable", kCnd, dat("8 6 1.0", nodes_bad_y),
       "input.dat, line 8: expected a real (y of node 4), found \"zz.5\""},
      {"integer item given as real", "1.0e-8 30.5 0 0 1 10 1.0e-6\n12 2 40 100 4 7 1.01\n", dat(),
       "input.cnd, line 1: expected an integer (M), found \"30.5\""},
      {"input.cnd ends early", "1.0e-8 30 0 0 1 10 1.0e-6\n", dat(),
       "input.cnd, line 2: expected an integer (maxdep), found end of file"},
      {"input.dat ends in the elements", kCnd, dat("8 6 1.0", kNodes, elements_short),
       "input.dat, line 19: expected an integer (number of element record 8), found end of file"},
      {"input.dat ends in the title", kCnd, "only a title\n",
       "input.dat, line 2: expected a title line (second title line), found end of file"},
      {"node number outside", kCnd, dat("8 6 1.0", "1 1 0 0\n2 -1 0 0\n7 0 1 0\n"),
       "input.dat, line 7: node record 3 gives node number 7, outside 1..6"},
      {"node given twice", kCnd, dat("8 6 1.0", nodes_dup),
       "input.dat, line 7: node 2 is given a second time (first on line 6); each node needs "
       "exactly one record"},
      {"element number outside", kCnd,
       dat("8 6 1.0", kNodes, with_element(2, "0 3 5 2 1 1 1 1.0 0.0 0.0")),
       "input.dat, line 13: element record 2 gives element number 0, outside 1..8"},
      {"element given twice", kCnd,
       dat("8 6 1.0", kNodes, with_element(8, "1 4 1 6 1 1 1 1.0 0.0 0.0")),
       "input.dat, line 19: element 1 is given a second time (first on line 12); each element "
       "needs exactly one record"},
      {"node of an element outside", kCnd,
       dat("8 6 1.0", kNodes, with_element(3, "3 2 5 -4 1 1 1 1.0 0.0 0.0")),
       "input.dat, line 14: node 3 of element 3 is -4, outside 1..6"},
      {"coincident nodes", kCnd,
       dat("8 6 1.0", kNodes, with_element(5, "5 1 3 3 1 1 1 1.0 0.0 0.0")),
       "input.dat, line 16: element 5 has zero area (nodes 1, 3 and 3 coincide or are "
       "collinear)"},
      {"collinear nodes", kCnd, dat("8 6 1.0", nodes_collinear),
       "input.dat, line 12: element 1 has zero area (nodes 1, 5 and 3 coincide or are "
       "collinear)"},
      {"nelem", kCnd, dat("0 6 1.0"), " Invalid parameter --> nelem; stop"},
      {"nnode", kCnd, dat("8 0 1.0"), " Invalid parameter --> nnode; stop"},
      {"mu zero", kCnd, dat("8 6 0.0"), " Invalid parameter --> mu; stop"},
      {"mu negative", kCnd, dat("8 6 -1.0"), " Invalid parameter --> mu; stop"},
      {"maxl", cnd(30, 12, 0, 100, 4, 7), dat(), " Invalid parameter --> maxl; stop"},
      {"maxcel", cnd(30, 12, 40, 0, 4, 7), dat(), " Invalid parameter --> maxcel; stop"},
      {"maxdep", cnd(30, -1, 40, 100, 4, 7), dat(), " Invalid parameter --> maxdep; stop"},
      {"nexp", cnd(30, 12, 40, 100, -1, 7), dat(), " Invalid parameter --> nexp; stop"},
      {"minlev", std::string("1.0e-8 30 0 0 1 10 1.0e-6\n12 1 40 100 4 7 1.01\n"), dat(),
       " Invalid parameter --> minlev; stop"},
      {"cubfac", std::string("1.0e-8 30 0 0 1 10 1.0e-6\n12 2 40 100 4 7 0.0\n"), dat(),
       " Invalid parameter --> cubfac; stop"},
      {"M leaves no room for x and b", cnd(-5, 12, 40, 100, 4, 7), dat(),
       " Invalid parameter --> M; stop"},
  };
  for (const BadInput& c : cases) {
    RunDir d;
    d.write("input.cnd", c.cnd);
    d.write("input.dat", c.dat);
    const RunResult r = d.run();
    EXPECT_NE(r.status, 0) << c.name;
    EXPECT_EQ(r.err, c.message + "\n") << c.name;
    // Nothing is sized from an invalid parameter: the stop comes before the memory report.
    if (c.message.rfind(" Invalid parameter", 0) == 0) {
      EXPECT_EQ(d.read("output.log").find("Memory size"), std::string::npos) << c.name;
    }
  }
}

// The bundled example reads completely and the run ends with status 0.
TEST(Program, SphereExampleRuns) {
  RunDir d;
  const std::string src = std::string(VELMORA_SOURCE_DIR) + "/examples/sphere-translate/";
  for (const char* f : {"input.cnd", "input.dat"}) {
    std::ifstream in(src + f);
    std::ostringstream s;
    s << in.rdbuf();
    d.write(f, s.str());
  }
  const RunResult r = d.run();
  EXPECT_EQ(r.status, 0) << r.err;
  const auto log = lines(d.read("output.log"));
  ASSERT_GT(log.size(), 12u);
  EXPECT_EQ(log[10], " Number of boundary elements          =        1280");
  EXPECT_EQ(log[11], " Number of nodes for the mesh         =         642");
  EXPECT_TRUE(std::regex_match(log.back(), kTiming)) << log.back();
}

}  // namespace
}  // namespace velmora
