#include "app/report/report_layout.h"

#include <vector>

#include "app/report/report_canvas.h"
#include "app/report/report_units.h"

namespace report {

void layoutReportHeader(ReportDocument& doc, const ReportHeader& header) {
  ReportCanvas canvas(doc, 0);
  const auto centred = [&](const QString& text, double size, double y) {
    canvas.setFont({reportTypeface(), size, false});
    canvas.textOut((doc.pageWidth() - canvas.textWidth(text)) / 2, pixelsToMm(y), text);
  };
  const bool subtitle = !header.subtitle.trimmed().isEmpty();
  const bool summary = !header.summary.trimmed().isEmpty();

  centred(header.title, kTitleSize, kTitleY);
  if (subtitle) centred(header.subtitle, kSubtitleSize, kSubtitleY);
  if (summary) centred(header.summary, kSummarySize, kSummaryY);

  const double ruleY = subtitle && summary ? 120 : subtitle ? 100 : 80;
  canvas.setPen(Qt::black, pixelsToMm(1));
  const double x1 = pixelsToMm(kRuleInset), x2 = doc.pageWidth() - pixelsToMm(kRuleInset);
  for (double y : {ruleY, ruleY + 5}) canvas.line(x1, pixelsToMm(y), x2, pixelsToMm(y));
}

namespace {

ReportFont gridFont(const ReportGrid& grid) {
  const QFont font = grid.font();
  const double size = font.pointSizeF() > 0 ? font.pointSizeF() : pixelsToPoints(font.pixelSize());
  return {font.family(), size, font.bold()};
}

}  // namespace

void layoutReportGrid(ReportDocument& doc, const ReportGrid& grid, const GridPlacement& placement) {
  const int columns = grid.columnCount();
  const int lastText = placement.lastTextColumn < 0 ? columns - 1 : placement.lastTextColumn;

  // Left edge and width of every column in millimetres; the hidden key
  // column gets no width, so it is neither drawn nor takes room.
  std::vector<double> left(columns), width(columns);
  double x = pixelsToMm(placement.left);
  for (int c = 0; c < columns; ++c) {
    const int px = grid.columnWidth(c);
    width[c] = c == 0 && px < kHiddenColumnWidth ? 0 : pixelsToMm(px);
    left[c] = x;
    x += width[c];
  }

  const int font = doc.fontIndex(gridFont(grid));
  const double padding = pixelsToMm(kCellPadding);
  const double bottom = doc.pageHeight() - doc.margins().bottom - placement.cutOff;
  const Qt::Alignment textAlign = Qt::AlignLeft | Qt::AlignTop;
  const Qt::Alignment numberAlign = Qt::AlignRight | Qt::AlignVCenter;

  int page = 0;
  double y = pixelsToMm(placement.top);
  int rowsOnPage = 0;  // rows of this page other than repeated fixed rows

  const auto placeRow = [&](int row) {
    const double h = pixelsToMm(grid.rowHeight(row));
    std::vector<PageOp>& ops = doc.page(page).ops;
    for (int c = 0; c < columns; ++c) {
      if (width[c] <= 0) continue;
      QString text = grid.cell(c, row);
      if (text.isEmpty()) continue;
      const QRectF rect(left[c] + padding, y, std::max(width[c] - 2 * padding, 0.0), h);
      ops.push_back(BoxOp{rect, font, c <= lastText ? textAlign : numberAlign, std::move(text)});
    }
    y += h;
  };

  const int fixedRows = std::min(grid.fixedRowCount(), grid.rowCount());
  for (int row = 0; row < grid.rowCount(); ++row) {
    const double h = pixelsToMm(grid.rowHeight(row));
    if (y + h > bottom && rowsOnPage > 0) {
      doc.addPage();
      page = doc.pageCount() - 1;
      y = placement.continuationTop;
      rowsOnPage = 0;
      // Fixed rows repeat above the body rows; a break among the fixed rows
      // themselves just carries on with them.
      if (row >= fixedRows)
        for (int fixed = 0; fixed < fixedRows; ++fixed) placeRow(fixed);
    }
    placeRow(row);
    ++rowsOnPage;
  }
}

}  // namespace report
