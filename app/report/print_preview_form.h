// The report window "列印報表": shows a report's pages one at a time, zooms,
// moves between pages, chooses printer, paper and page range, prints, and
// exports the printed grid. A caller draws the header with printHeader, lays
// a grid out with printGrid and shows the window modally.
//
// The window reaches the rest of the program only through the functions it
// is given: the two message functions, the store of its saved paper setup,
// and (replaceable, so that the window runs without a printer or a desktop)
// the printer factory, the export file dialog and the opening of a file.
#pragma once

#include <QDialog>

#include <functional>
#include <memory>
#include <optional>

#include "app/report/report_document.h"
#include "app/report/report_grid.h"

class QAction;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPrinter;
class QPushButton;
class QScrollArea;
class QStatusBar;

namespace report {
class PagePreview;
}

namespace report {

// The paper choice the window remembers between showings; its caller keeps
// it (the program in its table PrintPreviewSetup).
struct PrintPreviewSetup {
  int pageSize = 1;  // index of the paper list
  double pageHeight = 297, pageWidth = 210;
};

}  // namespace report

class TPrintPreviewForm : public QDialog {
  Q_OBJECT

 public:
  using ShowMessage = std::function<void(const QString& text, QWidget* owner)>;
  using AskYesNo = std::function<bool(const QString& text, QWidget* owner, bool yesFirst)>;

  TPrintPreviewForm(QWidget* owner, ShowMessage showMessage, AskYesNo askYesNo);
  ~TPrintPreviewForm() override;

  // The pages; the caller may choose the orientation before printHeader.
  report::ReportDocument& preview() { return document; }

  void printHeader(const QString& title, const QString& subtitle, const QString& summary);
  // Lays `grid` out from (left, top) pixels. The window keeps a reference to
  // `grid` for the export: it must outlive the window.
  void printGrid(const report::ReportGrid& grid, int left, int top, int lastTextColumn);

  // Takes a saved setup as the window's paper choice.
  void loadSetup(const report::PrintPreviewSetup& setup);
  // The setup to save: the paper chosen and the numbers in the size boxes
  // (commas ignored, an empty box counting 0). None when a box holds no number.
  std::optional<report::PrintPreviewSetup> currentSetup() const;

  // Run by FormClose with currentSetup(), when there is one.
  std::function<void(const report::PrintPreviewSetup&)> saveSetup;
  // The printer for an index of the printer list (-1: the system's default).
  std::function<std::unique_ptr<QPrinter>(int printerIndex)> makePrinter;
  // The export's file dialog (empty text: cancelled) and the shell's "open".
  std::function<QString()> chooseExportFile;
  std::function<void(const QString& file)> openFile;

  QPushButton *uFirst, *uPrevious, *uNext, *uLast;
  QPushButton *zoomIn, *zoomOut, *printCurrentButton;
  QComboBox* printer;
  QLineEdit *fromPage, *toPage;
  QComboBox* pageSize;
  QLineEdit *pageHeight, *pageWidth;
  QCheckBox* printFooter;
  QPushButton *printButton, *exportButton, *Button1;
  QAction* NoAction;
  QStatusBar* StatusBar1;
  QLabel *pageCountPanel, *currentPagePanel;
  report::PagePreview* GmPreview1;

 public slots:
  void FormShow();
  void FormClose();
  void zoomInClick();
  void zoomOutClick();
  void uFirstClick();
  void uPreviousClick();
  void uNextClick();
  void uLastClick();
  void printButtonClick();
  void printCurrentButtonClick();
  void fromPageKeyPress();
  void pageSizeChange();
  void pageHeightKeyPress();
  void printFooterClick();
  void NoActionExecute();
  void exportButtonClick();

 protected:
  void showEvent(QShowEvent* event) override;
  void done(int result) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void buildLayout();
  void fillPrinterList();
  void setNavigation(bool toFirst, bool toLast);
  void showCurrentPage();
  void printPages(int from, int to);
  void setSizeBoxesEditable(bool editable);

  ShowMessage showMessage;
  AskYesNo askYesNo;
  report::ReportDocument document;
  QString reportTitle, reportSubtitle, reportSummary;
  const report::ReportGrid* printedGrid = nullptr;
  int lastTextColumn = -1;
  QScrollArea* scroller;
  bool shown = false;
};
