// Fuzz target: the free-format reader on arbitrary text.
//
// Input: byte 0 chooses the kinds of reads (two bits per read, in a cycle of
// four: a title line, a skipped line, a read of integers and reals, a read
// of reals), byte 1 the number of items per read (1..8) and which of them
// are integers; the rest is the text.  The reads run until the text ends or
// an item cannot be read (StopRun, the reader's normal way to refuse).
// Properties: titles are 80 characters; every real stored is finite (the
// reader refuses overflow and has no spelling for NaN); the line count never
// decreases and never passes the number of lines of the text.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>

#include "common/listread.hpp"
#include "common/stop.hpp"
#include "fuzz_support.hpp"

using velmora::ListReader;
using velmora::StopRun;
using velmora::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const unsigned plan = data[0];
  const unsigned items = data[1];
  std::string text(reinterpret_cast<const char*>(data + 2), size - 2);
  std::size_t lines = 0;
  for (char c : text) lines += c == '\n';
  if (!text.empty() && text.back() != '\n') ++lines;

  velmora::fuzz::QuietUnits quiet;
  ListReader r = ListReader::from_text("fuzz.txt", text);
  int last_line = 0;
  try {
    for (int step = 0; step < 256; ++step) {
      const unsigned op = (plan >> (2 * (step % 4))) & 3u;
      if (op == 0) {
        check(r.title({"title"}).size() == 80, "a title is stored in 80 characters");
      } else if (op == 1) {
        r.skip({"skipped line"});
      } else {
        const int n = 1 + static_cast<int>(items & 7u);
        r.begin();
        for (int k = 0; k < n; ++k) {
          const bool integer = op == 2 && ((items >> (3 + k % 5)) & 1u) != 0;
          if (integer) {
            int v = -7;
            r.get(v, {"integer item", &k});
          } else {
            double v = -7.0;
            if (r.get(v, {"real item", &k})) check(std::isfinite(v), "a real read is finite");
          }
        }
        r.end();
      }
      check(r.line() >= last_line, "the line count never decreases");
      check(static_cast<std::size_t>(r.line()) <= lines, "no line beyond the text is counted");
      last_line = r.line();
    }
  } catch (const StopRun&) {
  }
  return 0;
}
