// zematag's names for a server: which databases are URIs, how passwords are masked, and the
// declared types of columns on the server (every Jet type name the library knows, made and read
// back on the test server).
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "JetDomains.h"
#include "SchemaStore.h"
#include "ServerDb.h"
#include "ToolError.h"
#include "platform/ado/column_type.h"
#include "platform/ado/pg/pg_internal.h"

namespace {

namespace ado = platform::ado;

std::string ServerUri() {
  std::ifstream in(ZEMA_TEST_PG_STATE "/uri");
  std::string uri;
  std::getline(in, uri);
  return uri;
}

TEST(ServerNamesTest, OnlyPostgresUrisAreServers) {
  for (const char* uri : {"postgresql://h/db", "postgres://h/db", "PostgreSQL://u@h:5433/db?x=1",
                          "  postgres://%2Ftmp/db"})
    EXPECT_TRUE(IsServerUri(uri)) << uri;
  for (const char* path : {"plant.db", "postgresql.db", "postgres:/h/db", "./postgresql://x", "",
                           "mysql://h/db", "file:postgresql://h/db"})
    EXPECT_FALSE(IsServerUri(path)) << path;
}

TEST(ServerNamesTest, EveryPasswordIsMaskedAndTheRestKept) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"postgresql://u:s3cret@h:5432/db", "postgresql://u:***@h:5432/db"},
      {"postgres://u:p%40ss@h/db?sslmode=require", "postgres://u:***@h/db?sslmode=require"},
      {"postgresql://u@h/db?password=s3cret&sslmode=require",
       "postgresql://u@h/db?***&sslmode=require"},
      {"postgresql://u@h/db", "postgresql://u@h/db"},
      {"copied a.db to postgresql://u:one@h/db and postgresql://v:two@k/db2",
       "copied a.db to postgresql://u:***@h/db and postgresql://v:***@k/db2"},
      {"x: Password=abc; next", "x: Password=***; next"},
      {"no_password=abc", "no_password=abc"},
  };
  for (const auto& [text, masked] : cases) {
    std::string expected = masked;
    // password=... keeps its key: "password=***".
    const size_t at = expected.find("?***");
    if (at != std::string::npos) expected.replace(at, 4, "?password=***");
    EXPECT_EQ(MaskPasswords(text), expected) << text;
  }
  EXPECT_EQ(Shown("plant:s3cret@x.db"), "plant:s3cret@x.db");  // a file name is a file name
}

// Each declared type is made on the server with its nearest type and read back with the same
// declaration and the same meaning to the library's server engine.
TEST(ServerNamesTest, EveryJetTypeNameKeepsItsDeclarationAndMeaningOnTheServer) {
  const std::string uri = ServerUri();
  ASSERT_FALSE(uri.empty()) << "no test server (" ZEMA_TEST_PG_STATE "/uri)";
  CServerDb server = CServerDb::Connect(uri);
  const std::string schema = "tool_names_" + std::to_string(getpid());
  server.Execute("DROP SCHEMA IF EXISTS " + schema + " CASCADE; CREATE SCHEMA " + schema +
                 "; SET search_path = " + schema);
  server.Execute(kJetDomainsSql);
  const std::vector<std::string> declared = {
      "LONG",       "INTEGER",  "INT",          "SHORT",     "SMALLINT",      "BYTE",
      "TINYINT",    "BIGINT",   "BIT",          "YESNO",     "BOOLEAN",       "LOGICAL",
      "SINGLE",     "FLOAT4",   "REAL",         "DOUBLE",    "FLOAT",         "NUMBER",
      "NUMERIC",    "CURRENCY", "MONEY",        "DECIMAL",   "DECIMAL(18,4)", "NUMERIC(10,2)",
      "DATETIME",   "DATE",     "TIME",         "TIMESTAMP", "VARCHAR(31)",   "VARCHAR",
      "CHAR(5)",    "TEXT(20)", "NVARCHAR(40)", "TEXT",      "MEMO",          "LONGTEXT",
      "LONGBINARY", "BLOB",     "varchar(7)",   "Double"};
  std::vector<ColumnDecl> columns = {{"Id", "INTEGER", true}};
  for (size_t i = 0; i < declared.size(); ++i)
    columns.push_back({"c" + std::to_string(i), declared[i]});
  server.Execute(ServerTableSql(server, "All Types", columns));
  const std::vector<CServerDb::Column> read = server.Columns("All Types");
  ASSERT_EQ(read.size(), columns.size());
  EXPECT_TRUE(read[0].key);
  for (size_t i = 0; i < columns.size(); ++i) {
    EXPECT_EQ(read[i].name, columns[i].name);
    EXPECT_EQ(read[i].declared, columns[i].declared) << read[i].serverType;
    if (i == 0) continue;
    const ado::ColumnType meant = ado::ColumnTypeFromDeclared(columns[i].declared.c_str());
    const ado::ColumnType made = ado::pg::ColumnTypeOf(read[i].serverType);
    EXPECT_EQ(static_cast<int>(made.kind), static_cast<int>(meant.kind))
        << columns[i].declared << " made as " << read[i].serverType;
    if (meant.kind == ado::ColumnKind::kText) {
      EXPECT_EQ(made.definedSize, meant.definedSize);
    }
    if (meant.kind == ado::ColumnKind::kDecimal && meant.scaleDeclared) {
      EXPECT_EQ(made.precision, meant.precision);
      EXPECT_EQ(made.scale, meant.scale);
    }
  }
  // A comment that no longer fits the column's type gives way to the type's own Jet name.
  server.Execute("COMMENT ON COLUMN \"All Types\".c0 IS 'VARCHAR(5)'");
  EXPECT_EQ(server.Columns("All Types")[1].declared, "LONG");
  server.Execute("COMMENT ON COLUMN \"All Types\".c1 IS 'LONG; DROP TABLE x'");
  EXPECT_EQ(server.Columns("All Types")[2].declared, "LONG");

  // Two connections to one database are one database; another schema is another.
  CServerDb again = CServerDb::Connect(uri + "?application_name=again");
  again.Execute("SET search_path = " + schema);
  EXPECT_EQ(again.Identity(), server.Identity());
  again.Execute("SET search_path = public");
  EXPECT_NE(again.Identity(), server.Identity());
  server.Execute("DROP SCHEMA " + schema + " CASCADE");
}

TEST(ServerNamesTest, ServerErrorsNameTheDatabaseAndKeepTheNamesWhole) {
  // A one-letter password must not blot out the names in the message.
  try {
    CServerDb::Connect("postgresql://u:a@%2Fnonexistent-dir:5432/plant?connect_timeout=2");
    FAIL() << "connected to nothing";
  } catch (const ToolError& e) {
    const std::string text = e.what();
    EXPECT_NE(text.find("server '/nonexistent-dir', database 'plant'"), std::string::npos) << text;
  }
}

}  // namespace
