// Command-line arguments of velmora.
//
// The solver itself takes no arguments: with none it runs the batch solve
// in the current directory.  --help prints the usage (the files read and
// written) and --version the version, both to standard output with exit
// status 0; any other argument is rejected with the usage on standard error
// and exit status 2.
#pragma once

#include <optional>
#include <string>

namespace velmora {

// Prints the usage or the version and returns the exit status, or returns
// nullopt when there are no arguments (the run goes ahead).
std::optional<int> handle_arguments(int argc, char** argv);

// The usage text, lines separated by '\n' (no final line end).
std::string usage_text();

}  // namespace velmora
