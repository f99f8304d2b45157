// The reading rules of the free-format reader: separators, repeats, nulls,
// slashes, quotes, continuation over lines, trailing words, int versus real,
// end of input, and the messages that name the source, line and record.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>
#include <string>

#include "format/free_reader.h"
#include "format/run_error.h"

using namespace quillet;

namespace {

// A reader over a piece of text, as if it were a file named "test input".
class text_input {
public:
    explicit text_input(const std::string& text) : f_(std::tmpfile()) {
        std::fwrite(text.data(), 1, text.size(), f_);
        std::rewind(f_);
        reader_ = std::make_unique<free_reader>(f_, "test input");
    }
    ~text_input() {
        reader_.reset();
        std::fclose(f_);
    }
    free_reader& in() { return *reader_; }

private:
    std::FILE* f_;
    std::unique_ptr<free_reader> reader_;
};

// The message of the input_error that `body` throws ("" when none).
template <class F>
std::string error_of(F body) {
    try {
        body();
    } catch (const input_error& e) {
        return e.what();
    }
    return "";
}

}  // namespace

TEST(FreeReader, BlanksAndCommasSeparateValues) {
    text_input t("1, 2 3 ,4\t5\n");
    auto& in = t.in();
    in.begin_record("r");
    std::int32_t v[5] = {};
    for (auto& x : v) EXPECT_TRUE(in.read(x));
    for (int i = 0; i < 5; ++i) EXPECT_EQ(v[i], i + 1);
}

TEST(FreeReader, RecordContinuesOverLinesAndBlankLines) {
    text_input t("1.5\n\n   \n2.5,\n3.5 4.5\n7\n");
    auto& in = t.in();
    in.begin_record("three reals");
    double a = 0, b = 0, c = 0;
    EXPECT_TRUE(in.read(a));
    EXPECT_TRUE(in.read(b));
    EXPECT_TRUE(in.read(c));
    EXPECT_EQ(a, 1.5);
    EXPECT_EQ(b, 2.5);
    EXPECT_EQ(c, 3.5);
    EXPECT_EQ(in.line(), 5);
    // 4.5 was the rest of the record's last line: the next record starts below it.
    in.begin_record("one int");
    std::int32_t n = 0;
    EXPECT_TRUE(in.read(n));
    EXPECT_EQ(n, 7);
    EXPECT_EQ(in.line(), 6);
}

TEST(FreeReader, WordsAfterTheLastValueAreIgnored) {
    text_input with("5  number of photons, see the notes / here\n'x'  3 'unclosed\n9\n");
    text_input without("5\n'x'\n9\n");
    for (free_reader* in : {&with.in(), &without.in()}) {
        std::int32_t a = 0, c = 0;
        std::string b;
        in->begin_record("a");
        in->read(a);
        in->begin_record("b");
        in->read(b);
        in->begin_record("c");
        in->read(c);
        EXPECT_EQ(a, 5);
        EXPECT_EQ(b, "x");
        EXPECT_EQ(c, 9);
        EXPECT_TRUE(in->at_end());
    }
}

TEST(FreeReader, RepeatCountGivesEqualValues) {
    text_input t("3*2.5 1\n2*7\n8\n");
    auto& in = t.in();
    in.begin_record("four");
    double v[4] = {};
    for (auto& x : v) EXPECT_TRUE(in.read(x));
    EXPECT_EQ(v[0], 2.5);
    EXPECT_EQ(v[1], 2.5);
    EXPECT_EQ(v[2], 2.5);
    EXPECT_EQ(v[3], 1.0);
    // A repeat left over at the end of a record does not spill into the next.
    std::int32_t a = 0, b = 0;
    in.begin_record("one");
    EXPECT_TRUE(in.read(a));
    in.begin_record("next");
    EXPECT_TRUE(in.read(b));
    EXPECT_EQ(a, 7);
    EXPECT_EQ(b, 8);
}

TEST(FreeReader, RepeatedTextAndQuotedRepeat) {
    text_input t("2*'a b' 2*c\n");
    auto& in = t.in();
    in.begin_record("texts");
    std::string s[4];
    for (auto& x : s) EXPECT_TRUE(in.read(x));
    EXPECT_EQ(s[0], "a b");
    EXPECT_EQ(s[1], "a b");
    EXPECT_EQ(s[2], "c");
    EXPECT_EQ(s[3], "c");
}

TEST(FreeReader, RepeatWithoutValueLeavesValuesUnchanged) {
    for (const char* text : {"2*, 9\n", "2* 9\n", "2*,9\n"}) {
        text_input t(text);
        auto& in = t.in();
        in.begin_record("three");
        std::int32_t v[3] = {-1, -2, -3};
        EXPECT_FALSE(in.read(v[0])) << text;
        EXPECT_FALSE(in.read(v[1])) << text;
        EXPECT_TRUE(in.read(v[2])) << text;
        EXPECT_EQ(v[0], -1);
        EXPECT_EQ(v[1], -2);
        EXPECT_EQ(v[2], 9);
    }
}

