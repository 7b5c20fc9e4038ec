// The free-format (list-directed) reader of the input files.
//
// A read takes its items one after the other from the text:
//   - items are separated by blanks (or tabs), a comma, or line ends; a read
//     takes as many lines as it needs, and whatever follows its last item on
//     the last line it consumed is ignored;
//   - a comma with no item before it (two commas in a row, or a comma that
//     opens the read) is a null item: the variable keeps its value;
//   - r*v stands for r copies of v, and r* alone for r null items;
//   - a slash ends the read: the remaining variables keep their values;
//   - integers are optionally signed decimal numbers; reals may be written
//     with or without a decimal point and with or without an exponent
//     introduced by E or D, upper or lower case (1, -2., .5, 1.5e3, 0.2D1);
//   - a read with no items consumes exactly one line, whatever it contains.
// Title lines are read with format A78: the first 78 characters of the line,
// stored left-justified and padded with blanks (to 80 characters).
//
// Anything that cannot be read as its item, and an end of file before a read
// is complete, is fatal: one line on the error stream names the input, the
// line number and what was expected, e.g.
//   input.dat, line 8: expected a real (y of node 4), found "zz.5"
// and the run stops (StopRun).
#pragma once

#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>

namespace velmora {

// What an item is, for messages: the text, followed by a number when one is
// given ("y of node" and &k give "y of node 4").  The number is looked at
// only when a message is written, so it may be an item of the same read.
struct What {
  const char* text = "";
  const int* number = nullptr;
  std::string str() const;
};

class ListReader {
 public:
  ListReader();
  ~ListReader();
  ListReader(ListReader&&) noexcept;
  ListReader& operator=(ListReader&&) noexcept;

  // Reads from `in`; messages call the input `name`.
  ListReader(std::string name, std::unique_ptr<std::istream> in);
  static ListReader from_text(std::string name, std::string text);

  // Opens the file `path` (messages name it by `path`); false when it
  // cannot be opened.
  bool open(const std::string& path);
  bool is_open() const { return in_ != nullptr; }
  void close();
  const std::string& name() const { return name_; }
  // Number of the last line consumed (0 before the first).
  int line() const { return line_no_; }

  // One free-format read, item by item: begin(), get() for each item in
  // order, end().  get() returns true when it stored a value and false when
  // the item was null or the read had already met a slash (the variable is
  // then unchanged).  end() discards the rest of the last line consumed, or
  // consumes one line when the read took no line at all.
  void begin();
  bool get(int& v, const What& what);
  bool get(double& v, const What& what);
  void end(const What& what = {"a line"});

  // A read with no items: consumes one line.
  void skip(const What& what) {
    begin();
    end(what);
  }

  // Format A78 into an 80-character title: the first `width` characters of
  // the next line, padded with blanks to `stored` characters.
  std::string title(const What& what, int width = 78, int stored = 80);

 private:
  enum class Kind { kInteger, kReal };
  // Finds the text of the next item (false when null / after a slash).
  bool next_token(Kind kind, const What& what, std::string& token);
  bool load_line();  // false at end of file
  [[noreturn]] void fail_eof(const char* expected, const What& what) const;
  [[noreturn]] void fail_item(Kind kind, const What& what, std::string_view found,
                              const char* why) const;

  std::string name_;
  std::unique_ptr<std::istream> in_;
  std::string buf_;  // the line being consumed
  std::size_t pos_ = 0;
  int line_no_ = 0;
  bool have_line_ = false;    // a line of this read is loaded
  bool took_line_ = false;    // this read has loaded at least one line
  bool after_value_ = false;  // a value (not a separator) came last
  bool slash_ = false;
  long repeat_left_ = 0;      // copies of repeat_token_ still to hand out
  std::string repeat_token_;  // empty: a repeated null
  int repeat_line_ = 0;
  int item_line_ = 0;  // line of the item being converted
};

}  // namespace velmora
