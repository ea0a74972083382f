#include "core/field_parse.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>

namespace {

using namespace mv;

TEST(IntegerConversion, AcceptsDecimalHexPrefixesSignsAndLeadingBlanks) {
  struct Case {
    const char* text;
    std::int32_t value;
  } cases[] = {
      {"0", 0},
      {"42", 42},
      {"  42", 42},
      {"+7", 7},
      {"-7", -7},
      {"$10", 16},
      {"x1f", 31},
      {"X1F", 31},
      {"0x7fff", 32767},
      {"0XAbC", 0xABC},
      {"-$10", -16},
      {"007", 7},
      {"2147483647", INT_MAX},
      {"-2147483648", INT_MIN},
      {"$7FFFFFFF", INT_MAX},
      {"-0x80000000", INT_MIN},
  };
  for (const auto& c : cases) {
    std::int32_t v = 12345;
    EXPECT_TRUE(StrToInt32(c.text, v)) << c.text;
    EXPECT_EQ(v, c.value) << c.text;
  }
}

TEST(IntegerConversion, RefusesMalformedOrTooWideTextAndKeepsOutput) {
  const char* bad[] = {"",
                       " ",
                       "42 ",
                       "4 2",
                       "+",
                       "-",
                       "$",
                       "0x",
                       "x",
                       "12a",
                       "$1G",
                       "1.5",
                       "\t42",
                       "--1",
                       "+-1",
                       "2147483648",
                       "-2147483649",
                       "$80000000",
                       "99999999999999999999",
                       "0x-1",
                       "1e3",
                       "42\n"};
  for (const char* t : bad) {
    std::int32_t v = 77;
    EXPECT_FALSE(StrToInt32(t, v)) << '"' << t << '"';
    EXPECT_EQ(v, 77) << t;
  }
}

TEST(IntegerConversion, SixtyFourBitReaderCoversItsWholeRange) {
  std::int64_t v = 0;
  EXPECT_TRUE(StrToInt64("9223372036854775807", v));
  EXPECT_EQ(v, LLONG_MAX);
  EXPECT_TRUE(StrToInt64("-9223372036854775808", v));
  EXPECT_EQ(v, LLONG_MIN);
  EXPECT_TRUE(StrToInt64("4294967296", v));
  EXPECT_EQ(v, 4294967296LL);
  EXPECT_FALSE(StrToInt64("9223372036854775808", v));
  EXPECT_FALSE(StrToInt64("-9223372036854775809", v));
  EXPECT_FALSE(StrToInt64("$10000000000000000", v));
}

class RealConversion : public ::testing::Test {
 protected:
  void SetUp() override { saved_ = DecimalSeparator(); }
  void TearDown() override { SetDecimalSeparator(saved_); }
  char saved_ = '.';
};

TEST_F(RealConversion, UsesTheConfiguredSeparatorOnly) {
  SetDecimalSeparator('.');
  double v = 0;
  EXPECT_TRUE(StrToReal("12.5", v));
  EXPECT_DOUBLE_EQ(v, 12.5);
  EXPECT_FALSE(StrToReal("12,5", v));

  SetDecimalSeparator(',');
  EXPECT_TRUE(StrToReal("12,5", v));
  EXPECT_DOUBLE_EQ(v, 12.5);
  EXPECT_FALSE(StrToReal("12.5", v));
}

TEST_F(RealConversion, AcceptsPlainDecimalForms) {
  SetDecimalSeparator('.');
  struct Case {
    const char* text;
    double value;
  } cases[] = {{"  3", 3.0},    {"-0.5", -0.5},   {"+.25", 0.25},    {"5.", 5.0},
               {"1e3", 1000.0}, {"2.5E-1", 0.25}, {"-1e+2", -100.0}, {"1e-400", 0.0}};
  for (const auto& c : cases) {
    double v = -99;
    EXPECT_TRUE(StrToReal(c.text, v)) << c.text;
    EXPECT_DOUBLE_EQ(v, c.value) << c.text;
  }
}

TEST_F(RealConversion, RefusesHexInfNanTrailingTextAndOverflow) {
  SetDecimalSeparator('.');
  const char* bad[] = {"",    " ",  ".",   "-",     "1.5 ",  "0x10", "inf", "nan",
                       "INF", "1e", "1e+", "1.2.3", "1e999", "$10",  "1,5", "\t1"};
  for (const char* t : bad) {
    double v = 7.0;
    EXPECT_FALSE(StrToReal(t, v)) << '"' << t << '"';
    EXPECT_EQ(v, 7.0) << t;
  }
}

TEST(ClampIntText, FallbackAndLimits) {
  EXPECT_EQ(ClampIntText("", 3000, 100000, 6000), 6000);
  EXPECT_EQ(ClampIntText("", 3000, 100000, 50), 3000);
  EXPECT_EQ(ClampIntText("junk", 3000, 100000, 200000), 100000);
  EXPECT_EQ(ClampIntText("250000", 3000, 100000, 6000), 100000);
  EXPECT_EQ(ClampIntText("$10", 3000, 100000, 6000), 3000);
  EXPECT_EQ(ClampIntText(" 42", 0, 100, 7), 42);
  EXPECT_EQ(ClampIntText("42 ", 0, 100, 7), 7);
  EXPECT_EQ(ClampIntText("-5", -10, 10, 0), -5);  // signed comparison
  EXPECT_EQ(ClampIntText("-50", -10, 10, 0), -10);
  // Too wide for 32 bits is not a number, not a clamp to max.
  EXPECT_EQ(ClampIntText("99999999999", 0, 100, 7), 7);
}

TEST(ParseIntInRange, StoresOnlyInsideTheRange) {
  std::int32_t out = -1;
  EXPECT_TRUE(ParseIntInRange("10", 0, 10, out));
  EXPECT_EQ(out, 10);
  EXPECT_FALSE(ParseIntInRange("11", 0, 10, out));
  EXPECT_FALSE(ParseIntInRange("-1", 0, 10, out));
  EXPECT_FALSE(ParseIntInRange("x", 0, 10, out));
  EXPECT_EQ(out, 10);
}

TEST(ClampUnsignedText, NegativeAndWideNumbersGoToMax) {
  EXPECT_EQ(ClampUnsignedText("-5", 0, 1000, 10), 1000u);
  EXPECT_EQ(ClampUnsignedText("4294967296", 0, 1000, 10), 1000u);
  EXPECT_EQ(ClampUnsignedText("4294967295", 0, 4294967295u, 10), 4294967295u);
  EXPECT_EQ(ClampUnsignedText("500", 0, 1000, 10), 500u);
  EXPECT_EQ(ClampUnsignedText("3", 5, 1000, 10), 5u);
  EXPECT_EQ(ClampUnsignedText("", 5, 1000, 2000), 1000u);
  EXPECT_EQ(ClampUnsignedText("abc", 5, 1000, 1), 5u);
}

TEST_F(RealConversion, ClampRealTextFollowsTheIntegerRules) {
  SetDecimalSeparator('.');
  EXPECT_DOUBLE_EQ(ClampRealText("12.5", 0.0, 100.0, 1.0), 12.5);
  EXPECT_DOUBLE_EQ(ClampRealText("120", 0.0, 100.0, 1.0), 100.0);
  EXPECT_DOUBLE_EQ(ClampRealText("-3", 0.0, 100.0, 1.0), 0.0);
  EXPECT_DOUBLE_EQ(ClampRealText("abc", 0.0, 100.0, 1.0), 1.0);
  EXPECT_DOUBLE_EQ(ClampRealText("", 0.0, 100.0, 500.0), 100.0);
  SetDecimalSeparator(',');
  EXPECT_DOUBLE_EQ(ClampRealText("12.5", 0.0, 100.0, 1.0), 1.0);
  EXPECT_DOUBLE_EQ(ClampRealText("12,5", 0.0, 100.0, 1.0), 12.5);
}

TEST(ClampMultipleText, StepBoundsOnlyTheFallback) {
  EXPECT_EQ(ClampMultipleText("300", 0, 1000, 64, 128), 128u);
  EXPECT_EQ(ClampMultipleText("320", 0, 1000, 64, 128), 320u);
  EXPECT_EQ(ClampMultipleText("4096", 0, 1000, 64, 128), 4096u);  // not clamped to max
  EXPECT_EQ(ClampMultipleText("", 0, 1000, 64, 100), 0u);         // fallback not a multiple: min
  EXPECT_EQ(ClampMultipleText("", 64, 1000, 64, 5000), 64u);      // clamped to 1000, not a multiple: min
  EXPECT_EQ(ClampMultipleText("", 0, 1024, 64, 5000), 1024u);     // clamped to max, a multiple
  EXPECT_EQ(ClampMultipleText("0x40", 0, 1000, 64, 128), 64u);
  EXPECT_EQ(ClampMultipleText("5", 0, 1000, 0, 7), 5u);  // a zero step does not divide by zero
}

TEST(PrefixedLineParsers, CommonPrefixRules) {
  std::int32_t out = -1;
  EXPECT_EQ(ParseIntField("com_port: 3", "com_port: ", 1, 32, out), FieldOk);
  EXPECT_EQ(out, 3);
  out = -1;
  EXPECT_EQ(ParseIntField("com_port:3", "com_port: ", 1, 32, out), FieldNoPrefix);
  EXPECT_EQ(ParseIntField("Com_port: 3", "com_port: ", 1, 32, out), FieldNoPrefix);
  EXPECT_EQ(ParseIntField("com_port", "com_port: ", 1, 32, out), FieldNoPrefix);
  EXPECT_EQ(ParseIntField("", "com_port: ", 1, 32, out), FieldNoPrefix);
  EXPECT_EQ(ParseIntField("com_port: A", "com_port: ", 1, 32, out), FieldNotNumber);
  EXPECT_EQ(ParseIntField("com_port: ", "com_port: ", 1, 32, out), FieldNotNumber);
  EXPECT_EQ(ParseIntField("com_port: 3 ", "com_port: ", 1, 32, out), FieldNotNumber);
  EXPECT_EQ(ParseIntField("com_port: 33", "com_port: ", 1, 32, out), FieldOutOfRange);
  EXPECT_EQ(ParseIntField("com_port: 0", "com_port: ", 1, 32, out), FieldOutOfRange);
  EXPECT_EQ(out, -1);                                                           // untouched by every failure
  EXPECT_EQ(ParseIntField("com_port:  3", "com_port: ", 1, 32, out), FieldOk);  // extra leading blank
  EXPECT_EQ(out, 3);
}

TEST(PrefixedLineParsers, UnsignedAndSixteenBitCuts) {
  std::uint32_t u = 9;
  EXPECT_EQ(ParseUnsignedField("v: -1", "v: ", 0, 100, u), FieldOutOfRange);  // huge as unsigned
  EXPECT_EQ(ParseUnsignedField("v: -1", "v: ", 0, 0xFFFFFFFFu, u), FieldOk);
  EXPECT_EQ(u, 0xFFFFFFFFu);

  std::uint16_t w = 1234;
  EXPECT_EQ(ParseU16Field("v: 65536", "v: ", 0, 4095, w), FieldOk);
  EXPECT_EQ(w, 0);
  EXPECT_EQ(ParseU16Field("v: 70000", "v: ", 0, 65535, w), FieldOk);
  EXPECT_EQ(w, 4464);
  EXPECT_EQ(ParseU16Field("v: -1", "v: ", 0, 65535, w), FieldOk);
  EXPECT_EQ(w, 65535);
  w = 1234;
  EXPECT_EQ(ParseU16Field("v: -1", "v: ", 0, 4095, w), FieldOutOfRange);
  EXPECT_EQ(ParseU16Field("v: 65626", "v: ", 0, 100, w), FieldOk);
  EXPECT_EQ(w, 90);
  EXPECT_EQ(ParseU16Field("v: $5A", "v: ", 0, 100, w), FieldOk);
  EXPECT_EQ(w, 90);
  w = 1234;
  EXPECT_EQ(ParseU16Field("v: 5A", "v: ", 0, 100, w), FieldNotNumber);
  EXPECT_EQ(w, 1234);
}

TEST(PrefixedLineParsers, ChoiceLists) {
  const std::int32_t bauds[] = {9600, 19200, 115200};
  std::int32_t out = 0;
  EXPECT_EQ(ParseIntChoiceField("b: 19200", "b: ", bauds, 3, out), FieldOk);
  EXPECT_EQ(out, 19200);
  EXPECT_EQ(ParseIntChoiceField("b: 1200", "b: ", bauds, 3, out), FieldNotInValueList);
  EXPECT_EQ(ParseIntChoiceField("b: fast", "b: ", bauds, 3, out), FieldNotNumber);
  EXPECT_EQ(ParseIntChoiceField("b: 115200", "b: ", bauds, 2, out), FieldNotInValueList);  // count honoured
  EXPECT_EQ(out, 19200);

  const char* parities[] = {"none", "odd", "even"};
  std::string text = "keep";
  EXPECT_EQ(ParseTextChoiceField("p: odd", "p: ", parities, 3, text), FieldOk);
  EXPECT_EQ(text, "odd");
  text = "keep";
  EXPECT_EQ(ParseTextChoiceField("p: Odd", "p: ", parities, 3, text), FieldNotInTextList);
  EXPECT_EQ(ParseTextChoiceField("p: odd ", "p: ", parities, 3, text), FieldNotInTextList);
  EXPECT_EQ(ParseTextChoiceField("p: od", "p: ", parities, 3, text), FieldNotInTextList);
  EXPECT_EQ(ParseTextChoiceField("p:odd", "p: ", parities, 3, text), FieldNoPrefix);
  EXPECT_EQ(text, "keep");
}

TEST(PrefixedLineParsers, TextLengthsAndBuffers) {
  std::string out = "keep";
  EXPECT_EQ(ParseTextField("hex_file: ", "hex_file: ", 0, 250, out), FieldOk);
  EXPECT_EQ(out, "");
  EXPECT_EQ(ParseTextField("name: ab  ", "name: ", 1, 4, out), FieldOk);
  EXPECT_EQ(out, "ab  ");  // trailing blanks kept
  out = "keep";
  EXPECT_EQ(ParseTextField("name: abcde", "name: ", 1, 4, out), FieldBadLength);
  EXPECT_EQ(ParseTextField("name: ", "name: ", 1, 4, out), FieldBadLength);
  EXPECT_EQ(out, "keep");

  char buf[12];
  std::memset(buf, 'Z', sizeof buf);
  EXPECT_EQ(ParseTextFieldToBuffer("name: 12345678901", "name: ", 0, 11, buf), FieldOk);
  EXPECT_STREQ(buf, "12345678901");
  std::memset(buf, 'Z', sizeof buf);
  EXPECT_EQ(ParseTextFieldToBuffer("name: 123456789012", "name: ", 0, 11, buf), FieldBadLength);
  EXPECT_EQ(buf[0], 'Z');
  EXPECT_EQ(ParseTextFieldToBuffer("name:x", "name: ", 0, 11, buf), FieldNoPrefix);
  EXPECT_EQ(buf[0], 'Z');
}

TEST(PrefixedLineParsers, MultipleOfStep) {
  std::int32_t out = 0;
  const std::string p = "app_start_address: ";
  EXPECT_EQ(ParseMultipleField(p + "0x02000", p, 6144, 12288, 2048, out), FieldOk);
  EXPECT_EQ(out, 8192);
  EXPECT_EQ(ParseMultipleField(p + "0x02100", p, 6144, 12288, 2048, out), FieldNotNumber);
  EXPECT_EQ(ParseMultipleField(p + "zz", p, 6144, 12288, 2048, out), FieldNotNumber);
  EXPECT_EQ(out, 8192);
  // min and max are not checked.
  EXPECT_EQ(ParseMultipleField(p + "0x10000", p, 6144, 12288, 2048, out), FieldOk);
  EXPECT_EQ(out, 0x10000);
  EXPECT_EQ(ParseMultipleField(p + "-4096", p, 6144, 12288, 2048, out), FieldOk);
  EXPECT_EQ(out, -4096);
  // Degenerate steps are defined.
  EXPECT_EQ(ParseMultipleField(p + "-2147483648", p, 0, 0, -1, out), FieldOk);
  EXPECT_EQ(ParseMultipleField(p + "5", p, 0, 0, 0, out), FieldNotNumber);
}

TEST(SplitFields, BlankSeparatedWordsAppended) {
  std::vector<std::string> list{"existing"};
  EXPECT_EQ(SplitFields("  10  20 30 ", list), 3);
  EXPECT_EQ(list, (std::vector<std::string>{"existing", "10", "20", "30"}));

  list.clear();
  EXPECT_EQ(SplitFields("   ", list), 0);
  EXPECT_EQ(SplitFields("", list), 0);
  EXPECT_EQ(SplitFields("\t\r\n", list), 0);
  EXPECT_TRUE(list.empty());

  // Only the blank separates; control characters are trimmed at word starts and text ends.
  EXPECT_EQ(SplitFields("\t1\t2 \t3\r\n", list), 2);
  EXPECT_EQ(list, (std::vector<std::string>{"1\t2", "3"}));

  list.clear();
  EXPECT_EQ(SplitFields("\xE9t\xE9 x", list), 2);  // Latin-1 letters are not control characters
  EXPECT_EQ(list[0], "\xE9t\xE9");
}

}  // namespace
