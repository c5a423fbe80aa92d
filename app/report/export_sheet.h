// The working sheet of an export: the report's header texts above the
// visible columns of its grid, and which of those columns hold numbers.
#pragma once

#include <QString>

#include <optional>
#include <vector>

#include "app/report/report_grid.h"
#include "app/report/report_layout.h"

namespace report {

// Width given to sheet columns that receive no grid column.
inline constexpr int kDefaultSheetColumnWidth = 64;

struct ExportSheet {
  int columnCount = 0;
  std::vector<int> columnWidths;           // pixels, one per column
  std::vector<std::vector<QString>> rows;  // columnCount texts each
  int lastTextColumn = -1;                 // later columns are numbers; -1: none are

  bool isNumberColumn(int column) const { return lastTextColumn != -1 && column > lastTextColumn; }
};

// The boundary between text and number columns once the hidden columns
// (width kHiddenColumnWidth or less) are packed out: lowered by the hidden
// columns at or left of it, unless that would not leave it above zero, in
// which case it stays as given.
int exportTextBoundary(const ReportGrid& grid, int lastTextColumn);

// Rows from the top: one per non-empty header text (title, subtitle,
// summary) in column 0; two empty rows when there was any; then every grid
// row, caption row included, with its visible columns packed to the left and
// empty texts in the places freed at the right. Each copied column takes the
// width of its grid column.
ExportSheet buildExportSheet(const ReportGrid& grid, const ReportHeader& header, int lastTextColumn);

// The value of a text that reads as a finite decimal number, blanks around
// it allowed.
std::optional<double> readNumber(const QString& text);

}  // namespace report
