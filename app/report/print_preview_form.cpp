#include "app/report/print_preview_form.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPrinter>
#include <QPrinterInfo>
#include <QPushButton>
#include <QScrollArea>
#include <QStatusBar>
#include <QUrl>
#include <QVBoxLayout>

#include "app/report/page_painter.h"
#include "app/report/page_preview.h"
#include "app/report/paper_size.h"
#include "app/report/report_export.h"
#include "app/report/report_layout.h"

using namespace report;

namespace {

const QString kFooterWithDate = QStringLiteral("總 {NUMPAGES} 頁   第 {PAGE} 頁  列印日期: {DATE} {TIME}");
const QString kFooterPlain = QStringLiteral("總 {NUMPAGES} 頁   第 {PAGE} 頁");
const QColor kReadOnlyBoxColour(0xC0, 0xC0, 0xC0);  // silver
constexpr int kPanelWidth = 100;

QString generalNumber(double value) { return QString::number(value, 'g', 15); }

// Equal within the tolerance the A4 test of the print button allows.
bool nearly(double value, double target) { return value > target - 0.0000001 && value < target + 0.000001; }

// The number in a size box, commas ignored; an empty box counts 0.
std::optional<double> sizeBoxNumber(const QLineEdit* box) {
  QString text = box->text();
  text.remove(u',');
  if (text.trimmed().isEmpty()) return 0.0;
  bool ok = false;
  const double value = text.toDouble(&ok);
  return ok ? std::optional<double>(value) : std::nullopt;
}

QPushButton* button(const QString& caption, const QString& hint = QString()) {
  auto* b = new QPushButton(caption);
  b->setAutoDefault(false);  // Enter in the page boxes must not press a button
  if (!hint.isEmpty()) b->setToolTip(hint);
  return b;
}

}  // namespace

TPrintPreviewForm::TPrintPreviewForm(QWidget* owner, ShowMessage showMessage, AskYesNo askYesNo)
    : QDialog(owner), showMessage(std::move(showMessage)), askYesNo(std::move(askYesNo)) {
  document.clear();
  document.setMargins(5);
  document.footer().caption = kFooterWithDate;
  buildLayout();
  fillPrinterList();

  // The preview starts on A4, which the size boxes already show.
  const QSignalBlocker quiet(pageSize);
  pageSize->setCurrentIndex(paperIndex(Paper::A4));

  makePrinter = [](int index) {
    auto p = std::make_unique<QPrinter>(QPrinter::HighResolution);
    const QStringList names = QPrinterInfo::availablePrinterNames();
    if (index >= 0 && index < names.size()) p->setPrinterName(names[index]);
    return p;
  };
  chooseExportFile = [this] {
    QFileDialog dialog(this);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setNameFilter(exportDialogFilter());
    dialog.setDefaultSuffix(kExportDefaultSuffix);
    dialog.setOption(QFileDialog::DontConfirmOverwrite);  // the export asks itself
    return dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty()
               ? dialog.selectedFiles().first()
               : QString();
  };
  openFile = [](const QString& file) { QDesktopServices::openUrl(QUrl::fromLocalFile(file)); };
}

TPrintPreviewForm::~TPrintPreviewForm() = default;

