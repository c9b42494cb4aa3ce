// The statement forms of the data-access stand-in, on text alone.
#include <gtest/gtest.h>

#include "platform/ado/statement_form.h"

namespace platform {
namespace ado {
namespace {

TEST(AdoStatementForm, JetDeleteStarLosesItsStarAndNothingElseChanges) {
  EXPECT_EQ(RewriteJetSyntax("DELETE * FROM Tags WHERE TagID = 1"),
            "DELETE FROM Tags WHERE TagID = 1");
  EXPECT_EQ(RewriteJetSyntax("  delete\t*\nfrom [Tag Types]"), "  delete\tfrom [Tag Types]");
  // Not the Jet form: left as written.
  EXPECT_EQ(RewriteJetSyntax("DELETE FROM Tags"), "DELETE FROM Tags");
  EXPECT_EQ(RewriteJetSyntax("DELETED * FROM Tags"), "DELETED * FROM Tags");
  EXPECT_EQ(RewriteJetSyntax("DELETE * FROMAGE"), "DELETE * FROMAGE");
  EXPECT_EQ(RewriteJetSyntax("SELECT * FROM Tags"), "SELECT * FROM Tags");
  EXPECT_EQ(RewriteJetSyntax("DELETE *"), "DELETE *");
}

TEST(AdoStatementForm, IdentifiersAreQuotedAfterTheirBracketsComeOff) {
  EXPECT_EQ(QuoteIdentifier("[Tag Types]"), "\"Tag Types\"");
  EXPECT_EQ(QuoteIdentifier(" `Tags` "), "\"Tags\"");
  EXPECT_EQ(QuoteIdentifier("say \"hi\""), "\"say \"\"hi\"\"\"");
  EXPECT_EQ(QuoteIdentifier("["), "\"[\"");
  EXPECT_TRUE(IsSingleName("Tags"));
  EXPECT_TRUE(IsSingleName("[Tag Types]"));
  EXPECT_TRUE(
      IsSingleName("Gr\xC3\xB6\xC3\x9F"
                   "e"));
  EXPECT_FALSE(IsSingleName("[a] [b]"));
  EXPECT_FALSE(IsSingleName("Tag Types"));
  EXPECT_FALSE(IsSingleName(""));
}

TEST(AdoStatementForm, StatementEndsAndDeletesAreRecognised) {
  EXPECT_TRUE(IsEmptyTail(nullptr));
  EXPECT_TRUE(IsEmptyTail(" ;\r\n\t;"));
  EXPECT_FALSE(IsEmptyTail("; SELECT 1"));
  EXPECT_TRUE(IsDeleteStatement("  delete from t"));
  EXPECT_FALSE(IsDeleteStatement("DELETEx FROM t"));
  EXPECT_FALSE(IsDeleteStatement("SELECT 1"));
}

TEST(AdoStatementForm, IntegerLiteralsBecomeParametersOutsideQuotesAndComments) {
  std::string form;
  std::vector<int64_t> values;
  ASSERT_TRUE(
      DeleteParameterForm("DELETE FROM t WHERE a = 12 AND b = '3' AND [c 4] = 007 -- 5\n AND d = "
                          "1.5 /* 6 */ AND e = x7",
                          &form, &values));
  EXPECT_EQ(
      form,
      "DELETE FROM t WHERE a = ? AND b = '3' AND [c 4] = ? -- 5\n AND d = 1.5 /* 6 */ AND e = x7");
  EXPECT_EQ(values, (std::vector<int64_t>{12, 7}));

  // The largest 64-bit integer is a parameter; one more stays as written.
  ASSERT_TRUE(
      DeleteParameterForm("DELETE FROM t WHERE a = 9223372036854775807 OR a = "
                          "9223372036854775808 OR a = 0x10 OR a = 1e3 OR a = 2abc",
                          &form, &values));
  EXPECT_EQ(
      form,
      "DELETE FROM t WHERE a = ? OR a = 9223372036854775808 OR a = 0x10 OR a = 1e3 OR a = 2abc");
  EXPECT_EQ(values, (std::vector<int64_t>{INT64_MAX}));

  // Statements that keep their literals.
  EXPECT_FALSE(DeleteParameterForm("DELETE FROM t WHERE a = ?", &form, &values));
  EXPECT_FALSE(DeleteParameterForm("DELETE FROM t WHERE a = :key", &form, &values));
  EXPECT_FALSE(DeleteParameterForm("DELETE FROM t ORDER BY 1", &form, &values));
  EXPECT_FALSE(
      DeleteParameterForm("DELETE FROM t WHERE a IN (SELECT 1 GROUP BY 1)", &form, &values));
}

}  // namespace
}  // namespace ado
}  // namespace platform
