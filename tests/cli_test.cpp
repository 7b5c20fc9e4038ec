// Arguments of velmora: --help, --version, anything else rejected, none left to the run.
#include "run/cli.hpp"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "common/units.hpp"

namespace velmora {
namespace {

struct Result {
  std::optional<int> status;
  std::string out, err;
};

Result call(std::vector<std::string> args) {
  args.insert(args.begin(), "velmora");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  UnitsGuard guard;
  std::ostringstream out, err;
  units().set_console(&out);
  units().set_error(&err);
  Result r;
  r.status = handle_arguments(static_cast<int>(args.size()), argv.data());
  r.out = out.str();
  r.err = err.str();
  return r;
}

// With no argument nothing is printed and the run goes ahead.
TEST(Cli, NoArgumentsRunsTheSolver) {
  const Result r = call({});
  EXPECT_FALSE(r.status.has_value());
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
}

// --help lists every file read and written and exits 0; --version prints the version.
TEST(Cli, HelpAndVersion) {
  const Result h = call({"--help"});
  ASSERT_EQ(h.status, 0);
  EXPECT_EQ(h.err, "");
  for (const char* file : {"input.cnd", "input.dat", "output.log", "output.dat", "output.plt"})
    EXPECT_NE(h.out.find(file), std::string::npos) << file;
  EXPECT_EQ(h.out.rfind("Usage: velmora", 0), 0u);
  // The companion tools and the Python module, one line each.
  for (const char* tool : {"\n  velmora-mesh ", "\n  velmora-post ", "\n  velmora-field ",
                           "\n  velmora-rigid ", "\n  import velmora "})
    EXPECT_NE(h.out.find(tool), std::string::npos) << tool;
  const Result v = call({"--version"});
  ASSERT_EQ(v.status, 0);
  EXPECT_EQ(v.out, std::string("velmora ") + VELMORA_VERSION + "\n");
}

// Unknown or extra arguments give the usage on the error stream and status 2.
TEST(Cli, RejectsOtherArguments) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"input.dat"}, {"--help", "x"}, {"--help", "--version"}, {"-v"}}) {
    const Result r = call(args);
    ASSERT_EQ(r.status, 2) << args[0];
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("Usage: velmora"), std::string::npos);
  }
  EXPECT_NE(call({"input.dat"}).err.find("unknown argument 'input.dat'"), std::string::npos);
  EXPECT_NE(call({"--help", "x"}).err.find("unknown argument 'x'"), std::string::npos);
}

}  // namespace
}  // namespace velmora
