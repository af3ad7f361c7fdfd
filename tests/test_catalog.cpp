// A walk that reads every table's columns from the catalog at once searches
// exactly what each table's own queries would have it search, a replace
// with it changes exactly what one without it changes, and a table made or
// altered after the catalog was read is searched as it is now.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "db/target.h"
#include "engine/engine.h"
#include "support/engine_fixture.h"

namespace {

using testsupport::Engine;
using namespace trellick;

class Source : public engine::ConnectionSource {
 public:
  explicit Source(db::Connection& conn) : conn_(conn) {}
  db::Connection& current() override { return conn_; }
  void reconnect() override { throw std::runtime_error("no reconnection in this test"); }

 private:
  db::Connection& conn_;
};

// Everything a table's result says, one line per column.
std::string described(const engine::TableResult& r) {
  std::ostringstream out;
  out << engine::displayName(r.table) << ": " << engine::statusName(r.status)
      << " rows=" << r.hasRows << " records=" << r.records << " count=" << r.countStatement
      << " failed=" << (r.failure ? r.failure->englishDescription : "") << "\n";
  for (const auto& c : r.columns)
    out << "  " << c.name << " type=" << c.type << " size=" << c.size << " computed=" << c.computed
        << " searched=" << c.searchable << " engineType=" << c.engineType
        << " why=" << c.notSearched << " json=" << c.json << "\n";
  return out.str();
}

std::vector<std::string> walked(db::Connection& conn, const std::string& find,
                                std::shared_ptr<engine::Catalog> catalog) {
  engine::Options options;
  options.texts = {find, ""};
  options.catalog = std::move(catalog);
  engine::Observer quiet;
  Source source(conn);
  const auto walk = engine::runTables(source, engine::userTables(conn), options, quiet);
  std::vector<std::string> out;
  for (const auto& r : walk.results) out.push_back(described(r));
  // MariaDB lists names alike but for case (`UPPER`, `upper`) in an order
  // of its own that may change as tables are opened: compared by table.
  std::sort(out.begin(), out.end());
  return out;
}

class Catalog : public testsupport::EngineFixture {
 protected:
  void SetUp() override {
    EngineFixture::SetUp();
    if (conn().engineSql().catalogQuery().empty())
      GTEST_SKIP() << "each table is asked by itself on this engine";
  }
  // The tables of kTables, or their PostgreSQL kin: odd names, every
  // type, inheritance, domains and a second schema.
  std::string tables() const {
    return engine() == Engine::SQLite       ? kTables
           : engine() == Engine::PostgreSQL ? kPgTables
                                            : kMariaTables;
  }
  // How many tables a walk leaves the catalog able to answer for: all but
  // those holding a column the driver describes by its rows.
  size_t answerable() const { return engine() == Engine::PostgreSQL ? 14 : 12; }
  size_t tableCount() const { return engine() == Engine::MariaDB ? 12 : 14; }

  static const char* const kTables;
  static const char* const kPgTables;
  static const char* const kMariaTables;
};

// Odd names, every declared type, no key, composite keys, generated columns,
// a view, dynamic typing and columns without a type, an empty table.
const char* const Catalog::kTables = R"(
create table "odd.name" ("a.b" varchar(10), "x y" text, n int);
insert into "odd.name" values ('needle', 'a needle too', 1);
create table "we""ird]" ("c;?" nvarchar(50), d clob, e char(3), f blob, g real, h numeric,
  i integer, j boolean, k date, l varchar(300), m character varying(2), n native character(70),
  o varying character(255), p nchar(55), q text(2), r double precision, s datetime);
insert into "we""ird]" values ('the needle', 'needle', 'nee', x'00', 1.5, 2, 3, 1, '2020-01-01',
  'needle', 'ne', 'needle', 'needle', 'needle', 'needle', 2.5, '2020-01-01 00:00:00');
create table nokey (a text, b varchar(300));
insert into nokey values ('needle', 'x');
create table composite (k1 int, k2 text, v text, primary key (k1, k2));
insert into composite values (1, 'needle', 'needle');
create table gen (a text, b text generated always as (a || 'x') virtual,
  c text generated always as (upper(a)) stored);
insert into gen (a) values ('needle');
create view v as select * from nokey;
create table dyn (a text, b, c varchar(5));
insert into dyn values (12, 'needle', 'needle'), ('needle', 5, x'6e65656466');
create table typeless (a, b);
insert into typeless values ('needle', 3);
create table empty1 (a text);
create table dynnum (a text);
insert into dynnum values (1), ('needle'), (x'00');
create table plain (a varchar(10), b text);
insert into plain values ('needle', 'hay');
create table plain2 (a varchar(10), b text);
insert into plain2 values ('hay', 'hay');
create table again ("c;?" nvarchar(50), d clob, e char(3));
insert into again values ('needle', 'needle', 'nee');
create table strict_t (a text, b int, c any) strict;
insert into strict_t values ('needle', 1, 'needle');
create table norowid (k text primary key, v varchar(20)) without rowid;
insert into norowid values ('needle', 'needle');
)";

