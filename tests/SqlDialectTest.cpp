#include "database/SqlDialect.h"

#include <gtest/gtest.h>

using vantrel::AdaptSql;
using vantrel::TSqlDialect;

TEST(SqlDialect, SqlServerStatementsPassUnchanged) {
  const char* sql = "select top 1 isnull(c.Name, '') as Name from tq_Contact c";
  EXPECT_EQ(AdaptSql(sql, TSqlDialect::SqlServer), sql);
}

TEST(SqlDialect, TopBecomesLimitAtTheEndOfItsSelect) {
  EXPECT_EQ(AdaptSql("select top 1 ID from tq_Contact where Phone = '5551234' order by ID", TSqlDialect::SQLite),
            "select ID from tq_Contact where Phone = '5551234' order by ID limit 1");
  EXPECT_EQ(AdaptSql("SELECT TOP 10 * FROM t;", TSqlDialect::PostgreSQL), "SELECT * FROM t limit 10;");
  EXPECT_EQ(AdaptSql("select a from t where b in (select top 2 b from u order by b)", TSqlDialect::SQLite),
            "select a from t where b in (select b from u order by b limit 2)");
  EXPECT_EQ(AdaptSql("select top 1 a from (select top 3 a from t) x", TSqlDialect::SQLite),
            "select a from (select a from t limit 3) x limit 1");
}

TEST(SqlDialect, IsNullBecomesTheDialectsFunction) {
  EXPECT_EQ(AdaptSql("select isnull(max(EventOrder), 0) from tq_VantrelLog", TSqlDialect::SQLite),
            "select ifnull(max(EventOrder), 0) from tq_VantrelLog");
  EXPECT_EQ(AdaptSql("select ISNULL (a, b) from t", TSqlDialect::PostgreSQL), "select coalesce (a, b) from t");
}

TEST(SqlDialect, LiteralsNamesAndLookAlikesAreLeftAlone) {
  const char* sql =
      "select isnull_flag, [top 1], \"isnull(\" from t where Note = 'select top 5 isnull(x, y)' and "
      "Name = 'O''Brien select top 2'";
  EXPECT_EQ(AdaptSql(sql, TSqlDialect::SQLite), sql);
  EXPECT_EQ(AdaptSql("select topic from t", TSqlDialect::SQLite), "select topic from t");
  EXPECT_EQ(AdaptSql("select top x from t", TSqlDialect::SQLite), "select top x from t");
  EXPECT_EQ(AdaptSql("select 'unterminated", TSqlDialect::SQLite), "select 'unterminated");
}
