#include "app/report/report_grid.h"

#include <QHeaderView>
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
int TableWidgetGrid::columnWidth(int column) const { return table_.columnWidth(column); }
QFont TableWidgetGrid::font() const { return table_.font(); }

int TableWidgetGrid::rowCount() const {
  return table_.rowCount() + (captions_ == Captions::InHeader ? 1 : 0);
}

int TableWidgetGrid::fixedRowCount() const {
  if (captions_ == Captions::InRows) return fixedRows_;
  return table_.rowCount() > 0 ? 1 : 0;
}

int TableWidgetGrid::rowHeight(int row) const {
  const int r = tableRow(row);
  return r < 0 ? table_.verticalHeader()->defaultSectionSize() : table_.rowHeight(r);
}

QString TableWidgetGrid::cell(int column, int row) const {
  const int r = tableRow(row);
  const QTableWidgetItem* item = r < 0 ? table_.horizontalHeaderItem(column) : table_.item(r, column);
  return item ? item->text() : QString();
}

}  // namespace report