const char* const Catalog::kPgTables = R"(
create domain words as text;
create domain short_words as varchar(4);
create domain deep as words;
create type mood as enum ('needle', 'hay');
create table "odd.name" ("a.b" varchar(10), "x y" text, n int);
insert into "odd.name" values ('needle', 'a needle too', 1);
create table "we""ird]" ("c;?" varchar(50), d text, e char(3), f bytea, g real, h numeric,
  i integer, j boolean, k date, l varchar, m character varying(2), n char(70), o name,
  p "char", q words, r short_words, s deep, t mood, u json, v jsonb, w text[], x xml,
  y timestamp, z uuid);
insert into "we""ird]" values ('the needle', 'needle', 'nee', '\x00', 1.5, 2, 3, true,
  '2020-01-01', 'needle', 'ne', 'needle', 'needle', 'n', 'needle', 'need', 'needle', 'needle',
  '"needle"', '"needle"', '{needle}', '<a>needle</a>', '2020-01-01', gen_random_uuid());
create table nokey (a text, b varchar(300));
insert into nokey values ('needle', 'x');
create table composite (k1 int, k2 text, v text, primary key (k1, k2));
insert into composite values (1, 'needle', 'needle');
create table gen (a text, b text generated always as (a || 'x') stored);
insert into gen (a) values ('needle');
create view v as select * from nokey;
create table empty1 (a text);
create table parent (a text, b varchar(20));
insert into parent values ('hay', 'hay');
create table child (c text) inherits (parent);
insert into child values ('needle', 'needle', 'needle');
create schema other;
create table other.plain (a varchar(10), b text);
insert into other.plain values ('needle', 'hay');
create table plain (a varchar(10), b text);
insert into plain values ('needle', 'hay');
create table plain2 (a varchar(10), b text);
insert into plain2 values ('hay', 'hay');
create table again ("c;?" varchar(50), d text, e char(3));
insert into again values ('needle', 'needle', 'nee');
create table "UPPER" ("Mixed" text, "sp ace" varchar(5));
insert into "UPPER" values ('needle', 'nee');
create table dropped (a text, gone int, b varchar(7));
alter table dropped drop column gone;
insert into dropped values ('needle', 'needle');
)";

const char* const Catalog::kMariaTables = R"(
create table `odd.name` (`a.b` varchar(10), `x y` text, n int);
insert into `odd.name` values ('needle', 'a needle too', 1);
create table `we``ird]` (`c;?` varchar(50), d text, e char(3), f blob, g float, h decimal(9,2),
  i int, j boolean, k date, l varchar(300) character set latin1, m varchar(2),
  n char(70) character set utf8mb4 collate utf8mb4_bin, o tinytext, p mediumtext, q longtext,
  r json, s enum('needle', 'hay'), t set('needle', 'hay'), u varbinary(20),
  v varchar(10) character set binary, w datetime, x bit(3), y year);
insert into `we``ird]` values ('the needle', 'needle', 'nee', 'needle', 1.5, 2, 3, true,
  '2020-01-01', 'needle', 'ne', 'needle', 'needle', 'needle', 'needle', '"needle"', 'needle',
  'needle', 'needle', 'needle', '2020-01-01', b'101', 2020);
create table nokey (a text, b varchar(300));
insert into nokey values ('needle', 'x');
create table composite (k1 int, k2 varchar(20), v text, primary key (k1, k2));
insert into composite values (1, 'needle', 'needle');
create table gen (a varchar(20), b varchar(30) as (concat(a, 'x')) virtual,
  c varchar(30) as (upper(a)) persistent);
insert into gen (a) values ('needle');
create view v as select * from nokey;
create table empty1 (a text);
create table plain (a varchar(10), b text);
insert into plain values ('needle', 'hay');
create table plain2 (a varchar(10), b text);
insert into plain2 values ('hay', 'hay');
create table again (`c;?` varchar(50), d text, e char(3));
insert into again values ('needle', 'needle', 'nee');
create table `UPPER` (`Mixed` text, `sp ace` varchar(5));
insert into `UPPER` values ('needle', 'nee');
create table `upper` (a text);
insert into `upper` values ('needle');
create table checked (a longtext check (json_valid(a)), b longtext);
insert into checked values ('"needle"', 'needle');
)";

TEST_P(Catalog, SearchesExactlyTheColumnsEachTableWould) {
  setup(tables());
  for (const std::string find : {"needle", "ne", ""}) {
    SCOPED_TRACE("find: " + find);
    const auto alone = walked(conn(), find, nullptr);
    auto catalog = engine::readCatalog(conn(), engine::userTables(conn()));
    ASSERT_NE(catalog, nullptr);
    const auto fromCatalog = walked(conn(), find, catalog);
    ASSERT_EQ(alone.size(), tableCount());
    EXPECT_EQ(fromCatalog, alone);
    // The catalog answered, its driver descriptions learned once: a walk
    // with it again runs every table without its own queries but the two
    // with columns of no type, and still searches the same.
    size_t answered = 0;
    for (const auto& t : engine::userTables(conn())) answered += catalog->ready(t) ? 1 : 0;
    EXPECT_EQ(answered, answerable());
    EXPECT_EQ(walked(conn(), find, catalog), alone);
  }
}