void TPrintPreviewForm::buildLayout() {
  setWindowTitle(QStringLiteral("列印報表"));

  uFirst = button(QStringLiteral("最前"), QStringLiteral("最前一頁"));
  uPrevious = button(QStringLiteral("前頁"), QStringLiteral("前一頁"));
  uNext = button(QStringLiteral("後頁"), QStringLiteral("後一頁"));
  uLast = button(QStringLiteral("最後"), QStringLiteral("最後一頁"));
  for (QPushButton* b : {uFirst, uPrevious, uNext, uLast}) b->setEnabled(false);
  zoomIn = button(QStringLiteral("放大T"));
  zoomOut = button(QStringLiteral("縮小"));
  printCurrentButton = button(QStringLiteral("列印此頁"));
  printer = new QComboBox;
  fromPage = new QLineEdit(QStringLiteral("1"));
  toPage = new QLineEdit(QStringLiteral("1"));
  for (QLineEdit* box : {fromPage, toPage}) box->setMaximumWidth(40);
  pageSize = new QComboBox;
  pageSize->addItems(paperNames());
  pageHeight = new QLineEdit(QStringLiteral("297"));
  pageWidth = new QLineEdit(QStringLiteral("210"));
  for (QLineEdit* box : {pageHeight, pageWidth}) box->setMaximumWidth(60);
  setSizeBoxesEditable(false);
  printFooter = new QCheckBox(QStringLiteral("列印日期"));
  printButton = button(QStringLiteral("列印"));
  exportButton = button(QStringLiteral("輸出"));
  NoAction = new QAction(QStringLiteral("關閉 Esc"), this);
  NoAction->setShortcut(Qt::Key_Escape);
  addAction(NoAction);
  Button1 = button(NoAction->text());

  auto* tools = new QHBoxLayout;
  for (QWidget* w : std::initializer_list<QWidget*>{uFirst, uPrevious, uNext, uLast, zoomIn, zoomOut,
                                                    printCurrentButton, printer})
    tools->addWidget(w);
  tools->addWidget(new QLabel(QStringLiteral("頁數由:")));
  tools->addWidget(fromPage);
  tools->addWidget(new QLabel(QStringLiteral("至")));
  tools->addWidget(toPage);
  tools->addWidget(new QLabel(QStringLiteral("紙張:")));
  tools->addWidget(pageSize);
  tools->addWidget(new QLabel(QStringLiteral("高度:")));
  tools->addWidget(pageHeight);
  tools->addWidget(new QLabel(QStringLiteral("(mm)")));
  tools->addWidget(new QLabel(QStringLiteral("寬度:")));
  tools->addWidget(pageWidth);
  tools->addWidget(new QLabel(QStringLiteral("(mm)")));
  tools->addWidget(printFooter);
  tools->addStretch();
  for (QPushButton* b : {printButton, exportButton, Button1}) {
    b->setMinimumHeight(40);
    tools->addWidget(b);
  }

  GmPreview1 = new PagePreview(document);
  scroller = new QScrollArea;
  scroller->setWidget(GmPreview1);
  scroller->setAlignment(Qt::AlignHCenter);
  scroller->setBackgroundRole(QPalette::Dark);

  StatusBar1 = new QStatusBar;
  StatusBar1->setSizeGripEnabled(false);
  pageCountPanel = new QLabel;
  currentPagePanel = new QLabel;
  for (QLabel* panel : {pageCountPanel, currentPagePanel}) {
    panel->setFixedWidth(kPanelWidth);
    StatusBar1->addWidget(panel);
  }

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(tools);
  layout->addWidget(scroller, 1);
  layout->addWidget(StatusBar1);

  connect(uFirst, &QPushButton::clicked, this, &TPrintPreviewForm::uFirstClick);
  connect(uPrevious, &QPushButton::clicked, this, &TPrintPreviewForm::uPreviousClick);
  connect(uNext, &QPushButton::clicked, this, &TPrintPreviewForm::uNextClick);
  connect(uLast, &QPushButton::clicked, this, &TPrintPreviewForm::uLastClick);
  connect(zoomIn, &QPushButton::clicked, this, &TPrintPreviewForm::zoomInClick);
  connect(zoomOut, &QPushButton::clicked, this, &TPrintPreviewForm::zoomOutClick);
  connect(printCurrentButton, &QPushButton::clicked, this, &TPrintPreviewForm::printCurrentButtonClick);
  connect(printButton, &QPushButton::clicked, this, &TPrintPreviewForm::printButtonClick);
  connect(exportButton, &QPushButton::clicked, this, &TPrintPreviewForm::exportButtonClick);
  connect(Button1, &QPushButton::clicked, NoAction, &QAction::trigger);
  connect(NoAction, &QAction::triggered, this, &TPrintPreviewForm::NoActionExecute);
  connect(pageSize, &QComboBox::currentIndexChanged, this, &TPrintPreviewForm::pageSizeChange);
  connect(printFooter, &QCheckBox::clicked, this, &TPrintPreviewForm::printFooterClick);
  for (QLineEdit* box : {fromPage, pageHeight, pageWidth}) box->installEventFilter(this);
}

void TPrintPreviewForm::fillPrinterList() {
  const QStringList names = QPrinterInfo::availablePrinterNames();
  printer->addItems(names);
  const int current = names.indexOf(QPrinterInfo::defaultPrinterName());
  printer->setCurrentIndex(current >= 0 ? current : names.isEmpty() ? -1 : 0);
}

