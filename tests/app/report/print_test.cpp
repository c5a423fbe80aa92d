#include <QFile>
#include <QPrinter>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include "app/report/page_painter.h"
#include "app/report/report_layout.h"
#include "tests/app/report/report_fixtures.h"
#include "tests/app/report/run_tool.h"
#include "tests/support/temp_dir.h"

namespace report {
namespace {

using testing::recordListGrid;
using testing::recordName;
using testing::recordRemark;
using testing::runTool;

QString pdfPageText(const QString& file, int page) {
  return runTool(TORVIK_PDFTOTEXT, {"-f", QString::number(page), "-l", QString::number(page),
                                    "-layout", file, "-"});
}

QString pdfInfo(const QString& file) { return runTool(TORVIK_PDFINFO, {file}); }

// The first page's size in points, as pdfinfo reports it.
QSizeF pdfPageSize(const QString& file) {
  const QRegularExpressionMatch m =
      QRegularExpression(R"(Page size:\s+([\d.]+) x ([\d.]+) pts)").match(pdfInfo(file));
  EXPECT_TRUE(m.hasMatch());
  return {m.captured(1).toDouble(), m.captured(2).toDouble()};
}

int printToPdf(const ReportDocument& doc, const QString& file, int from, int to) {
  QPrinter printer(QPrinter::HighResolution);
  printer.setOutputFormat(QPrinter::PdfFormat);
  printer.setOutputFileName(file);
  return printReport(doc, printer, from, to, QDateTime(QDate(2026, 12, 11), QTime(9, 5, 7)));
}

class PrintedReport : public ::testing::Test {
 protected:
  PrintedReport() : grid(recordListGrid(100)) {
    doc.setMargins(5);
    layoutReportHeader(doc, {"Torvik 公司", "資料列表", "總數: 100"});
    layoutReportGrid(doc, grid, {50, 150, 5});
  }

  TempDir dir;
  StringGrid grid;
  ReportDocument doc;
};

// On portrait A4 the first page holds the caption and 43 records below the
// header, every further page the caption and 47 records from 15 mm down.
TEST_F(PrintedReport, PdfShowsHeaderCaptionsAndEachRecordOnItsPage) {
  ASSERT_EQ(doc.pageCount(), 3);
  const QString file = QString::fromStdString(dir.file("report.pdf"));
  EXPECT_EQ(printToPdf(doc, file, 1, 3), 3);

  const QString info = pdfInfo(file);
  EXPECT_TRUE(info.contains(QRegularExpression(R"(Pages:\s+3\b)"))) << info.toStdString();
  EXPECT_TRUE(info.contains("(A4)")) << info.toStdString();

  const int firstOnPage[] = {1, 44, 91, 101};
  for (int page = 1; page <= 3; ++page) {
    const QString text = pdfPageText(file, page);
    EXPECT_EQ(text.contains("Torvik 公司"), page == 1) << page;
    EXPECT_EQ(text.contains("資料列表"), page == 1) << page;
    EXPECT_TRUE(text.contains("名稱") && text.contains("備註")) << page;
    EXPECT_FALSE(text.contains("8194")) << "the key column is not printed";
    for (int i = 1; i <= 100; ++i) {
      const bool here = i >= firstOnPage[page - 1] && i < firstOnPage[page];
      EXPECT_EQ(text.contains(recordName(i)), here) << recordName(i).toStdString() << " page " << page;
      if (here) {
        EXPECT_TRUE(text.contains(QRegularExpression(recordRemark(i) + "\\b")));
      }
    }
  }
}

TEST_F(PrintedReport, RangeEndBeyondTheLastPageStopsThereAndFooterCountsPages) {
  doc.footer().visible = true;
  const QString file = QString::fromStdString(dir.file("range.pdf"));
  EXPECT_EQ(printToPdf(doc, file, 2, 99), 2);
  EXPECT_TRUE(pdfInfo(file).contains(QRegularExpression(R"(Pages:\s+2\b)")));

  const QString second = pdfPageText(file, 1);
  EXPECT_TRUE(second.contains(recordName(44)));
  // pdftotext spaces the words of a line by their distance, not exactly.
  EXPECT_TRUE(second.contains(QRegularExpression(R"(總 3 頁\s+第 2 頁\s+列印日期: 2026/12/11 09:05:07)")))
      << second.toStdString();
  EXPECT_TRUE(pdfPageText(file, 2).contains(QRegularExpression(R"(總 3 頁\s+第 3 頁)")));
}

TEST_F(PrintedReport, PaperAndOrientationReachThePrinter) {
  struct Case {
    Paper paper;
    bool landscape;
    QSizeF points;
  };
  const Case cases[] = {{Paper::Letter, false, {612, 792}},
                        {Paper::Legal, false, {612, 1008}},
                        {Paper::A5, true, {595.3, 419.5}}};
  const auto near = [](QSizeF a, QSizeF b) {
    return std::abs(a.width() - b.width()) < 1 && std::abs(a.height() - b.height()) < 1;
  };
  for (const Case& c : cases) {
    doc.setPaper(c.paper);
    doc.setLandscape(c.landscape);
    const QString file = QString::fromStdString(dir.file("paper.pdf"));
    ASSERT_EQ(printToPdf(doc, file, 1, 1), 1);
    EXPECT_TRUE(near(pdfPageSize(file), c.points)) << paperIndex(c.paper);
  }
  doc.setLandscape(false);
  doc.setCustomPage(150, 100);
  const QString file = QString::fromStdString(dir.file("custom.pdf"));
  ASSERT_EQ(printToPdf(doc, file, 1, 1), 1);
  EXPECT_TRUE(near(pdfPageSize(file), {425.2, 283.5}));
}

TEST_F(PrintedReport, StartBeyondTheEndPrintsNothing) {
  const QString file = QString::fromStdString(dir.file("none.pdf"));
  EXPECT_EQ(printToPdf(doc, file, 4, 9), 0);
  EXPECT_FALSE(QFile::exists(file));
}

}  // namespace
}  // namespace report
