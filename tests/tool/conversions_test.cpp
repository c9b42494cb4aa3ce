// The text forms of zematag: values converted to VARIANTs and back, and the CSV reader and writer.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include "Csv.h"
#include "Text.h"
#include "Values.h"

namespace {

// Converts text to the column type and back; "" with *reason set when the conversion refuses.
std::string RoundTrip(const std::string& text, const std::string& declared,
                      std::string* reason = nullptr) {
  OwnedVariant value;
  const std::string refused = TextToVariant(text, ColumnTypeOf(declared), &value.value);
  if (reason != nullptr) *reason = refused;
  return refused.empty() ? VariantToText(value.value) : "";
}

bool Refused(const std::string& text, const std::string& declared) {
  std::string reason;
  RoundTrip(text, declared, &reason);
  return !reason.empty();
}

TEST(ValuesTest, DatesOnBothSidesOfTheEpochReadBackAsWritten) {
  for (const char* text :
       {"1899-12-30", "1899-12-29 06:00:00", "1800-06-15 12:00:00", "2026-12-08 10:30:15",
        "9999-12-31 23:59:59", "0100-01-01", "2024-02-29 00:00:01"})
    EXPECT_EQ(RoundTrip(text, "DATETIME"), text);
  OwnedVariant value;
  ASSERT_EQ(TextToVariant("1899-12-29 06:00", ColumnTypeOf("DATE"), &value.value), "");
  EXPECT_EQ(value.value.vt, VT_DATE);
  EXPECT_DOUBLE_EQ(value.value.date, -1.25);  // the day counts back, the time forward
  ASSERT_EQ(TextToVariant("1900-01-01T18:00:00", ColumnTypeOf("DATE"), &value.value), "");
  EXPECT_DOUBLE_EQ(value.value.date, 2.75);
  // A time of day alone reads back as a time; midnight of day 0 stays a date.
  EXPECT_EQ(RoundTrip("12:30", "TIME"), "12:30:00");
  EXPECT_EQ(RoundTrip("1899-12-30 00:00:01", "DATETIME"), "00:00:01");
  EXPECT_EQ(RoundTrip("23:59:59", "DATETIME"), "23:59:59");
  EXPECT_EQ(RoundTrip("1899-12-31 00:00:01", "DATETIME"), "1899-12-31 00:00:01");
  for (const char* text : {"2026-02-29", "2024-13-01", "2024-01-01 24:00", "2024-1-1", "noon",
                           "2024-01-01 10:00 extra", ""})
    EXPECT_TRUE(Refused(text, "DATETIME")) << text;
}

TEST(ValuesTest, NumbersTooSmallToTellFromZeroAreRefusedAndNegativeZeroIsKept) {
  std::string reason;
  RoundTrip("1e-400", "DOUBLE", &reason);
  EXPECT_NE(reason.find("too small"), std::string::npos) << reason;
  RoundTrip("1e-50", "FLOAT4", &reason);
  EXPECT_NE(reason.find("too small"), std::string::npos) << reason;
  EXPECT_EQ(RoundTrip("4.9e-324", "DOUBLE"), "5e-324");  // the smallest double is not zero
  EXPECT_EQ(RoundTrip("1.4e-45", "FLOAT4"), "1e-45");
  EXPECT_EQ(RoundTrip("0e-400", "DOUBLE"), "0");
  EXPECT_EQ(RoundTrip("0.000", "FLOAT4"), "0");
  for (const char* type : {"DOUBLE", "FLOAT4", "LONG", "SHORT", "CURRENCY", "DECIMAL(10,2)"})
    EXPECT_FALSE(Refused("-0", type)) << type;
}

TEST(ValuesTest, DisplayScalesMustSurviveTheRecordsFloat) {
  float value = 1;
  EXPECT_EQ(ParseScale("126.7", false, &value), "");
  EXPECT_EQ(value, 126.7f);
  EXPECT_EQ(ParseScale("3.4028235e38", false, &value), "");  // FLT_MAX as usually printed
  EXPECT_EQ(value, 3.4028235e38f);
  EXPECT_EQ(ParseScale("-0", false, &value), "");
  EXPECT_TRUE(value == 0 && std::signbit(value));
  value = 7;
  std::string reason = ParseScale("3.14159265358979", false, &value);
  EXPECT_NE(reason.find("would be stored as 3.1415927"), std::string::npos) << reason;
  EXPECT_EQ(value, 7);  // untouched when refused
  EXPECT_EQ(ParseScale("3.14159265358979", true, &value), "");
  EXPECT_EQ(value, 3.1415927f);
  reason = ParseScale("16777217", false, &value);
  EXPECT_NE(reason.find("16777216"), std::string::npos) << reason;
  reason = ParseScale("3.5e38", true, &value);
  EXPECT_NE(reason.find("beyond the float range"), std::string::npos) << reason;
  reason = ParseScale("1e-50", true, &value);
  EXPECT_NE(reason.find("too small"), std::string::npos) << reason;
  EXPECT_NE(ParseScale("ten", true, &value), "");
}

TEST(TextTest, ControlCharactersAreFoundAndEchoedVisiblyAndShort) {
  EXPECT_TRUE(HasControlCharacter(std::string("AB\0C", 4), false));
  EXPECT_TRUE(HasControlCharacter("a\x7f", false));
  EXPECT_TRUE(HasControlCharacter("a\xc2\x85", true));  // NEL, a C1 control
  EXPECT_FALSE(HasControlCharacter("\xc3\x85ngstr\xc3\xb6m", false));
  EXPECT_TRUE(HasControlCharacter("two\nlines", false));
  EXPECT_FALSE(HasControlCharacter("two\r\nlines\tand a tab", true));
  EXPECT_EQ(Echo(std::string("AB\0C", 4)), "AB\\x00C");
  EXPECT_EQ(Echo(std::string(80, 'x')), std::string(80, 'x'));
  EXPECT_EQ(Echo(std::string(81, 'x')), std::string(80, 'x') + "...");
  std::string umlauts;
  for (int i = 0; i < 100; ++i) umlauts += "\xc3\xa4";
  std::string cut;
  for (int i = 0; i < 80; ++i) cut += "\xc3\xa4";
  EXPECT_EQ(Echo(umlauts), cut + "...");  // characters, not bytes
}

TEST(ValuesTest, DecimalsKeepEveryDigitWithinTheirDeclaration) {
  EXPECT_EQ(RoundTrip("-79228162514264337593543950335", "DECIMAL"),
            "-79228162514264337593543950335");
  EXPECT_EQ(RoundTrip("0.0000000000000000000000000001", "DECIMAL"),
            "0.0000000000000000000000000001");
  EXPECT_EQ(RoundTrip("00123.4500", "DECIMAL(10,4)"), "123.45");
  EXPECT_EQ(RoundTrip("-0.000", "DECIMAL(10,4)"), "0");
  EXPECT_TRUE(Refused("79228162514264337593543950336", "DECIMAL"));  // beyond 96 bits
  EXPECT_TRUE(Refused("12.345", "DECIMAL(10,2)"));
  EXPECT_EQ(RoundTrip("12345678.9", "NUMERIC(10,2)"), "12345678.9");
  EXPECT_TRUE(Refused("123456789", "DECIMAL(10,2)"));
  EXPECT_TRUE(Refused("1e5", "DECIMAL"));
  EXPECT_TRUE(Refused("1.2.3", "DECIMAL"));
}

TEST(ValuesTest, CurrencyIsExactToItsLimits) {
  EXPECT_EQ(RoundTrip("922337203685477.5807", "CURRENCY"), "922337203685477.5807");
  EXPECT_EQ(RoundTrip("-922337203685477.5808", "MONEY"), "-922337203685477.5808");
  EXPECT_EQ(RoundTrip("12.50", "CURRENCY"), "12.5");
  EXPECT_TRUE(Refused("922337203685477.5808", "CURRENCY"));
  EXPECT_TRUE(Refused("1.23456", "CURRENCY"));
}

TEST(ValuesTest, IntegersStayWithinTheirColumnType) {
  EXPECT_EQ(RoundTrip(" 32767 ", "SHORT"), "32767");
  EXPECT_TRUE(Refused("32768", "SHORT"));
  EXPECT_TRUE(Refused("-1", "BYTE"));
  EXPECT_EQ(RoundTrip("255", "TINYINT"), "255");
  EXPECT_EQ(RoundTrip("-2147483648", "LONG"), "-2147483648");
  EXPECT_TRUE(Refused("2147483648", "INTEGER"));
  EXPECT_TRUE(Refused("1.0", "LONG"));
  EXPECT_EQ(RoundTrip("-9223372036854775808", "BIGINT"), "-9223372036854775808");
  EXPECT_TRUE(Refused("9223372036854775808", "BIGINT"));
}

TEST(ValuesTest, TruthValuesAcceptTheUsualSpellings) {
  for (const char* text : {"true", "YES", "On", "1", "-1"})
    EXPECT_EQ(RoundTrip(text, "BIT"), "true");
  for (const char* text : {"false", "no", "OFF", "0"}) EXPECT_EQ(RoundTrip(text, "YESNO"), "false");
  EXPECT_TRUE(Refused("2", "BIT"));
  EXPECT_TRUE(Refused("maybe", "BOOLEAN"));
}

TEST(ValuesTest, RealsWriteTheShortestTextThatReadsBack) {
  EXPECT_EQ(RoundTrip("0.1", "FLOAT4"), "0.1");
  EXPECT_EQ(RoundTrip("0.1", "DOUBLE"), "0.1");
  EXPECT_EQ(RoundTrip("3.4028235e38", "SINGLE"), "3.4028235e+38");
  EXPECT_TRUE(Refused("3.5e38", "SINGLE"));
  EXPECT_TRUE(Refused("1e999", "DOUBLE"));
  EXPECT_TRUE(Refused("nan", "DOUBLE"));
  EXPECT_TRUE(Refused("12,5", "DOUBLE"));
}

TEST(ValuesTest, SizedTextCountsCharactersNotBytes) {
  EXPECT_EQ(RoundTrip("äöü", "VARCHAR(3)"), "äöü");
  EXPECT_TRUE(Refused("abcd", "VARCHAR(3)"));
  EXPECT_TRUE(Refused("a😀", "VARCHAR(2)"));  // a character outside the BMP takes two units
  EXPECT_EQ(RoundTrip("00123", "LONGTEXT"), "00123");
  EXPECT_TRUE(Refused("bad \xff byte", "LONGTEXT"));
  EXPECT_TRUE(Refused("\xc0\x80", "TEXT"));  // an overlong encoding of NUL
}

TEST(ValuesTest, DeclarationsAreNormalisedForSQLiteAffinity) {
  std::string reason;
  EXPECT_EQ(CanonicalDeclaration("memo", &reason), "LONGTEXT");
  EXPECT_EQ(CanonicalDeclaration("Single", &reason), "FLOAT4");
  EXPECT_EQ(CanonicalDeclaration("NUMBER", &reason), "DOUBLE");
  EXPECT_EQ(CanonicalDeclaration("numeric(12, 3)", &reason), "NUMERIC(12,3)");
  EXPECT_EQ(CanonicalDeclaration("varchar", &reason), "VARCHAR(255)");
  EXPECT_EQ(CanonicalDeclaration("DATETIME", &reason), "DATETIME");
  EXPECT_EQ(CanonicalDeclaration("BLOB", &reason), "");
  EXPECT_NE(reason, "");
  EXPECT_EQ(CanonicalDeclaration("COUNTER", &reason), "");
  EXPECT_EQ(CanonicalDeclaration("VARCHAR(300)", &reason), "");
  EXPECT_EQ(CanonicalDeclaration("DECIMAL(12", &reason), "");
}

// The tool reads a declaration as the library does, so that a value it accepts is stored as
// given: TEXT(n) is sized text, and DECIMAL(p) has no decimals (the library would round them).
TEST(ValuesTest, ColumnsMeanWhatTheyMeanToTheLibrary) {
  std::string reason;
  EXPECT_EQ(RoundTrip("abcde", "TEXT(5)"), "abcde");
  EXPECT_TRUE(Refused("abcdef", "TEXT(5)"));
  EXPECT_EQ(RoundTrip(std::string(300, 'x'), "TEXT"), std::string(300, 'x'));
  EXPECT_EQ(CanonicalDeclaration("TEXT(10)", &reason), "TEXT(10)");
  EXPECT_EQ(CanonicalDeclaration("TEXT", &reason), "TEXT");
  EXPECT_EQ(RoundTrip("1234567890", "DECIMAL(10)"), "1234567890");
  EXPECT_TRUE(Refused("0.5", "DECIMAL(10)"));
  EXPECT_TRUE(Refused("12345678901", "DECIMAL(10)"));
  EXPECT_EQ(RoundTrip("0.1234567", "DECIMAL"), "0.1234567");  // no declared scale: kept
  EXPECT_TRUE(Refused("1", "BLOB"));
}

std::vector<std::vector<std::string>> ReadAll(const std::string& text, std::vector<int>* lines,
                                              std::vector<std::string>* errors) {
  std::istringstream in(text);
  CCsvReader reader(in);
  std::vector<std::vector<std::string>> records;
  std::vector<std::string> fields;
  int line = 0;
  std::string error;
  while (reader.Next(&fields, &line, &error)) {
    records.push_back(fields);
    lines->push_back(line);
    errors->push_back(error);
  }
  return records;
}

TEST(CsvTest, QuotedFieldsHoldSeparatorsQuotesAndLineBreaks) {
  std::vector<int> lines;
  std::vector<std::string> errors;
  const auto records = ReadAll(
      "\xEF\xBB\xBFname,desc\r\nA,\"one, two\"\r\nB,\"say \"\"hi\"\"\r\nthere\"\r\nC,\r\n"
      "D,\"\"\nE,last",
      &lines, &errors);
  ASSERT_EQ(records.size(), 6u);
  EXPECT_EQ(records[0], (std::vector<std::string>{"name", "desc"}));
  EXPECT_EQ(records[1], (std::vector<std::string>{"A", "one, two"}));
  EXPECT_EQ(records[2], (std::vector<std::string>{"B", "say \"hi\"\r\nthere"}));
  EXPECT_EQ(records[3], (std::vector<std::string>{"C", ""}));
  EXPECT_EQ(records[4], (std::vector<std::string>{"D", ""}));
  EXPECT_EQ(records[5], (std::vector<std::string>{"E", "last"}));
  EXPECT_EQ(lines, (std::vector<int>{1, 2, 3, 5, 6, 7}));
  for (const std::string& error : errors) EXPECT_EQ(error, "");
}

TEST(CsvTest, MalformedQuotingIsReportedOnItsRecord) {
  std::vector<int> lines;
  std::vector<std::string> errors;
  const auto records = ReadAll("a,b\"c\n\"x\"y,z\nok,1\n\"open,\nnever closed", &lines, &errors);
  ASSERT_EQ(records.size(), 4u);
  EXPECT_EQ(errors[0], "a quote inside an unquoted field");
  EXPECT_EQ(errors[1], "text after the closing quote of a field");
  EXPECT_EQ(errors[2], "");
  EXPECT_EQ(records[2], (std::vector<std::string>{"ok", "1"}));
  EXPECT_EQ(errors[3], "a quoted field is not closed");
  EXPECT_EQ(lines[3], 4);
}

TEST(CsvTest, WrittenRecordsReadBackUnchanged) {
  const std::vector<std::string> fields = {
      "plain", "", "with, comma", "with \"quotes\"", "two\nlines", " padded ", "°C"};
  std::ostringstream out;
  WriteCsvRecord(out, fields);
  WriteCsvRecord(out, {"x"});
  std::vector<int> lines;
  std::vector<std::string> errors;
  const auto records = ReadAll(out.str(), &lines, &errors);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0], fields);
  EXPECT_EQ(records[1], (std::vector<std::string>{"x"}));
  EXPECT_EQ(lines[1], 3);
}

// Compared as the text written, so that a slip in the writer cannot hide behind the reader.
TEST(CsvTest, FieldsThatNeedQuotesAreQuotedInTheWrittenText) {
  const auto written = [](const std::vector<std::string>& fields) {
    std::ostringstream out;
    WriteCsvRecord(out, fields);
    return out.str();
  };
  EXPECT_EQ(written({"a "}), "\"a \"\r\n");  // a trailing space alone
  EXPECT_EQ(written({" a"}), "\" a\"\r\n");
  EXPECT_EQ(written({"a b", "", "x"}), "a b,,x\r\n");
  EXPECT_EQ(written({"a,b"}), "\"a,b\"\r\n");
  EXPECT_EQ(written({"say \"hi\""}), "\"say \"\"hi\"\"\"\r\n");
  EXPECT_EQ(written({"cr\r"}), "\"cr\r\"\r\n");
}

}  // namespace