void TPrintPreviewForm::loadSetup(const PrintPreviewSetup& setup) {
  {
    const QSignalBlocker quiet(pageSize);
    pageSize->setCurrentIndex(paperIndex(paperFromIndex(setup.pageSize)));
  }
  pageHeight->setText(generalNumber(setup.pageHeight));
  pageWidth->setText(generalNumber(setup.pageWidth));
  pageSizeChange();
}

std::optional<PrintPreviewSetup> TPrintPreviewForm::currentSetup() const {
  const auto height = sizeBoxNumber(pageHeight), width = sizeBoxNumber(pageWidth);
  if (!height || !width) return std::nullopt;
  return PrintPreviewSetup{pageSize->currentIndex(), *height, *width};
}

void TPrintPreviewForm::printHeader(const QString& title, const QString& subtitle, const QString& summary) {
  setWindowState(windowState() | Qt::WindowMaximized);
  reportTitle = title;
  reportSubtitle = subtitle;
  reportSummary = summary;
  layoutReportHeader(document, {title, subtitle, summary});
  GmPreview1->documentChanged();
}

void TPrintPreviewForm::printGrid(const ReportGrid& grid, int left, int top, int lastText) {
  printedGrid = &grid;
  lastTextColumn = lastText == -1 ? grid.columnCount() - 1 : lastText;
  layoutReportGrid(document, grid, {double(left), double(top), lastTextColumn});
  GmPreview1->documentChanged();
}

void TPrintPreviewForm::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (!shown) {
    shown = true;
    FormShow();
  }
}

void TPrintPreviewForm::FormShow() {
  pageCountPanel->setText(QStringLiteral("總 %1 頁").arg(GmPreview1->pageCount()));
  toPage->setText(QString::number(GmPreview1->pageCount()));
  uFirstClick();
  exportButton->setVisible(printedGrid != nullptr);
  printFooter->setVisible(document.footer().visible);
  if (document.footer().visible) printFooter->setChecked(true);
}

void TPrintPreviewForm::done(int result) {
  FormClose();
  QDialog::done(result);
}

void TPrintPreviewForm::FormClose() {
  if (!saveSetup) return;
  if (const auto setup = currentSetup()) saveSetup(*setup);
}

void TPrintPreviewForm::NoActionExecute() { close(); }

void TPrintPreviewForm::zoomInClick() { GmPreview1->setZoom(GmPreview1->zoom() + GmPreview1->zoomStep()); }

void TPrintPreviewForm::zoomOutClick() {
  if (GmPreview1->zoom() > GmPreview1->zoomStep())
    GmPreview1->setZoom(GmPreview1->zoom() - GmPreview1->zoomStep());
}

void TPrintPreviewForm::setNavigation(bool toFirst, bool toLast) {
  uFirst->setEnabled(toFirst);
  uPrevious->setEnabled(toFirst);
  uNext->setEnabled(toLast);
  uLast->setEnabled(toLast);
}

void TPrintPreviewForm::showCurrentPage() {
  currentPagePanel->setText(QStringLiteral("第 %1 頁").arg(GmPreview1->currentPage()));
}

void TPrintPreviewForm::uFirstClick() {
  GmPreview1->firstPage();
  setNavigation(false, GmPreview1->currentPage() != GmPreview1->pageCount());
  showCurrentPage();
}

void TPrintPreviewForm::uPreviousClick() {
  GmPreview1->previousPage();
  setNavigation(GmPreview1->currentPage() != 1, GmPreview1->currentPage() != GmPreview1->pageCount());
  showCurrentPage();
}

void TPrintPreviewForm::uNextClick() {
  GmPreview1->nextPage();
  setNavigation(GmPreview1->currentPage() != 1, GmPreview1->currentPage() != GmPreview1->pageCount());
  showCurrentPage();
}

void TPrintPreviewForm::uLastClick() {
  GmPreview1->lastPage();
  setNavigation(GmPreview1->currentPage() != 1, false);
  showCurrentPage();
}

bool TPrintPreviewForm::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress) {
    const int key = static_cast<QKeyEvent*>(event)->key();
    if (key == Qt::Key_Return || key == Qt::Key_Enter) {
      if (watched == fromPage) fromPageKeyPress();
      else pageHeightKeyPress();
      return true;  // the key goes no further
    }
  }
  return QDialog::eventFilter(watched, event);
}

