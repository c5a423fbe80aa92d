#include <QImage>
#include <QHeaderView>
#include <QPainter>
#include <QTableWidget>

#include <gtest/gtest.h>

#include "app/report/page_painter.h"
#include "app/report/report_canvas.h"
#include "app/report/report_layout.h"
#include "app/report/report_units.h"
#include "tests/app/report/report_fixtures.h"

namespace report {
namespace {

using testing::recordListGrid;
using testing::recordName;

template <typename Op>
std::vector<Op> opsOf(const ReportPage& page) {
  std::vector<Op> out;
  for (const PageOp& op : page.ops)
    if (const auto* o = std::get_if<Op>(&op)) out.push_back(*o);
  return out;
}

constexpr double kTolerance = 1e-6;

struct HeaderCase {
  const char* title;
  const char* subtitle;
  const char* summary;
  std::vector<std::pair<double, double>> textYAndSize;  // pixels, points
  double firstRule;                                      // pixels
};

class ReportHeaderTest : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(ReportHeaderTest, TextsCentredAtTheirHeightsAndRulesBelow) {
  const HeaderCase& c = GetParam();
  ReportDocument doc;
  doc.setLandscape(true);
  layoutReportHeader(doc, {c.title, c.subtitle, c.summary});

  ASSERT_EQ(doc.pageCount(), 1);
  const auto texts = opsOf<TextOp>(doc.page(0));
  ASSERT_EQ(texts.size(), c.textYAndSize.size());
  for (size_t i = 0; i < texts.size(); ++i) {
    const ReportFont& font = doc.fonts()[texts[i].font];
    EXPECT_NEAR(texts[i].at.y(), pixelsToMm(c.textYAndSize[i].first), kTolerance) << i;
    EXPECT_EQ(font.pointSize, c.textYAndSize[i].second) << i;
    EXPECT_EQ(font.family, reportTypeface());
    EXPECT_NEAR(texts[i].at.x() + textWidth(font, texts[i].text) / 2, doc.pageWidth() / 2, kTolerance);
  }

