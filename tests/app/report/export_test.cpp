#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include "app/report/report_export.h"
#include "app/report/text_writers.h"
#include "tests/app/report/report_fixtures.h"
#include "tests/app/report/run_tool.h"
#include "tests/support/temp_dir.h"

namespace report {
namespace {

using testing::recordListGrid;
using testing::runTool;
using Row = std::vector<QString>;

const ReportHeader kListHeader{"Torvik 公司", "資料列表", "總數: 2"};

TEST(ExportSheet, RecordListWorkedExample) {
  StringGrid grid = recordListGrid(2);
  grid.setRow(1, {"8194", "甲", "第一筆"});
  grid.setRow(2, {"8195", "乙", "第二筆"});
  const ExportSheet sheet = buildExportSheet(grid, kListHeader, 5);

  const std::vector<Row> expected = {
      {"Torvik 公司", "", "", "", ""}, {"資料列表", "", "", "", ""}, {"總數: 2", "", "", "", ""},
      {"", "", "", "", ""},            {"", "", "", "", ""},         {"名稱", "備註", "", "", ""},
      {"甲", "第一筆", "", "", ""},    {"乙", "第二筆", "", "", ""}};
  EXPECT_EQ(sheet.rows, expected);
  EXPECT_EQ(sheet.columnCount, 5);
  EXPECT_EQ(sheet.columnWidths, (std::vector<int>{100, 200, 300, 400, kDefaultSheetColumnWidth}));
  EXPECT_EQ(sheet.lastTextColumn, 4);
  for (int c = 0; c < 5; ++c) EXPECT_FALSE(sheet.isNumberColumn(c));
}

TEST(ExportSheet, HeaderRowsOnlyForNonEmptyTexts) {
  const StringGrid grid = recordListGrid(1, 10);
  const Row record{"8194", "rec-001", "備註1", "", ""};

  EXPECT_EQ(buildExportSheet(grid, {}, -1).rows, (std::vector<Row>{{"ID", "名稱", "備註", "", ""}, record}));
  // Texts are tested untrimmed: blanks make a row.
  EXPECT_EQ(buildExportSheet(grid, {"", " ", ""}, -1).rows,
            (std::vector<Row>{{" ", "", "", "", ""}, Row(5), Row(5), {"ID", "名稱", "備註", "", ""}, record}));
}

struct BoundaryCase {
  std::vector<int> widths;
  int lastTextColumn;
  int expected;
};

TEST(ExportSheet, TextBoundaryMovesLeftWithTheHiddenColumns) {
  const BoundaryCase cases[] = {
      {{1, 80, 80, 80}, 2, 1},    // the key column moves the boundary
      {{1, 80, 80, 80}, 1, 1},    // not below the hidden count: stays
      {{1, 80, 80, 80}, 0, 0},
      {{1, 80, 80, 80}, -1, -1},  // every column text
      {{80, 80, 80, 80}, 2, 2},   // nothing hidden
      {{1, 80, 5, 80, 80}, 3, 1},
      {{80, 80, 80, 1, 80}, 2, 2},  // hidden columns right of it do not count
  };
  for (const BoundaryCase& c : cases) {
    StringGrid grid(static_cast<int>(c.widths.size()), 1);
    for (size_t i = 0; i < c.widths.size(); ++i) grid.setColumnWidth(static_cast<int>(i), c.widths[i]);
    EXPECT_EQ(exportTextBoundary(grid, c.lastTextColumn), c.expected) << c.lastTextColumn;
    EXPECT_EQ(buildExportSheet(grid, {}, c.lastTextColumn).lastTextColumn, c.expected);
  }
}

TEST(ExportSheet, EveryWideColumnIsCopiedInPlace) {
  StringGrid grid(3, 2, 40);
  grid.setRow(0, {"a", "b", "c"});
  grid.setRow(1, {"1", "2", "3"});
  grid.setColumnWidth(1, 6);
  const ExportSheet sheet = buildExportSheet(grid, {}, 0);
  EXPECT_EQ(sheet.rows, (std::vector<Row>{{"a", "b", "c"}, {"1", "2", "3"}}));
  EXPECT_EQ(sheet.columnWidths, (std::vector<int>{40, 6, 40}));
}

TEST(ExportSheet, NumbersAreReadStrictly) {
  EXPECT_EQ(readNumber(" 1234.5 "), 1234.5);
  EXPECT_EQ(readNumber("-2e3"), -2000);
  for (const char* text : {"", "abc", "12a", "1,234.5", "inf", "nan"}) EXPECT_FALSE(readNumber(text)) << text;
}

// A report with text and number columns: key (hidden), 名稱, 代號 | 金額, 數量.
StringGrid amountsGrid() {
  StringGrid grid(5, 4, 90);
  grid.setColumnWidth(0, 1);
  grid.setRow(0, {"ID", "名稱", "代號", "金額", "數量"});
  grid.setRow(1, {"8194", "甲 Ω", "007", "1234.5", "3"});
  grid.setRow(2, {"8195", "乙, \"引\"", "008", "abc", ""});
  grid.setRow(3, {"8196", "丙\n二行", "", "-0.25", "1e3"});
  grid.setFixedRowCount(1);
  return grid;
}

QJsonObject readBackFile(const char* kind, const std::string& file) {
  const QString out = runTool(TORVIK_PYTHON, {TORVIK_READ_BACK, kind, QString::fromStdString(file)});
  return QJsonDocument::fromJson(out.toUtf8()).object();
}

QJsonArray readBack(const char* kind, const std::string& file) {
  return readBackFile(kind, file).value("rows").toArray();
}

// What a workbook must hold for amountsGrid() under the header "報表": for
// each sheet row its cells as text, number or empty, and whether the cell is
// bold with "#,##0.00".
struct Expected {
  enum Kind { Empty, Text, Number } kind;
  QString text;
  double number;
  bool formatted;
};
const Expected E{Expected::Empty, {}, 0, false};
Expected T(const char* s, bool formatted = false) { return {Expected::Text, s, 0, formatted}; }
Expected N(double v) { return {Expected::Number, {}, v, true}; }

const std::vector<std::vector<Expected>> kAmountCells = {
    {T("報表"), E, E, E, E},
    {E, E, E, E, E},
    {E, E, E, E, E},
    {T("名稱"), T("代號"), T("金額", true), T("數量", true), E},
    {T("甲 Ω"), T("007"), N(1234.5), N(3), E},
    {T("乙, \"引\""), T("008"), T("abc", true), E, E},
    {T("丙\n二行"), E, N(-0.25), N(1000), E},
};

void expectWorkbookCells(const QJsonArray& rows) {
  for (size_t r = 0; r < kAmountCells.size(); ++r) {
    const QJsonArray row = rows.at(static_cast<qsizetype>(r)).toArray();
    for (size_t c = 0; c < kAmountCells[r].size(); ++c) {
      const Expected& e = kAmountCells[r][c];
      const QJsonValue cell = row.at(static_cast<qsizetype>(c));  // missing cells read as undefined
      SCOPED_TRACE(::testing::Message() << "row " << r << " column " << c);
      if (e.kind == Expected::Empty) {
        EXPECT_TRUE(cell.isNull() || cell.isUndefined());
        continue;
      }
      ASSERT_TRUE(cell.isObject());
      const QJsonObject o = cell.toObject();
      if (e.kind == Expected::Text) {
        EXPECT_EQ(o["type"].toString(), "text");
        EXPECT_EQ(o["value"].toString(), e.text);
      } else {
        EXPECT_EQ(o["type"].toString(), "number");
        EXPECT_DOUBLE_EQ(o["value"].toDouble(), e.number);
      }
      EXPECT_EQ(o["bold"].toBool(), e.formatted);
      if (e.formatted) EXPECT_EQ(o["format"].toString(), "#,##0.00");
      else EXPECT_EQ(o["format"].toString(), "General");
    }
  }
  EXPECT_LE(rows.size(), static_cast<qsizetype>(kAmountCells.size()));
}

class ExportFile : public ::testing::Test {
 protected:
  void write(const char* name) {
    const QString file = QString::fromStdString(dir.file(name));
    writeExportFile(buildExportSheet(grid, {"報表", "", ""}, 2), file, *exportFormatFor(file));
  }
  std::string path(const char* name) const { return dir.file(name); }

