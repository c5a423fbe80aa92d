#include "app/report/report_grid.h"

#include <QTableWidget>

namespace report {

StringGrid::StringGrid(int columns, int rows, int defaultColumnWidth, int defaultRowHeight)
    : widths_(columns, defaultColumnWidth),
      cells_(rows, std::vector<QString>(columns)),
      rowHeight_(defaultRowHeight) {}

void StringGrid::setRow(int row, const std::vector<QString>& texts) {
  std::vector<QString>& cells = cells_.at(row);
  for (size_t c = 0; c < cells.size(); ++c) cells[c] = c < texts.size() ? texts[c] : QString();
}

int TableWidgetGrid::columnCount() const { return table_.columnCount(); }
int TableWidgetGrid::rowCount() const { return table_.rowCount(); }
int TableWidgetGrid::columnWidth(int column) const { return table_.columnWidth(column); }
int TableWidgetGrid::rowHeight(int row) const { return table_.rowHeight(row); }
QFont TableWidgetGrid::font() const { return table_.font(); }

QString TableWidgetGrid::cell(int column, int row) const {
  const QTableWidgetItem* item = table_.item(row, column);
  return item ? item->text() : QString();
}

}  // namespace report