  const auto rules = opsOf<LineOp>(doc.page(0));
  ASSERT_EQ(rules.size(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    const double y = pixelsToMm(c.firstRule + 5 * i);
    EXPECT_NEAR(rules[i].from.y(), y, kTolerance);
    EXPECT_NEAR(rules[i].to.y(), y, kTolerance);
    EXPECT_NEAR(rules[i].from.x(), pixelsToMm(50), kTolerance);
    EXPECT_NEAR(rules[i].to.x(), doc.pageWidth() - pixelsToMm(50), kTolerance);
    EXPECT_EQ(rules[i].color, QColor(Qt::black));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Lines, ReportHeaderTest,
    ::testing::Values(
        HeaderCase{"公司", "資料列表", "總數: 2", {{50, 18}, {75, 14}, {100, 12}}, 120},
        HeaderCase{"公司", "資料列表", "  ", {{50, 18}, {75, 14}}, 100},
        HeaderCase{"公司", "", "總數: 2", {{50, 18}, {100, 12}}, 80},
        HeaderCase{"公司", " \t", "", {{50, 18}}, 80}));

// All grid cells laid out, as (page, text, rect, alignment).
struct PlacedCell {
  int page;
  BoxOp box;
};

std::vector<PlacedCell> placedCells(const ReportDocument& doc) {
  std::vector<PlacedCell> cells;
  for (int p = 0; p < doc.pageCount(); ++p)
    for (const BoxOp& box : opsOf<BoxOp>(doc.page(p))) cells.push_back({p, box});
  return cells;
}

ReportDocument landscapeReport(const ReportGrid& grid, int lastTextColumn) {
  ReportDocument doc;
  doc.setMargins(5);
  doc.setLandscape(true);
  layoutReportHeader(doc, {"公司", "資料列表", "總數"});
  layoutReportGrid(doc, grid, {50, 150, lastTextColumn});
  return doc;
}

TEST(ReportGridLayout, FlowsOverPagesWithTheCaptionRowRepeated) {
  const StringGrid grid = recordListGrid(200);
  const ReportDocument doc = landscapeReport(grid, 5);
  ASSERT_GT(doc.pageCount(), 2);

  const double rowHeight = pixelsToMm(21);
  const double bottom = doc.pageHeight() - 5 - 5;
  int nextRecord = 1;
  for (int p = 0; p < doc.pageCount(); ++p) {
    const auto boxes = opsOf<BoxOp>(doc.page(p));
    ASSERT_GE(boxes.size(), 4u);
    // Every page opens with the caption row: at 150 px on the first, 15 mm on the others.
    EXPECT_EQ(boxes[0].text, "名稱");
    EXPECT_EQ(boxes[1].text, "備註");
    EXPECT_NEAR(boxes[0].rect.top(), p == 0 ? pixelsToMm(150) : 15.0, kTolerance) << p;
    // The hidden key column takes no room: 名稱 starts at the grid's left edge.
    EXPECT_NEAR(boxes[0].rect.left(), pixelsToMm(50 + kCellPadding), kTolerance);
    EXPECT_NEAR(boxes[1].rect.left(), pixelsToMm(150 + kCellPadding), kTolerance);
    for (size_t i = 2; i < boxes.size(); i += 2) {
      EXPECT_EQ(boxes[i].text, recordName(nextRecord)) << "page " << p;
      EXPECT_NEAR(boxes[i].rect.top(), boxes[0].rect.top() + rowHeight * (i / 2), 1e-9);
      EXPECT_LE(boxes[i].rect.bottom(), bottom + kTolerance);
      ++nextRecord;
    }
    // A page is only left when the next row would cross the cut-off.
    if (p + 1 < doc.pageCount()) {
      EXPECT_GT(boxes.back().rect.bottom() + rowHeight, bottom);
    }
  }
  EXPECT_EQ(nextRecord, 201);
  for (const PlacedCell& cell : placedCells(doc)) EXPECT_FALSE(cell.box.text.startsWith("8")) << cell.box.text.toStdString();
}

TEST(ReportGridLayout, WithoutFixedRowsTheCaptionPrintsOnce) {
  StringGrid grid = recordListGrid(100);
  grid.setFixedRowCount(0);
  const ReportDocument doc = landscapeReport(grid, 5);
  ASSERT_GT(doc.pageCount(), 1);
  int captions = 0;
  for (const PlacedCell& cell : placedCells(doc)) captions += cell.box.text == "名稱";
  EXPECT_EQ(captions, 1);
  EXPECT_EQ(opsOf<BoxOp>(doc.page(1)).front().text, recordName(28));
  EXPECT_NEAR(opsOf<BoxOp>(doc.page(1)).front().rect.top(), 15.0, kTolerance);
}

TEST(ReportGridLayout, KeyColumnOfFivePixelsPrints) {
  const StringGrid grid = recordListGrid(1, 5);
  const ReportDocument doc = landscapeReport(grid, 5);
  const auto boxes = opsOf<BoxOp>(doc.page(0));
  ASSERT_EQ(boxes.size(), 6u);
  EXPECT_EQ(boxes[0].text, "ID");
  EXPECT_EQ(boxes[3].text, "8194");
  EXPECT_NEAR(boxes[1].rect.left(), pixelsToMm(55 + kCellPadding), kTolerance);
}

TEST(ReportGridLayout, ColumnsAfterTheLastTextColumnAreRightAligned) {
  StringGrid grid(4, 2, 80);
  grid.setRow(0, {"代號", "名稱", "金額", "數量"});
  grid.setRow(1, {"001", "甲", "1,234.50", "3"});
  for (int lastText : {1, -1}) {
    ReportDocument doc;
    layoutReportGrid(doc, grid, {50, 150, lastText});
    const auto boxes = opsOf<BoxOp>(doc.page(0));
    ASSERT_EQ(boxes.size(), 8u);
    for (const BoxOp& box : boxes) {
      const int column = static_cast<int>(&box - boxes.data()) % 4;
      const bool number = lastText == 1 && column >= 2;
      EXPECT_EQ(box.alignment, number ? (Qt::AlignRight | Qt::AlignVCenter) : (Qt::AlignLeft | Qt::AlignTop))
          << "column " << column << " lastText " << lastText;
    }
    EXPECT_EQ(boxes[6].text, "1,234.50");  // taken unchanged
  }
}

TEST(ReportGridLayout, ARowHigherThanAPageStillGoesOnOne) {
  StringGrid grid(1, 3, 100, 2000);
  for (int r = 0; r < 3; ++r) grid.setCell(0, r, QString::number(r));
  ReportDocument doc;
  layoutReportGrid(doc, grid, {50, 150, -1});
  ASSERT_EQ(doc.pageCount(), 3);
  for (int p = 0; p < 3; ++p) EXPECT_EQ(opsOf<BoxOp>(doc.page(p)).at(0).text, QString::number(p));
}

TEST(ReportGridLayout, BreakAmongFixedRowsPrintsEachOnce) {
  StringGrid grid(1, 4, 100, 500);  // rows of 132 mm: one below the header, two further down
  for (int r = 0; r < 4; ++r) grid.setCell(0, r, QString::number(r));
  grid.setFixedRowCount(2);
  ReportDocument doc;
  layoutReportGrid(doc, grid, {50, 150, -1});
  std::vector<std::vector<QString>> pages;
  for (int p = 0; p < doc.pageCount(); ++p) {
    auto& texts = pages.emplace_back();
    for (const BoxOp& box : opsOf<BoxOp>(doc.page(p))) texts.push_back(box.text);
  }
  EXPECT_EQ(pages, (std::vector<std::vector<QString>>{{"0"}, {"1", "2"}, {"0", "1", "3"}}));
}

TEST(ReportGridLayout, TenThousandRowsLayOutAndAnyPagePaints) {
  const StringGrid grid = recordListGrid(10000);
  const ReportDocument doc = landscapeReport(grid, 5);
  size_t cells = 0;
  for (const PlacedCell& cell : placedCells(doc)) cells += cell.box.text.startsWith("rec-");
  EXPECT_EQ(cells, 10000u);

  QImage image(400, 300, QImage::Format_RGB32);
  image.fill(Qt::white);
  QPainter painter(&image);
  paintPage(painter, doc, doc.pageCount() - 1, QRectF(0, 0, 400, 300), QDateTime::currentDateTime());
  painter.end();
  bool inked = false;
  for (int y = 0; y < image.height() && !inked; ++y)
    for (int x = 0; x < image.width() && !inked; ++x) inked = image.pixel(x, y) != qRgb(255, 255, 255);
  EXPECT_TRUE(inked);
}

TEST(ReportGridLayout, TableWidgetGridIsLaidOutLikeItsCells) {
  QTableWidget table(3, 3);
  table.horizontalHeader()->setMinimumSectionSize(1);  // lets the key column be 1 pixel wide
  const int widths[] = {1, 120, 80};
  for (int c = 0; c < 3; ++c) table.setColumnWidth(c, widths[c]);
  table.setRowHeight(1, 30);
  const char* texts[3][3] = {{"ID", "名稱", "金額"}, {"8194", "甲", "12.5"}, {"8195", "乙", ""}};
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c)
      if (*texts[r][c]) table.setItem(r, c, new QTableWidgetItem(texts[r][c]));
  QFont font(reportTypeface());
  font.setPointSize(11);
  table.setFont(font);

  const TableWidgetGrid grid(table, TableWidgetGrid::Captions::InRows, 1);
  EXPECT_EQ(grid.columnCount(), 3);
  EXPECT_EQ(grid.rowCount(), 3);
  EXPECT_EQ(grid.fixedRowCount(), 1);
  EXPECT_EQ(grid.columnWidth(0), 1);
  EXPECT_EQ(grid.columnWidth(1), 120);
  EXPECT_EQ(grid.rowHeight(1), 30);
  EXPECT_EQ(grid.cell(1, 2), "乙");
  EXPECT_EQ(grid.cell(2, 2), "");

  ReportDocument doc;
  layoutReportGrid(doc, grid, {50, 150, 1});
  const auto boxes = opsOf<BoxOp>(doc.page(0));
  ASSERT_EQ(boxes.size(), 5u);
  EXPECT_EQ(boxes[2].text, "甲");
  EXPECT_EQ(boxes[3].text, "12.5");
  EXPECT_EQ(boxes[3].alignment, Qt::AlignRight | Qt::AlignVCenter);
  EXPECT_NEAR(boxes[3].rect.left(), pixelsToMm(170 + kCellPadding), kTolerance);
  EXPECT_NEAR(boxes[3].rect.height(), pixelsToMm(30), kTolerance);
  EXPECT_EQ(boxes[4].rect.top(), boxes[2].rect.bottom());
  EXPECT_EQ(doc.fonts()[boxes[2].font], (ReportFont{reportTypeface(), 11, false}));
}

TEST(ReportGridLayout, TableWidgetHeaderIsTheCaptionRow) {
  QTableWidget table(0, 2);
  table.setHorizontalHeaderLabels({"名稱", "備註"});
  table.verticalHeader()->setDefaultSectionSize(21);
  const TableWidgetGrid grid(table);
  EXPECT_EQ(grid.rowCount(), 1);
  EXPECT_EQ(grid.fixedRowCount(), 0);  // no records: the caption row is not fixed
  EXPECT_EQ(grid.cell(1, 0), "備註");

  table.setRowCount(60);
  for (int r = 0; r < 60; ++r) table.setItem(r, 0, new QTableWidgetItem(recordName(r + 1)));
  EXPECT_EQ(grid.rowCount(), 61);
  EXPECT_EQ(grid.fixedRowCount(), 1);
  EXPECT_EQ(grid.rowHeight(0), 21);
  EXPECT_EQ(grid.cell(0, 1), recordName(1));

  ReportDocument doc;
  doc.setMargins(5);
  layoutReportGrid(doc, grid, {50, 150, -1});
  ASSERT_EQ(doc.pageCount(), 2);
  EXPECT_EQ(opsOf<BoxOp>(doc.page(1)).at(0).text, "名稱");
  EXPECT_EQ(opsOf<BoxOp>(doc.page(1)).at(2).text, recordName(44));
}

struct PaperCase {
  Paper paper;
  double width, height;
};

TEST(ReportPaper, SizesInMillimetres) {
  const PaperCase cases[] = {{Paper::A3, 297, 420},     {Paper::A4, 210, 297},
                             {Paper::A5, 148, 210},     {Paper::A6, 105, 148},
                             {Paper::Letter, 215.9, 279.4}, {Paper::Legal, 215.9, 355.6}};
  for (const PaperCase& c : cases) {
    ReportDocument doc;
    doc.setPaper(c.paper);
    EXPECT_EQ(doc.paper(), c.paper);
    EXPECT_DOUBLE_EQ(doc.pageWidth(), c.width);
    EXPECT_DOUBLE_EQ(doc.pageHeight(), c.height);
    doc.setLandscape(true);
    EXPECT_DOUBLE_EQ(doc.pageWidth(), c.height);
    EXPECT_DOUBLE_EQ(doc.pageHeight(), c.width);
  }
  EXPECT_EQ(paperNames(), QStringList({"A3", "A4", "A5", "A6", "B5", "C5", "Letter", "Legal", "自定"}));
  EXPECT_EQ(paperFromIndex(8), Paper::Custom);
  EXPECT_EQ(paperFromIndex(9), Paper::A4);
}

TEST(ReportPaper, CustomSizeKeepsWhatItIsGiven) {
  ReportDocument doc;
  doc.setPaper(Paper::A5);
  doc.setPaper(Paper::Custom);  // the present size stays until one is typed
  EXPECT_DOUBLE_EQ(doc.pageHeight(), 210);
  doc.setCustomPage(150, 100);
  EXPECT_EQ(doc.paper(), Paper::Custom);
  EXPECT_DOUBLE_EQ(doc.pageWidth(), 150);
  EXPECT_DOUBLE_EQ(doc.pageHeight(), 100);
  doc.setLandscape(true);
  doc.setCustomPage(150, 100);
  EXPECT_DOUBLE_EQ(doc.pageWidth(), 150);
  EXPECT_DOUBLE_EQ(doc.pageHeight(), 100);
  EXPECT_EQ(doc.paperSize(), QSizeF(100, 150));
  EXPECT_THROW(doc.setCustomPage(0, 100), std::invalid_argument);
  EXPECT_THROW(doc.setCustomPage(100, -1), std::invalid_argument);
}

TEST(ReportFooterCaption, HiddenAtFirstAndExpandsItsFields) {
  ReportDocument doc;
  EXPECT_FALSE(doc.footer().visible);
  EXPECT_EQ(doc.footer().caption, "總 {NUMPAGES} 頁   第 {PAGE} 頁  列印日期: {DATE} {TIME}");
  EXPECT_DOUBLE_EQ(doc.footer().font.pointSize, 9.75);  // 13 pixels
  EXPECT_EQ(expandFooterCaption(doc.footer().caption, 2, 7, "2026/12/11", "11:30:00"),
            "總 7 頁   第 2 頁  列印日期: 2026/12/11 11:30:00");
}

}  // namespace
}  // namespace report
