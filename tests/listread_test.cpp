// The free-format reader: separators, spanning lines, slash, repeats, number
// forms, empty reads, title lines and the messages for unreadable input.
#include "common/listread.hpp"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "common/stop.hpp"
#include "common/units.hpp"
#include "stop_record.hpp"

namespace velmora {
namespace {

ListReader text(const std::string& s) {
  return ListReader::from_text("input.dat", s);
}

// The one line a program writes for the stop `body` raises.
template <class F>
std::string stop_message(F body) {
  return test::stop_record(body);
}

// Blanks, tabs, commas and line ends separate items; a read takes the lines it needs and
// ignores the rest of its last line.
TEST(ListRead, SeparatorsSpanningLinesAndTrailingText) {
  auto r = text("1, 2\t3\n\n  4 ,5 nodes and more\n6 7 ! seven\n8\n");
  int a[5] = {}, b = 0, c = 0;
  r.begin();
  for (int& v : a) r.get(v, {"item"});
  r.end();
  EXPECT_EQ(a[0], 1);
  EXPECT_EQ(a[1], 2);
  EXPECT_EQ(a[2], 3);
  EXPECT_EQ(a[3], 4);
  EXPECT_EQ(a[4], 5);
  EXPECT_EQ(r.line(), 3);
  r.begin();
  r.get(b, {"b"});
  r.end();
  EXPECT_EQ(b, 6);  // 7 and the comment on line 4 are ignored
  r.begin();
  r.get(c, {"c"});
  r.end();
  EXPECT_EQ(c, 8);
}

// Values split over several lines read the same as one value list per line.
TEST(ListRead, SplitLinesReadLikeOneLine) {
  auto one = text("1 2.5 -3 4e2\n");
  auto split = text("1\n2.5\n\n-3,\n4e2 trailing\n");
  for (ListReader* r : {&one, &split}) {
    int i = 0, k = 0;
    double x = 0, y = 0;
    r->begin();
    r->get(i, {"i"});
    r->get(x, {"x"});
    r->get(k, {"k"});
    r->get(y, {"y"});
    r->end();
    EXPECT_EQ(i, 1);
    EXPECT_EQ(x, 2.5);
    EXPECT_EQ(k, -3);
    EXPECT_EQ(y, 400.0);
  }
}

// A slash ends the read: the remaining items keep their values and the rest of the line
// is ignored; the next read starts on the next line.
TEST(ListRead, SlashEndsTheReadEarly) {
  auto r = text("1 2 / 3 4\n5\n");
  int a = -1, b = -1, c = -1, d = -1;
  r.begin();
  EXPECT_TRUE(r.get(a, {"a"}));
  EXPECT_TRUE(r.get(b, {"b"}));
  EXPECT_FALSE(r.get(c, {"c"}));
  EXPECT_FALSE(r.get(d, {"d"}));
  r.end();
  EXPECT_EQ(a, 1);
  EXPECT_EQ(b, 2);
  EXPECT_EQ(c, -1);
  EXPECT_EQ(d, -1);
  r.begin();
  r.get(c, {"c"});
  r.end();
  EXPECT_EQ(c, 5);
}

// r*v gives r copies of v (across items of different types), r* gives r null items, and a
// comma with nothing before it is a null item.
TEST(ListRead, RepeatsAndNullItems) {
  auto r = text("3*2 2*1.5\n2* 9\n,7,,8\n");
  int i1 = 0, i2 = 0;
  double x1 = 0, x2 = 0, x3 = 0;
  r.begin();
  r.get(i1, {"i1"});
  r.get(i2, {"i2"});
  r.get(x1, {"x1"});
  r.get(x2, {"x2"});
  r.get(x3, {"x3"});
  r.end();
  EXPECT_EQ(i1, 2);
  EXPECT_EQ(i2, 2);
  EXPECT_EQ(x1, 2.0);
  EXPECT_EQ(x2, 1.5);
  EXPECT_EQ(x3, 1.5);
  int n1 = -1, n2 = -1, n3 = 0;
  r.begin();
  EXPECT_FALSE(r.get(n1, {"n1"}));
  EXPECT_FALSE(r.get(n2, {"n2"}));
  EXPECT_TRUE(r.get(n3, {"n3"}));
  r.end();
  EXPECT_EQ(n1, -1);
  EXPECT_EQ(n2, -1);
  EXPECT_EQ(n3, 9);
  int a = -1, b = -1, c = -1, d = -1;
  r.begin();
  EXPECT_FALSE(r.get(a, {"a"}));
  EXPECT_TRUE(r.get(b, {"b"}));
  EXPECT_FALSE(r.get(c, {"c"}));
  EXPECT_TRUE(r.get(d, {"d"}));
  r.end();
  EXPECT_EQ(a, -1);
  EXPECT_EQ(b, 7);
  EXPECT_EQ(c, -1);
  EXPECT_EQ(d, 8);
}

// Integers optionally signed; reals with or without point, exponent E or D in either case,
// each rounded to the nearest double as the compiler rounds the same decimal literal.
TEST(ListRead, NumberForms) {
  auto r = text(
      "+7 -12 0 2147483647 -2147483648\n"
      "2 2. 2.0E0 0.2D1 20d-1 .5 -1.5e+3 +0.1 1E-400 12345678901234567890 5.D0\n");
  int i[5] = {};
  r.begin();
  for (int& v : i) r.get(v, {"i"});
  r.end();
  EXPECT_EQ(i[0], 7);
  EXPECT_EQ(i[1], -12);
  EXPECT_EQ(i[2], 0);
  EXPECT_EQ(i[3], 2147483647);
  EXPECT_EQ(i[4], -2147483647 - 1);
  double x[11] = {};
  r.begin();
  for (double& v : x) r.get(v, {"x"});
  r.end();
  for (int k = 0; k < 5; ++k) EXPECT_EQ(x[k], 2.0) << k;  // every notation of the code 2
  EXPECT_EQ(x[5], 0.5);
  EXPECT_EQ(x[6], -1500.0);
  EXPECT_EQ(x[7], 0.1);
  EXPECT_EQ(x[8], 0.0);  // below the range of a double
  EXPECT_EQ(x[9], 12345678901234567890.0);
  EXPECT_EQ(x[10], 5.0);
}

// A read with no items consumes exactly one line, whatever it holds; titles are cut to 78
// characters and padded with blanks to 80, line ends CR LF or LF.
TEST(ListRead, EmptyReadsAndTitles) {
  const std::string long_title(90, 'T');
  auto r = text(long_title + "\r\nshort\n1 2 3\n\n4\n");
  const std::string t1 = r.title({"title"});
  EXPECT_EQ(t1, std::string(78, 'T') + "  ");
  EXPECT_EQ(r.title({"second title line"}), "short" + std::string(75, ' '));
  r.skip({"heading"});  // "1 2 3" is skipped
  r.skip({"heading"});  // the empty line
  int v = 0;
  r.begin();
  r.get(v, {"v"});
  r.end();
  EXPECT_EQ(v, 4);
  EXPECT_EQ(r.line(), 5);
}

// Unreadable items name the input, the line, the item and the text found.
TEST(ListRead, MessagesForUnreadableItems) {
  EXPECT_EQ(stop_message([] {
              auto r = text("t\nt\n1 2 3\nh\n1 0 0 0\n2 1 0 0\n3 0 1 0\n4 0.5 zz.5 1\n");
              r.title({"title"});
              r.title({"title"});
              r.skip({"counts"});
              r.skip({"heading"});
              for (int rec = 1; rec <= 4; ++rec) {
                int k = 0;
                double x = 0;
                r.begin();
                r.get(k, {"number of node record", &rec});
                r.get(x, {"x of node", &k});
                r.get(x, {"y of node", &k});
                r.get(x, {"z of node", &k});
                r.end();
              }
            }),
            "input.dat, line 8: expected a real (y of node 4), found \"zz.5\"\n");
  EXPECT_EQ(stop_message([] {
              auto r = text("1.0e-8 30.5 0 0\n");
              double x = 0;
              int m = 0;
              r.begin();
              r.get(x, {"snaptol"});
              r.get(m, {"M"});
            }),
            "input.dat, line 1: expected an integer (M), found \"30.5\"\n");
  EXPECT_EQ(
      stop_message([] {
        auto r = text("\n 99999999999\n");
        int m = 0;
        r.begin();
        r.get(m, {"nelem"});
      }),
      "input.dat, line 2: expected an integer (nelem), found \"99999999999\" (out of range)\n");
  EXPECT_EQ(stop_message([] {
              auto r = text("1e400\n");
              double x = 0;
              r.begin();
              r.get(x, {"mu"});
            }),
            "input.dat, line 1: expected a real (mu), found \"1e400\" (out of range)\n");
  EXPECT_EQ(stop_message([] {
              auto r = text("0*4 1\n");
              int m = 0;
              r.begin();
              r.get(m, {"maxl"});
            }),
            "input.dat, line 1: expected an integer (maxl), found \"0*4\" (bad repeat count)\n");
  for (const char* bad : {"1.0+5", "e5", ".", "5x", "nan", "inf", "0x10", "1e", "1.5.2", "--1"}) {
    EXPECT_EQ(stop_message([&] {
                auto r = text(std::string("1, ") + bad + " 3\n");
                double x = 0;
                r.begin();
                r.get(x, {"a"});
                r.get(x, {"b"});
              }),
              std::string("input.dat, line 1: expected a real (b), found \"") + bad + "\"\n")
        << bad;
  }
}

// An end of file before a read is complete (or before a line to skip or a title) is reported.
TEST(ListRead, MessagesAtEndOfFile) {
  EXPECT_EQ(stop_message([] {
              auto r = text("1 2\n3\n");
              int v = 0;
              r.begin();
              for (int k = 0; k < 4; ++k) r.get(v, {"node 1 of element", &k});
            }),
            "input.dat, line 3: expected an integer (node 1 of element 3), found end of file\n");
  EXPECT_EQ(stop_message([] {
              auto r = text("");
              r.skip({"heading line before the nodes"});
            }),
            "input.dat, line 1: expected a line (heading line before the nodes), found end of "
            "file\n");
  EXPECT_EQ(stop_message([] {
              auto r = text("only one\n");
              r.title({"title"});
              r.title({"second title line"});
            }),
            "input.dat, line 2: expected a title line (second title line), found end of file\n");
}

}  // namespace
}  // namespace velmora