TEST_P(Catalog, TablesChangedAfterItWasReadAreSearchedAsTheyAreNow) {
  setup(tables());
  // Learned from a first walk: every type of the database described.
  auto catalog = engine::readCatalog(conn(), engine::userTables(conn()));
  ASSERT_NE(catalog, nullptr);
  walked(conn(), "needle", catalog);
  ASSERT_TRUE(catalog->ready(engine::Table("plain")));
  // Altered and made past the connection, after the catalog was read.
  setup(
      "alter table plain add column late varchar(20);"
      "update plain set late = 'needle', a = 'hay';"
      "create table newer (a varchar(10), b text);"
      "insert into newer values ('needle', 'needle');"
      "alter table plain2 rename column b to renamed;"
      "update plain2 set renamed = 'needle';");
  const auto now = walked(conn(), "needle", nullptr);
  EXPECT_EQ(walked(conn(), "needle", catalog), now);
  // The column added is searched and found.
  bool lateFound = false;
  for (const auto& line : now)
    lateFound = lateFound || (line.rfind("plain: found", 0) == 0 &&
                              line.find("late type=") != std::string::npos);
  EXPECT_TRUE(lateFound);
}

// A replace's walk, each table's result; a find for `find` after it.
std::vector<std::string> replaced(db::Connection& conn, std::shared_ptr<engine::Catalog> catalog) {
  engine::Options options{engine::Mode::Replace, {"needle", "thread"}};
  options.catalog = std::move(catalog);
  engine::Observer quiet;
  Source source(conn);
  const auto walk = engine::runTables(source, engine::userTables(conn), options, quiet);
  std::vector<std::string> out;
  for (const auto& r : walk.results) out.push_back(described(r));
  std::sort(out.begin(), out.end());
  return out;
}

// A replace with the catalog changes what one without it changes, and a
// table altered or made after the catalog was read is replaced as it is
// now: a column added is not left holding the text.
TEST_P(Catalog, ReplacesExactlyWhatEachTableWould) {
  const std::string altered =
      "alter table plain add column late varchar(20);"
      "update plain set late = 'needle';"
      "create table newer (a varchar(10), b text);"
      "insert into newer values ('needle', 'needle');"
      "alter table plain2 rename column b to renamed;"
      "update plain2 set renamed = 'needle';";
  setup(tables());
  setup(altered);
  const auto alone = replaced(conn(), nullptr);
  const auto leftAlone = walked(conn(), "needle", nullptr);
  const auto madeAlone = walked(conn(), "thread", nullptr);

  recreateDatabase();
  setup(tables());
  auto catalog = engine::readCatalog(conn(), engine::userTables(conn()));
  ASSERT_NE(catalog, nullptr);
  setup(altered);
  EXPECT_EQ(replaced(conn(), catalog), alone);
  EXPECT_EQ(walked(conn(), "needle", nullptr), leftAlone);
  EXPECT_EQ(walked(conn(), "thread", nullptr), madeAlone);
  // Nothing of the text is left in the tables altered after the read.
  for (const auto& line : leftAlone)
    for (const char* table : {"plain: ", "plain2: ", "newer: "})
      if (line.rfind(table, 0) == 0) {
        EXPECT_NE(line.find(" records=0 "), std::string::npos) << line;
      }
  size_t lateReplaced = 0;
  for (const auto& line : alone)
    if (line.rfind("plain: replaced", 0) == 0 && line.find("late type=") != std::string::npos)
      ++lateReplaced;
  EXPECT_EQ(lateReplaced, 1u);
}

// Workers sharing one catalog, each on its connection, ask whether tables
// hold rows without waiting on each other's questions: every table is
// searched as one walk without the catalog searches it, the empty one too,
// whatever the number of workers.
TEST_P(Catalog, WorkersSharingItSearchAsOneWalkDoes) {
  setup(tables());
  const auto alone = walked(conn(), "needle", nullptr);
  for (int jobs : {2, 3}) {
    SCOPED_TRACE("jobs " + std::to_string(jobs));
    const auto walk = engine::userTables(conn());
    engine::Options options;
    options.texts = {"needle", ""};
    options.catalog = engine::readCatalog(conn(), walk);
    ASSERT_NE(options.catalog, nullptr);
    engine::Observer quiet;
    const auto many = engine::countConcurrently(
        [&] {
          auto c = std::make_unique<db::Connection>();
          c->Open(db::makeTarget(fields(), db::installedDrivers(), 10));
          return c;
        },
        walk, options, quiet, jobs);
    ASSERT_FALSE(many.connectionFailure);
    std::vector<std::string> out;
    for (const auto& r : many.results) out.push_back(described(r));
    std::sort(out.begin(), out.end());
    EXPECT_EQ(out, alone);
  }
}

INSTANTIATE_TEST_SUITE_P(Engines, Catalog, testsupport::allEngines(),
                         testsupport::EngineParamName());

}  // namespace