TEST(FreeReader, ZeroRepeatCountIsRejected) {
    text_input t("0*5\n");
    t.in().begin_record("r");
    std::int32_t v = 0;
    std::string msg = error_of([&] { t.in().read(v); });
    EXPECT_NE(msg.find("repeat count"), std::string::npos) << msg;
}

TEST(FreeReader, AdjacentCommasLeaveAValueUnchanged) {
    struct cse {
        const char* text;
        bool present[3];
    } cases[] = {
        {"1,,3\n", {true, false, true}},
        {"1, ,3\n", {true, false, true}},
        {",2,3\n", {false, true, true}},
        {"1 , , 3\n", {true, false, true}},
        {"1,\n,3\n", {true, false, true}},
    };
    for (const auto& c : cases) {
        text_input t(c.text);
        auto& in = t.in();
        in.begin_record("three");
        std::int32_t v[3] = {-1, -2, -3};
        for (int i = 0; i < 3; ++i) EXPECT_EQ(in.read(v[i]), c.present[i]) << c.text << " value " << i;
        for (int i = 0; i < 3; ++i) EXPECT_EQ(v[i], c.present[i] ? i + 1 : -(i + 1)) << c.text;
    }
}

TEST(FreeReader, LineEndThenCommaIsOneSeparator) {
    text_input t("1\n,2\n");
    auto& in = t.in();
    in.begin_record("two");
    std::int32_t a = 0, b = 0;
    EXPECT_TRUE(in.read(a));
    EXPECT_TRUE(in.read(b));
    EXPECT_EQ(a, 1);
    EXPECT_EQ(b, 2);
}

TEST(FreeReader, SlashEndsTheRecordAndKeepsTheRest) {
    text_input t("1.5 / 2 3\n4\n");
    auto& in = t.in();
    in.begin_record("three");
    double a = 0, b = -1, c = -2;
    EXPECT_TRUE(in.read(a));
    EXPECT_FALSE(in.read(b));
    EXPECT_FALSE(in.read(c));
    EXPECT_EQ(a, 1.5);
    EXPECT_EQ(b, -1.0);
    EXPECT_EQ(c, -2.0);
    in.begin_record("next");
    std::int32_t n = 0;
    EXPECT_TRUE(in.read(n));
    EXPECT_EQ(n, 4);
}

TEST(FreeReader, SlashDirectlyAfterAValueAndInARepeat) {
    text_input t("7/\n2*3/ 9\n");
    auto& in = t.in();
    in.begin_record("two");
    std::int32_t a = 0, b = -1;
    EXPECT_TRUE(in.read(a));
    EXPECT_FALSE(in.read(b));
    EXPECT_EQ(a, 7);
    EXPECT_EQ(b, -1);
    in.begin_record("three");
    std::int32_t v[3] = {0, 0, -5};
    EXPECT_TRUE(in.read(v[0]));
    EXPECT_TRUE(in.read(v[1]));
    EXPECT_FALSE(in.read(v[2]));
    EXPECT_EQ(v[1], 3);
    EXPECT_EQ(v[2], -5);
}

TEST(FreeReader, BareTextEndsAtBlankCommaOrSlash) {
    text_input t("ring.pos comment\ndata/ring.pos\na,b\n");
    auto& in = t.in();
    std::string s;
    in.begin_record("1");
    in.read(s);
    EXPECT_EQ(s, "ring.pos");
    in.begin_record("2");
    in.read(s);
    EXPECT_EQ(s, "data");  // the slash ends the text and the record
    std::string rest = "unchanged";
    EXPECT_FALSE(in.read(rest));
    EXPECT_EQ(rest, "unchanged");
    in.begin_record("3");
    std::string a, b;
    in.read(a);
    in.read(b);
    EXPECT_EQ(a, "a");
    EXPECT_EQ(b, "b");
}

TEST(FreeReader, QuotedTextHoldsBlanksCommasSlashesAndDoubledQuotes) {
    text_input t("'data/a b,c.pos' \"x y\"\n'it''s' \"say \"\"hi\"\"\" ''\n");
    auto& in = t.in();
    std::string a, b, c, d, e = "full";
    in.begin_record("1");
    in.read(a);
    in.read(b);
    EXPECT_EQ(a, "data/a b,c.pos");
    EXPECT_EQ(b, "x y");
    in.begin_record("2");
    in.read(c);
    in.read(d);
    EXPECT_TRUE(in.read(e));
    EXPECT_EQ(c, "it's");
    EXPECT_EQ(d, "say \"hi\"");
    EXPECT_EQ(e, "");
}