  TempDir dir;
  StringGrid grid = amountsGrid();
};

TEST_F(ExportFile, XlsReadsBackWithStringsNumbersAndTheBoldNumberFormat) {
  write("amounts.xls");
  const QJsonObject book = readBackFile("xls", path("amounts.xls"));
  EXPECT_TRUE(book["extsst"].toBool());
  expectWorkbookCells(book["rows"].toArray());
  // Column widths follow the grid's: 90 pixels, and the default for the column no grid column filled.
  const QJsonArray widths = book["widths"].toArray();
  ASSERT_EQ(widths.size(), 4);  // the fifth column holds no cell
  EXPECT_EQ(widths[0].toInt(), widths[3].toInt());
  EXPECT_GT(widths[0].toInt(), 0);
}

TEST_F(ExportFile, XlsxReadsBackTheSameCells) {
  write("amounts.xlsx");
  expectWorkbookCells(readBack("xlsx", path("amounts.xlsx")));
}

TEST_F(ExportFile, XlsKeepsLongAndManyStringsAcrossContinuedRecords) {
  // Enough distinct texts, and one long enough, to spill the shared string
  // table over several records, one string split between two of them.
  const int records = 3000;
  grid = StringGrid(2, records + 1, 80);
  grid.setRow(0, {"名稱", "備註"});
  const QString longText = QString(5000, QChar(u'長')) + "尾";
  for (int i = 1; i <= records; ++i)
    grid.setRow(i, {QStringLiteral("名稱%1").arg(i), i == 1500 ? longText : QStringLiteral("備註%1").arg(i)});
  write("many.xls");
  const QJsonObject book = readBackFile("xls", path("many.xls"));
  EXPECT_TRUE(book["extsst"].toBool());
  const QJsonArray rows = book["rows"].toArray();
  ASSERT_EQ(rows.size(), records + 4);
  for (int i = 1; i <= records; ++i) {
    const QJsonArray row = rows.at(i + 3).toArray();
    ASSERT_EQ(row.at(0).toObject()["value"].toString(), QStringLiteral("名稱%1").arg(i));
    ASSERT_EQ(row.at(1).toObject()["value"].toString(), i == 1500 ? longText : QStringLiteral("備註%1").arg(i));
  }
}

const std::vector<Row> kAmountTexts = {
    {"報表", "", "", "", ""},         {"", "", "", "", ""},          {"", "", "", "", ""},
    {"名稱", "代號", "金額", "數量", ""}, {"甲 Ω", "007", "1234.5", "3", ""},
    {"乙, \"引\"", "008", "abc", "", ""}, {"丙\n二行", "", "-0.25", "1e3", ""}};

std::vector<Row> textRows(const QJsonArray& rows) {
  std::vector<Row> out;
  for (const QJsonValue& row : rows) {
    Row& cells = out.emplace_back();
    for (const QJsonValue& cell : row.toArray()) cells.push_back(cell.toString());
  }
  return out;
}

TEST_F(ExportFile, TextFormatsHoldEveryCell) {
  for (const char* name : {"amounts.csv", "amounts.htm", "amounts.doc"}) {
    write(name);
    const char* kind = std::strrchr(name, '.') + 1;
    EXPECT_EQ(textRows(readBack(kind, path(name))), kAmountTexts) << name;
  }
  QFile csv(QString::fromStdString(path("amounts.csv")));
  ASSERT_TRUE(csv.open(QIODevice::ReadOnly));
  const QByteArray bytes = csv.readAll();
  EXPECT_TRUE(bytes.startsWith("\xEF\xBB\xBF"));
  EXPECT_TRUE(bytes.contains(QStringLiteral("\"乙, \"\"引\"\"\",008,abc,,\r\n").toUtf8()));
  EXPECT_TRUE(bytes.contains(QStringLiteral("\"丙\n二行\",,-0.25,1e3,\r\n").toUtf8()));

  QFile doc(QString::fromStdString(path("amounts.doc")));
  ASSERT_TRUE(doc.open(QIODevice::ReadOnly));
  EXPECT_TRUE(doc.readAll().contains("\\u30002?"));  // 甲 as a Unicode escape
}

TEST(ExportFormat, ChosenByTheEndingInAnyCase) {
  EXPECT_EQ(exportFormatFor("a.xls"), ExportFormat::Xls);
  EXPECT_EQ(exportFormatFor("/x/A.XLS"), ExportFormat::Xls);
  EXPECT_EQ(exportFormatFor("a.Xlsx"), ExportFormat::Xlsx);
  EXPECT_EQ(exportFormatFor("a.CSV"), ExportFormat::Csv);
  EXPECT_EQ(exportFormatFor("a.htm"), ExportFormat::Html);
  EXPECT_EQ(exportFormatFor("a.doc"), ExportFormat::Doc);
  for (const char* name : {"a.txt", "a", "a.html", "axls"}) EXPECT_FALSE(exportFormatFor(name)) << name;
  EXPECT_EQ(exportFilter(), "Excel File|*.xls|Comma 分隔檔案|*.csv|HTML|*.htm|DOC|*.doc|Excel 2007+ (*.xlsx)|*.xlsx");
  EXPECT_EQ(exportDialogFilter(),
            "Excel File (*.xls);;Comma 分隔檔案 (*.csv);;HTML (*.htm);;DOC (*.doc);;Excel 2007+ (*.xlsx)");
}

// The export with scripted answers, recording what the user was asked.
class ExportDialogue : public ::testing::Test {
 protected:
  ExportDialogue() {
    hooks.chooseFile = [this] { ++dialogs; return chosen; };
    hooks.showMessage = [this](const QString& text) { said << "message: " + text; };
    hooks.askYesNo = [this](const QString& text) {
      said << "ask: " + text;
      return answers.isEmpty() ? false : answers.takeFirst();
    };
    hooks.openFile = [this](const QString& file) { said << "open: " + file; };
    hooks.setBusy = [this](bool busy) { said << (busy ? "busy" : "idle"); };
  }

