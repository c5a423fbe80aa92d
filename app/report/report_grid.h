// The string grid a report prints and exports, seen read-only: its columns
// and rows in pixels, its fixed (caption) rows at the top, its cell texts and
// its font. The record list's table and plain in-memory grids both serve.
#pragma once

#include <QFont>
#include <QString>

#include <vector>

class QTableWidget;

namespace report {

class ReportGrid {
 public:
  virtual ~ReportGrid() = default;
  virtual int columnCount() const = 0;
  virtual int rowCount() const = 0;
  virtual int fixedRowCount() const = 0;
  virtual int columnWidth(int column) const = 0;  // pixels
  virtual int rowHeight(int row) const = 0;       // pixels
  virtual QString cell(int column, int row) const = 0;
  virtual QFont font() const = 0;
};

// A grid held in memory; every row is `defaultRowHeight` high.
class StringGrid : public ReportGrid {
 public:
  StringGrid(int columns, int rows, int defaultColumnWidth = 64, int defaultRowHeight = 21);

  int columnCount() const override { return static_cast<int>(widths_.size()); }
  int rowCount() const override { return static_cast<int>(cells_.size()); }
  int fixedRowCount() const override { return fixedRows_; }
  int columnWidth(int column) const override { return widths_.at(column); }
  int rowHeight(int) const override { return rowHeight_; }
  QString cell(int column, int row) const override { return cells_.at(row).at(column); }
  QFont font() const override { return font_; }

  void setFixedRowCount(int rows) { fixedRows_ = rows; }
  void setColumnWidth(int column, int width) { widths_.at(column) = width; }
  void setCell(int column, int row, const QString& text) { cells_.at(row).at(column) = text; }
  void setRow(int row, const std::vector<QString>& texts);
  void setFont(const QFont& font) { font_ = font; }

 private:
  std::vector<int> widths_;
  std::vector<std::vector<QString>> cells_;
  int fixedRows_ = 0;
  int rowHeight_;
  QFont font_;
};

// A QTableWidget as a report grid. Its captions are either in its first
// rows, of which the first `fixedRows` are fixed, or in its horizontal
// header, which then becomes grid row 0: a caption row that is fixed as soon
// as records stand below it.
class TableWidgetGrid : public ReportGrid {
 public:
  enum class Captions { InRows, InHeader };

  explicit TableWidgetGrid(const QTableWidget& table, Captions captions = Captions::InHeader,
                           int fixedRows = 0)
      : table_(table), captions_(captions), fixedRows_(fixedRows) {}

  int columnCount() const override;
  int rowCount() const override;
  int fixedRowCount() const override;
  int columnWidth(int column) const override;
  int rowHeight(int row) const override;
  QString cell(int column, int row) const override;
  QFont font() const override;

 private:
  // The table row of a grid row, -1 for the header.
  int tableRow(int row) const { return captions_ == Captions::InHeader ? row - 1 : row; }

  const QTableWidget& table_;
  Captions captions_;
  int fixedRows_;
};

}  // namespace report