TEST(FreeReader, QuotedTextIntoAFieldIsPaddedOrCut) {
    text_input t("'a b'\n" + std::string(100, 'x') + "\n");
    auto& in = t.in();
    text80 f;
    in.begin_record("1");
    in.read(f);
    EXPECT_EQ(f.view(), "a b" + std::string(77, ' '));
    in.begin_record("2");
    in.read(f);
    EXPECT_EQ(f.view(), std::string(80, 'x'));
    text30 g("previous");
    text_input n(",\n");
    n.in().begin_record("null");
    EXPECT_FALSE(n.in().read(g));
    EXPECT_EQ(g.trimmed(), "previous");
}

TEST(FreeReader, UnclosedQuoteIsAnError) {
    text_input t("'ring.pos\n");
    t.in().begin_record("deck record 1 (posfile)");
    std::string s;
    std::string msg = error_of([&] { t.in().read(s); });
    EXPECT_NE(msg.find("closing quote"), std::string::npos) << msg;
    EXPECT_NE(msg.find("deck record 1 (posfile)"), std::string::npos) << msg;
}

TEST(FreeReader, TextGluedToAClosingQuoteIsAnError) {
    text_input t("'ab'cd\n");
    t.in().begin_record("r");
    std::string s;
    std::string msg = error_of([&] { t.in().read(s); });
    EXPECT_NE(msg.find("'cd'"), std::string::npos) << msg;
}

TEST(FreeReader, AnIntMustBeWrittenAsAnInteger) {
    for (const char* bad : {"12.0", "1e3", "12.", "x", "+-5", "--5", "1.5", "2147483648", "-2147483649", "5a", "'5'"}) {
        text_input t(std::string(bad) + "\n");
        t.in().begin_record("deck record 29 (isquare)");
        std::int32_t v = 77;
        std::string msg = error_of([&] { t.in().read(v); });
        EXPECT_NE(msg.find("expected an integer"), std::string::npos) << bad << ": " << msg;
        EXPECT_EQ(v, 77) << bad;
    }
    struct {
        const char* text;
        std::int32_t value;
    } good[] = {{"12", 12}, {"+12", 12}, {"-12", -12}, {"007", 7}, {"2147483647", 2147483647},
                {"-2147483648", std::numeric_limits<std::int32_t>::min()}};
    for (const auto& g : good) {
        text_input t(std::string(g.text) + "\n");
        t.in().begin_record("r");
        std::int32_t v = 0;
        EXPECT_TRUE(t.in().read(v));
        EXPECT_EQ(v, g.value) << g.text;
    }
}

TEST(FreeReader, RealsTakePointsExponentsAndDExponents) {
    struct {
        const char* text;
        double value;
    } good[] = {{"12", 12.0},          {"12.", 12.0},     {".5", 0.5},     {"-.5E+1", -5.0}, {"1.5d2", 150.0},
                {"2D-1", 0.2},         {"1e30", 1.0e30},  {"+3.25", 3.25}, {"0.1", 0.1},     {"1E-400", 0.0},
                {"4.9e-324", 4.9e-324}, {"-0", -0.0}};
    for (const auto& g : good) {
        text_input t(std::string(g.text) + "\n");
        t.in().begin_record("r");
        double v = 99.0;
        EXPECT_TRUE(t.in().read(v));
        EXPECT_EQ(v, g.value) << g.text;
    }
    for (const char* bad : {"1e400", "1.5e", "e5", ".", "1.2.3", "1x", "--1", "+-1", "1e5.0", "'1'"}) {
        text_input t(std::string(bad) + "\n");
        t.in().begin_record("r");
        double v = 99.0;
        std::string msg = error_of([&] { t.in().read(v); });
        EXPECT_NE(msg.find("expected a number"), std::string::npos) << bad << ": " << msg;
        EXPECT_EQ(v, 99.0) << bad;
    }
}

TEST(FreeReader, EndOfInputInsideARecordIsAnError) {
    text_input t("1\n\n");
    auto& in = t.in();
    in.begin_record("deck record 8 (nxphot, nyphot, mx, my)");
    std::int32_t a = 0, b = 0;
    EXPECT_TRUE(in.read(a));
    std::string msg = error_of([&] { in.read(b); });
    EXPECT_NE(msg.find("input ended"), std::string::npos) << msg;
    EXPECT_NE(msg.find("deck record 8 (nxphot, nyphot, mx, my)"), std::string::npos) << msg;
    EXPECT_NE(msg.find("test input"), std::string::npos) << msg;
}

TEST(FreeReader, EmptyInputEndsAtOnce) {
    text_input t("");
    EXPECT_TRUE(t.in().at_end());
    t.in().begin_record("deck record 1 (posfile)");
    std::string s;
    EXPECT_NE(error_of([&] { t.in().read(s); }).find("input ended"), std::string::npos);
}