void TPrintPreviewForm::fromPageKeyPress() {
  bool ok = false;
  const int page = fromPage->text().trimmed().toInt(&ok);
  if (!ok) return;
  if (page <= 0) {
    showMessage(QStringLiteral("頁數不能少過零."), this);
  } else if (page > GmPreview1->pageCount()) {
    showMessage(QStringLiteral("頁數不能太過總頁數."), this);
  } else {
    GmPreview1->setCurrentPage(page);
    showCurrentPage();
  }
  fromPage->selectAll();
  fromPage->setFocus();
}

// A failing printer or writer is told like any other error shown to the
// user; an exception must not leave a Qt event handler.
void TPrintPreviewForm::printPages(int from, int to) {
  try {
    std::unique_ptr<QPrinter> device = makePrinter(printer->currentIndex());
    printReport(document, *device, from, to);
  } catch (const std::exception& e) {
    showMessage(QString::fromUtf8(e.what()), this);
  }
}

void TPrintPreviewForm::printButtonClick() {
  const auto height = sizeBoxNumber(pageHeight), width = sizeBoxNumber(pageWidth);
  if (height && width && nearly(*height, 297) && nearly(*width, 210)) document.setPaper(Paper::A4);
  bool fromOk = false, toOk = false;
  const int to = toPage->text().trimmed().toInt(&toOk);
  const int from = fromPage->text().trimmed().toInt(&fromOk);
  if (!toOk || !fromOk) {
    const QLineEdit* bad = toOk ? fromPage : toPage;
    showMessage(QStringLiteral("'%1' is not a valid integer value").arg(bad->text()), this);
    return;
  }
  printPages(from, std::min(to, GmPreview1->pageCount()));
}

void TPrintPreviewForm::printCurrentButtonClick() {
  printPages(GmPreview1->currentPage(), GmPreview1->currentPage());
}

void TPrintPreviewForm::setSizeBoxesEditable(bool editable) {
  for (QLineEdit* box : {pageHeight, pageWidth}) {
    box->setReadOnly(!editable);
    QPalette palette = box->palette();
    palette.setColor(QPalette::Base, editable ? QColor(Qt::white) : kReadOnlyBoxColour);
    box->setPalette(palette);
  }
}

void TPrintPreviewForm::pageSizeChange() {
  const Paper paper = paperFromIndex(pageSize->currentIndex());
  if (paper == Paper::Custom) {
    const auto height = sizeBoxNumber(pageHeight), width = sizeBoxNumber(pageWidth);
    if (!height || !width || *height <= 0 || *width <= 0) return;
    document.setCustomPage(*width, *height);
    setSizeBoxesEditable(true);
  } else {
    document.setPaper(paper);
    pageHeight->setText(generalNumber(document.pageHeight()));
    pageWidth->setText(generalNumber(document.pageWidth()));
    setSizeBoxesEditable(false);
  }
  GmPreview1->documentChanged();
}

void TPrintPreviewForm::pageHeightKeyPress() {
  const auto height = sizeBoxNumber(pageHeight), width = sizeBoxNumber(pageWidth);
  if (!height || !width) {
    const QLineEdit* bad = height ? pageWidth : pageHeight;
    showMessage(QStringLiteral("'%1' is not a valid floating point value").arg(bad->text()), this);
    return;
  }
  if (*height <= 0 || *width <= 0) return;  // no page can be that size
  document.setCustomPage(*width, *height);
  GmPreview1->documentChanged();
}

void TPrintPreviewForm::printFooterClick() {
  document.footer().caption = printFooter->isChecked() ? kFooterWithDate : kFooterPlain;
  GmPreview1->update();
}

void TPrintPreviewForm::exportButtonClick() {
  ExportHooks hooks;
  hooks.chooseFile = chooseExportFile;
  hooks.showMessage = [this](const QString& text) { showMessage(text, this); };
  hooks.askYesNo = [this](const QString& text) { return askYesNo(text, this, false); };
  hooks.openFile = openFile;
  hooks.setBusy = [](bool busy) {
    if (busy) QApplication::setOverrideCursor(Qt::WaitCursor);
    else QApplication::restoreOverrideCursor();
  };
  try {
    exportReport(printedGrid, {reportTitle, reportSubtitle, reportSummary}, lastTextColumn, hooks);
  } catch (const std::exception& e) {
    showMessage(QString::fromUtf8(e.what()), this);
  }
}
