#include "app/record_list_form.h"

#include <QAction>
#include <QEvent>
#include <QFrame>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

#include <string>

#include "app/program.h"
#include "app/record_form.h"
#include "app/report/print_preview_form.h"
#include "app/tables/tables.h"
#include "app/yes_no_form.h"
#include "engine/query/cursor.h"

namespace {

constexpr int1 recordListGrid = 1;  // ColWidth.type of this window's grid

// The text without leading and trailing blanks and control characters. Code
// page bytes of a multibyte character are all above the blank.
std::string trimmed(const std::string& text) {
  size_t begin = 0, end = text.size();
  while (begin < end && static_cast<unsigned char>(text[begin]) <= ' ') begin++;
  while (end > begin && static_cast<unsigned char>(text[end - 1]) <= ' ') end--;
  return text.substr(begin, end - begin);
}

bool isEnter(const QKeyEvent* key) { return key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter; }

void setCell(QTableWidget* grid, int row, int column, const QString& text) {
  grid->setItem(row, column, new QTableWidgetItem(text));
}

}  // namespace

TRecordListForm::TRecordListForm(QWidget* owner) : TForm(owner) {
  setWindowTitle(QStringLiteral("資料列表"));
  resize(1024, 700);
  setWindowState(Qt::WindowMaximized);

  insertAction = newAction(
      "insertAction", QStringLiteral("加入 F2"), Qt::Key_F2, [this] { insertActionExecute(); },
      QStringLiteral("加入資料"));
  updateAction = newAction(
      "updateAction", QStringLiteral("更改 F3"), Qt::Key_F3, [this] { updateActionExecute(); },
      QStringLiteral("更改資料"));
  deleteAction = newAction(
      "deleteAction", QStringLiteral("刪除 F4"), Qt::Key_F4, [this] { deleteActionExecute(); },
      QStringLiteral("刪除資料"));
  printAction = newAction(
      "printAction", QStringLiteral("列印 F11"), Qt::Key_F11, [this] { printActionExecute(); },
      QStringLiteral("列印資料"));
  helpAction = newAction("helpAction", QStringLiteral("說明 F1"), Qt::Key_F1, [this] { helpActionExecute(); });
  closeAction = newAction("closeAction", QStringLiteral("關閉 Esc"), Qt::Key_Escape, [this] { closeActionExecute(); });

  actionPanel = newActionPanel({{&insertButton, insertAction},
                                {&updateButton, updateAction},
                                {&deleteButton, deleteAction},
                                {&printButton, printAction},
                                {&helpButton, helpAction},
                                {&closeButton, closeAction}},
                               QSize(110, 48), Align::Left);
  for (QPushButton* button : {insertButton, updateButton, deleteButton, printButton, helpButton, closeButton}) {
    button->setAutoDefault(false);
  }

  name = new QLineEdit;
  name->setObjectName(QStringLiteral("name"));
  name->installEventFilter(this);
  searchButton = new QPushButton(QStringLiteral("尋找"));
  searchButton->setObjectName(QStringLiteral("searchButton"));
  searchButton->setAutoDefault(false);
  total = new QLabel(QStringLiteral("總數: 0"));
  total->setObjectName(QStringLiteral("total"));
  auto* search = new QHBoxLayout;
  search->addWidget(new QLabel(QStringLiteral("名稱:")));
  search->addWidget(name, 1);
  search->addWidget(searchButton);
  search->addSpacing(24);
  search->addWidget(total, 1);

  grid = new QTableWidget;
  grid->setObjectName(QStringLiteral("grid"));
  grid->setSelectionBehavior(QAbstractItemView::SelectRows);
  grid->setSelectionMode(QAbstractItemView::SingleSelection);
  grid->setEditTriggers(QAbstractItemView::NoEditTriggers);
  grid->verticalHeader()->hide();
  grid->verticalHeader()->setMinimumSectionSize(1);
  grid->verticalHeader()->setDefaultSectionSize(21);
  grid->horizontalHeader()->setMinimumSectionSize(1);
  grid->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
  grid->horizontalHeader()->setHighlightSections(false);
  grid->installEventFilter(this);
  grid->viewport()->installEventFilter(this);

  auto* page = new QVBoxLayout(this);
  page->addWidget(actionPanel);
  page->addLayout(search);
  page->addWidget(grid, 1);

  connect(searchButton, &QPushButton::clicked, this, [this] { guarded(this, [this] { searchButtonClick(); }); });
  connect(grid, &QTableWidget::doubleClicked, this, [this] { guarded(this, [this] { gridDblClick(); }); });

  grid->setColumnCount(3);
  grid->setHorizontalHeaderLabels({QStringLiteral("ID"), QStringLiteral("名稱"), QStringLiteral("備註")});
  const int defaultWidths[] = {1, 100, 300};
  for (int column = 0; column < 3; column++) grid->setColumnWidth(column, defaultWidths[column]);

  dbCursor<ColWidth> widths(dbViewOnly);
  if (widths.select("type=1") > 0) {
    do {
      grid->setColumnWidth(widths->col, widths->width);
    } while (widths.next());
  } else {
    // The first opening saves the defaults; fillGrid commits them.
    for (int column = 0; column < grid->columnCount(); column++)
      insert(ColWidth{recordListGrid, static_cast<int1>(column), static_cast<int2>(grid->columnWidth(column))});
  }
  fillGrid();

  // Only column 0 keeps its saved width.
  grid->setColumnCount(5);
  grid->setHorizontalHeaderLabels(
      {QStringLiteral("ID"), QStringLiteral("名稱"), QStringLiteral("備註"), QString(), QString()});
  for (int column = 1; column < 5; column++) grid->setColumnWidth(column, 100 * column);
  grid->setFocus();
}