TEST(FreeReader, MessageNamesSourceLineRecordAndOffendingText) {
    text_input t("2 2\nring\n2 x 10 10\n");
    auto& in = t.in();
    std::int32_t v = 0;
    in.begin_record("a");
    in.read(v);
    in.begin_record("b");
    std::string s;
    in.read(s);
    in.begin_record("deck record 8 (nxphot, nyphot, mx, my)");
    in.read(v);
    std::string msg = error_of([&] { in.read(v); });
    EXPECT_EQ(msg, "test input, line 3, deck record 8 (nxphot, nyphot, mx, my): expected an integer, found 'x'");
}

TEST(FreeReader, AtEndSkipsBlankLinesAndKeepsAPeekedRecord) {
    text_input t("1\n\n  \n2 3\n \n\n");
    auto& in = t.in();
    std::int32_t a = 0, b = 0;
    in.begin_record("a");
    in.read(a);
    EXPECT_FALSE(in.at_end());
    EXPECT_FALSE(in.at_end());  // asking twice does not skip the record
    in.begin_record("b");
    in.read(b);
    EXPECT_EQ(b, 2);
    EXPECT_EQ(in.line(), 4);
    EXPECT_TRUE(in.at_end());
}

TEST(FreeReader, CarriageReturnLineEndsReadLikePlainOnes) {
    text_input t("1 2\r\nring.pos\r\n3\r\n");
    auto& in = t.in();
    std::int32_t a = 0, b = 0, c = 0;
    std::string s;
    in.begin_record("a");
    in.read(a);
    in.read(b);
    in.begin_record("b");
    in.read(s);
    in.begin_record("c");
    in.read(c);
    EXPECT_EQ(a, 1);
    EXPECT_EQ(b, 2);
    EXPECT_EQ(s, "ring.pos");
    EXPECT_EQ(c, 3);
    EXPECT_TRUE(in.at_end());
}

TEST(FreeReader, LastLineWithoutLineEndIsRead) {
    text_input t("1\n42");
    auto& in = t.in();
    std::int32_t a = 0, b = 0;
    in.begin_record("a");
    in.read(a);
    in.begin_record("b");
    in.read(b);
    EXPECT_EQ(b, 42);
    EXPECT_TRUE(in.at_end());
}

TEST(FreeReader, MissingFileIsAnInputErrorNamingIt) {
    try {
        free_reader in(std::string("/nonexistent/quillet/ring.pos"));
        FAIL() << "opened a missing file";
    } catch (const input_error& e) {
        EXPECT_NE(std::string(e.what()).find("/nonexistent/quillet/ring.pos"), std::string::npos);
    }
}

TEST(FreeReader, FailNamesWhereTheReaderStands) {
    text_input t("1\n");
    auto& in = t.in();
    in.begin_record("deck record 3 (ntest)");
    std::int32_t v;
    in.read(v);
    EXPECT_EQ(error_of([&] { in.fail("a positive count", "-3"); }),
              "test input, line 1, deck record 3 (ntest): expected a positive count, found '-3'");
    EXPECT_EQ(error_of([&] { in.fail("too many"); }), "test input, line 1, deck record 3 (ntest): too many");
}

// A reader of a stream it does not own takes no more of it than the lines of
// its records: what follows is still there for the stream's next reader. A
// line of any length (here 200,000 characters) is one line, and the line
// numbers of later messages count on from it; a NUL byte is a character of
// its line like any other.
TEST(FreeReader, StreamIsReadLineByLineWhateverTheLineLength) {
    std::string text = "1 2\n" + std::string(100000, ' ') + "3.5" + std::string(100000, ' ') + "4\n";
    const char tail[] = "\0x 5\nrest of the stream\n";
    text += std::string(tail, sizeof tail - 1);
    std::FILE* f = std::tmpfile();
    std::fwrite(text.data(), 1, text.size(), f);
    std::rewind(f);
    {
        free_reader in(f, "test input");
        std::int32_t a = 0, b = 0;
        double c = 0.0, d = 0.0;
        in.begin_record("record 1");
        in.read(a);
        in.read(b);
        in.begin_record("record 2");
        in.read(c);
        in.read(d);
        EXPECT_EQ(a, 1);
        EXPECT_EQ(b, 2);
        EXPECT_EQ(c, 3.5);
        EXPECT_EQ(d, 4.0);
        in.begin_record("record 3");
        EXPECT_EQ(error_of([&] { in.read(a); }), "test input, line 3, record 3: expected an integer, found '?x'");
    }
    char line[64] = {};
    ASSERT_NE(std::fgets(line, sizeof line, f), nullptr);
    EXPECT_STREQ(line, "rest of the stream\n");
    std::fclose(f);
}
