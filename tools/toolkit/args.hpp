// Command-line helpers shared by the companion tools.
#pragma once

#include <string>
#include <vector>

namespace velmora::tools {

// "1,0,-2.5" -> {1, 0, -2.5}; exactly `n` reals separated by commas, else
// ToolError naming `option`.
std::vector<double> parse_reals(const std::string& text, std::size_t n, const std::string& option);
double parse_real(const std::string& text, const std::string& option);
int parse_int(const std::string& text, const std::string& option);

// Splits "--name=value" into name and value; other words are left alone.
// Returns the words with every "--name=value" replaced by "--name" "value".
std::vector<std::string> split_assignments(const std::vector<std::string>& args);

// "x y z" with %.10g, for summaries.
std::string show(const double* v, int n = 3);

}  // namespace velmora::tools
