// Grids shaped like the record list's: a hidden key column, captions in a
// fixed row 0, and numbered records below.
#pragma once

#include <QString>

#include "app/report/report_grid.h"

namespace report::testing {

// Columns "ID" (1 px), "名稱" (100), "備註" (200) and two empty ones (300, 400);
// record i (1-based) is named "rec-" + three digits and remarked "備註" + i.
inline QString recordName(int i) { return QStringLiteral("rec-%1").arg(i, 3, 10, QChar(u'0')); }
inline QString recordRemark(int i) { return QStringLiteral("備註%1").arg(i); }

inline StringGrid recordListGrid(int records, int keyWidth = 1) {
  StringGrid grid(5, records + 1);
  const int widths[] = {keyWidth, 100, 200, 300, 400};
  for (int c = 0; c < 5; ++c) grid.setColumnWidth(c, widths[c]);
  grid.setRow(0, {"ID", "名稱", "備註"});
  for (int i = 1; i <= records; ++i)
    grid.setRow(i, {QString::number(8193 + i), recordName(i), recordRemark(i)});
  if (records > 0) grid.setFixedRowCount(1);
  return grid;
}

}  // namespace report::testing
