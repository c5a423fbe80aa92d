// The record list "資料列表": every Record, or those whose name text contains
// the search text, in a grid; insert, change and delete through the record
// editor; printing through the report window; the grid's column widths kept
// in ColWidth rows of type 1 from one opening to the next.
//
// The grid's caption row is its horizontal header: grid row 0 in the sense of
// the printed report, fixed as soon as records stand below it. Table row r of
// the widget is record row r + 1. Column 0 holds the record's object
// identifier, the key by which update and delete find the record again; its
// width of 1 pixel keeps it out of sight.
#pragma once

#include "app/form.h"

class QAction;
class QFrame;
class QKeyEvent;
class QLabel;
class QLineEdit;
class QPushButton;
class QTableWidget;

class TRecordListForm : public TForm {
  Q_OBJECT

 public:
  // Reads the saved column widths (saving the defaults at the first opening)
  // and lists every record; the caller then shows the window modally.
  explicit TRecordListForm(QWidget* owner);

  QFrame* actionPanel;
  QPushButton* insertButton;
  QPushButton* updateButton;
  QPushButton* deleteButton;
  QPushButton* printButton;
  QPushButton* helpButton;
  QPushButton* closeButton;
  QLineEdit* name;  // the search text, system code page
  QPushButton* searchButton;
  QLabel* total;
  QTableWidget* grid;

  QAction* insertAction;  // F2
  QAction* updateAction;  // F3
  QAction* deleteAction;  // F4
  QAction* printAction;   // F11
  QAction* helpAction;    // F1
  QAction* closeAction;   // Esc

  // Every way of closing the window ends here, after FormClose.
  void done(int result) override;

 private:
  void insertActionExecute();
  void updateActionExecute();
  void deleteActionExecute();
  void printActionExecute();
  void helpActionExecute();
  void closeActionExecute();
  void searchButtonClick();
  // Enter refreshes the list; true when the key is discarded.
  bool searchKeyPress(const QKeyEvent* key);
  // Enter changes the selected record; the key goes on to the grid.
  void gridKeyPress(const QKeyEvent* key);
  // A double click anywhere on the grid, on a record or not.
  void gridDblClick();
  void FormClose();

  // Takes the keys of the search box and of the grid, and the double clicks
  // beside the grid's cells, to the handlers above.
  bool eventFilter(QObject* watched, QEvent* event) override;

  // Lists the records whose name text contains the trimmed search text, all
  // of them for an empty one, then commits.
  void fillGrid();
  // The widget row at the top of the selection, -1 when no record is selected.
  int selectedRow() const;
  // The object identifier in column 0 of a widget row.
  unsigned recordIdAt(int row) const;
};