void TRecordListForm::fillGrid() {
  std::string condition;
  const std::string text = trimmed(toAnsi(name->text()));
  if (!text.empty()) condition = "name like '%" + text + "%'";

  dbCursor<Record> records(dbViewOnly);
  grid->setRowCount(0);
  if (records.select(condition.c_str()) > 0) {
    do {
      const int row = grid->rowCount();
      grid->insertRow(row);
      setCell(grid, row, 0, QString::number(records.currentId()));
      setCell(grid, row, 1, utf16LeText(records->nameA));
      setCell(grid, row, 2, fromAnsi(records->remark));
    } while (records.next());
    grid->selectRow(0);
  }
  total->setText(QStringLiteral("總數: ") + QString::number(grid->rowCount()));
  theDatabase().commit();
}

int TRecordListForm::selectedRow() const {
  int top = -1;
  for (const QTableWidgetSelectionRange& range : grid->selectedRanges())
    if (top < 0 || range.topRow() < top) top = range.topRow();
  return top;
}

unsigned TRecordListForm::recordIdAt(int row) const { return grid->item(row, 0)->text().toUInt(); }

void TRecordListForm::insertActionExecute() {
  TRecordForm editor(this);
  if (editor.exec() != mrOk) return;
  Record record{"", 0, "", 0, dbArray<int1>(), dbArray<int1>()};
  editor.storeRecord(record);
  insert(record);
  fillGrid();
}

void TRecordListForm::updateActionExecute() {
  const int row = selectedRow();
  if (row < 0) {
    showMessage(QStringLiteral("沒有選擇資料."), this);
    return;
  }
  TRecordForm editor(this);
  {
    dbCursor<Record> record(dbViewOnly);
    editor.loadRecord(*record.at(dbReference<Record>(recordIdAt(row))));
  }
  // No transaction stays open while the user edits.
  theDatabase().commit();
  if (editor.exec() != mrOk) return;

  dbCursor<Record> record(dbForUpdate);
  editor.storeRecord(*record.at(dbReference<Record>(recordIdAt(row))));
  // The name column shows nameA, which now holds the name unchanged; the
  // remark column shows code page text.
  grid->item(row, 1)->setText(editor.nameText());
  grid->item(row, 2)->setText(fromAnsi(toAnsi(editor.remarkText())));
  record.update();
  // The program makes no commit at its end: what waits for a later one is lost.
  theDatabase().commit();
}

