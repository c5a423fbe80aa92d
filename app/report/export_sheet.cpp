#include "app/report/export_sheet.h"

#include <cmath>

namespace report {

namespace {

bool visibleColumn(const ReportGrid& grid, int column) {
  return grid.columnWidth(column) > kHiddenColumnWidth;
}

}  // namespace

int exportTextBoundary(const ReportGrid& grid, int lastTextColumn) {
  int hidden = 0;
  for (int c = 0; c <= lastTextColumn && c < grid.columnCount(); ++c)
    if (!visibleColumn(grid, c)) ++hidden;
  return lastTextColumn > hidden ? lastTextColumn - hidden : lastTextColumn;
}

ExportSheet buildExportSheet(const ReportGrid& grid, const ReportHeader& header, int lastTextColumn) {
  ExportSheet sheet;
  sheet.columnCount = grid.columnCount();
  sheet.columnWidths.assign(sheet.columnCount, kDefaultSheetColumnWidth);
  sheet.lastTextColumn = exportTextBoundary(grid, lastTextColumn);

  const std::vector<QString> emptyRow(sheet.columnCount);
  for (const QString& text : {header.title, header.subtitle, header.summary}) {
    if (text.isEmpty()) continue;
    std::vector<QString>& row = sheet.rows.emplace_back(emptyRow);
    if (sheet.columnCount > 0) row[0] = text;
  }
  if (!sheet.rows.empty()) sheet.rows.insert(sheet.rows.end(), 2, emptyRow);

  for (int r = 0; r < grid.rowCount(); ++r) {
    std::vector<QString>& row = sheet.rows.emplace_back(emptyRow);
    int to = 0;
    for (int c = 0; c < grid.columnCount(); ++c) {
      if (!visibleColumn(grid, c)) continue;
      row[to] = grid.cell(c, r);
      sheet.columnWidths[to] = grid.columnWidth(c);
      ++to;
    }
  }
  return sheet;
}

std::optional<double> readNumber(const QString& text) {
  bool ok = false;
  const double value = text.trimmed().toDouble(&ok);
  if (!ok || !std::isfinite(value)) return std::nullopt;
  return value;
}

}  // namespace report