  QString fileContents() const {
    QFile f(chosen);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
  }

  TempDir dir;
  StringGrid grid = recordListGrid(3);
  ExportHooks hooks;
  QString chosen = QString::fromStdString(dir.file("list.csv"));
  QList<bool> answers;
  QStringList said;
  int dialogs = 0;
};

TEST_F(ExportDialogue, WithoutAGridOnlyTheNoticeShows) {
  EXPECT_FALSE(exportReport(nullptr, kListHeader, 5, hooks));
  EXPECT_EQ(said, QStringList{"message: 無法使用這功能."});
  EXPECT_EQ(dialogs, 0);
}

TEST_F(ExportDialogue, CancelledDialogWritesNothing) {
  chosen.clear();
  EXPECT_FALSE(exportReport(&grid, kListHeader, 5, hooks));
  EXPECT_TRUE(said.isEmpty());
}

TEST_F(ExportDialogue, WritesThenOffersToOpenCountingRecordsOnly) {
  answers = {true};
  EXPECT_TRUE(exportReport(&grid, kListHeader, 5, hooks));
  EXPECT_EQ(said, (QStringList{"busy", "idle", "ask: 3 個資料已成功輸出到" + chosen + ", 開啟嗎?",
                               "open: " + chosen}));
  EXPECT_TRUE(fileContents().contains("rec-003,備註3"));
}

TEST_F(ExportDialogue, ExistingFileIsKeptUnlessTheUserAgrees) {
  writeBytes("old", chosen);
  answers = {false};
  EXPECT_FALSE(exportReport(&grid, kListHeader, 5, hooks));
  EXPECT_EQ(said, QStringList{"ask: 檔案存在, 取代它嗎?"});
  EXPECT_EQ(fileContents(), "old");

  said.clear();
  answers = {true, false};
  EXPECT_TRUE(exportReport(&grid, kListHeader, 5, hooks));
  EXPECT_EQ(said.first(), "ask: 檔案存在, 取代它嗎?");
  EXPECT_EQ(said.size(), 4);  // busy, idle, the closing question; not opened
  EXPECT_TRUE(fileContents().contains("rec-001"));
}

TEST_F(ExportDialogue, UnknownEndingIsRefusedInsteadOfReportedAsDone) {
  chosen = QString::fromStdString(dir.file("list.txt"));
  EXPECT_FALSE(exportReport(&grid, kListHeader, 5, hooks));
  EXPECT_EQ(said, QStringList{"message: 無法使用這功能."});
  EXPECT_FALSE(QFile::exists(chosen));
}

TEST_F(ExportDialogue, WriterFailurePropagatesAndTheCursorComesBack) {
  chosen = QString::fromStdString(dir.file("missing/list.xls"));
  EXPECT_THROW(exportReport(&grid, kListHeader, 5, hooks), std::runtime_error);
  EXPECT_EQ(said, (QStringList{"busy", "idle"}));
}

}  // namespace
}  // namespace report