void TRecordListForm::deleteActionExecute() {
  const int row = selectedRow();
  if (row < 0) {
    showMessage(QStringLiteral("沒有選擇資料."), this);
    return;
  }
  dbCursor<Record> record(dbForUpdate);
  record.at(dbReference<Record>(recordIdAt(row)));
  if (!askYesNo(QStringLiteral("刪除資料 '") + fromAnsi(record->name) + QStringLiteral("' 嗎?"), this, false)) return;
  record.remove();
  fillGrid();
}

void TRecordListForm::printActionExecute() {
  // The preview keeps the grid for its export: made first, it goes last.
  const report::TableWidgetGrid printed(*grid);
  TPrintPreviewForm preview(this, showMessage, askYesNo);
  {
    dbCursor<PrintPreviewSetup> saved(dbViewOnly);
    if (saved.select() > 0) preview.loadSetup({saved->pageSize, saved->pageHeight, saved->pageWidth});
  }
  preview.saveSetup = [](const report::PrintPreviewSetup& setup) {
    dbCursor<PrintPreviewSetup> saved(dbForUpdate);
    if (saved.select() > 0) saved.remove();
    insert(PrintPreviewSetup{static_cast<int1>(setup.pageSize), setup.pageHeight, setup.pageWidth});
    // The program makes no commit at its end: what waits for a later one is lost.
    theDatabase().commit();
  };

  int width = 0;
  for (int column = 0; column < grid->columnCount(); column++) width += grid->columnWidth(column);
  preview.preview().setLandscape(width > 701);
  preview.printHeader(QString::fromUtf8(companyName()), windowTitle(), total->text());
  preview.printGrid(printed, 50, 150, 5);
  preview.exec();
}

void TRecordListForm::helpActionExecute() { openRecordHelp(); }

void TRecordListForm::closeActionExecute() { close(); }

void TRecordListForm::searchButtonClick() { fillGrid(); }

void TRecordListForm::gridDblClick() { updateActionExecute(); }

bool TRecordListForm::searchKeyPress(const QKeyEvent* key) {
  if (!isEnter(key)) return false;
  fillGrid();
  return true;
}

void TRecordListForm::gridKeyPress(const QKeyEvent* key) {
  if (isEnter(key)) gridDblClick();
}

bool TRecordListForm::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::ShortcutOverride && watched == grid &&
      static_cast<const QKeyEvent*>(event)->key() == Qt::Key_F2) {
    // The grid claims F2 as its edit key even with editing off; here it inserts.
    event->ignore();
    return true;
  }
  if (event->type() == QEvent::KeyPress) {
    const auto* key = static_cast<const QKeyEvent*>(event);
    if (watched == name) {
      bool discarded = false;
      guarded(this, [&] { discarded = searchKeyPress(key); });
      if (discarded) return true;
    } else if (watched == grid) {
      guarded(this, [&] { gridKeyPress(key); });
    }
  } else if (event->type() == QEvent::MouseButtonDblClick && watched == grid->viewport() &&
             !grid->indexAt(static_cast<const QMouseEvent*>(event)->position().toPoint()).isValid()) {
    // The grid reports double clicks on its cells only.
    guarded(this, [this] { gridDblClick(); });
  }
  return TForm::eventFilter(watched, event);
}

void TRecordListForm::FormClose() {
  dbCursor<ColWidth> widths(dbForUpdate);
  if (widths.select("type=1") > 0) {
    do {
      widths->width = static_cast<int2>(grid->columnWidth(widths->col));
      widths.update();
    } while (widths.next());
  }
  // The program makes no commit at its end: what waits for a later one is lost.
  theDatabase().commit();
}

void TRecordListForm::done(int result) {
  guarded(this, [this] { FormClose(); });
  TForm::done(result);
}
