// Lays a report out on its pages: the three-line header on the first page,
// then a string grid flowing over as many pages as it needs.
#pragma once

#include <QString>

#include "app/report/report_document.h"
#include "app/report/report_grid.h"

namespace report {

struct ReportHeader {
  QString title, subtitle, summary;
};

// Heights in pixels of the header texts and rules.
inline constexpr double kTitleY = 50, kSubtitleY = 75, kSummaryY = 100;
inline constexpr double kTitleSize = 18, kSubtitleSize = 14, kSummarySize = 12;
inline constexpr double kRuleInset = 50;

// Draws the header on the first page: the title always, the subtitle and the
// summary when they hold more than blanks, each centred at its fixed height,
// and two black rules below the lowest line that belongs with the subtitle.
void layoutReportHeader(ReportDocument& document, const ReportHeader& header);

struct GridPlacement {
  double left = 0, top = 0;     // pixels, on the first page
  int lastTextColumn = -1;      // later columns are numbers; -1: no number columns
  double cutOff = 5;            // millimetres kept free above the bottom margin
  double continuationTop = 15;  // millimetres, top of the grid on later pages
};

// Grid columns narrower than this many pixels are hidden key columns.
inline constexpr int kHiddenColumnWidth = 5;
// Space between a cell's edge and its text, in pixels.
inline constexpr double kCellPadding = 2;

// Lays `grid` out from the placement's point on the first page onwards,
// adding pages as needed; the fixed rows repeat at the top of every further
// page. Column 0 takes no room when it is narrower than kHiddenColumnWidth.
// Text columns are left/top aligned, number columns right-aligned and
// vertically centred; the cell texts are taken unchanged and cells have no
// visible border. Each page takes at least one grid row, so a row higher
// than a page still goes on one. Runs in time linear in the cells.
void layoutReportGrid(ReportDocument& document, const ReportGrid& grid, const GridPlacement& placement);

}  // namespace report
