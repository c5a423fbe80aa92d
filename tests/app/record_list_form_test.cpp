#include "app/record_list_form.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>

#include <algorithm>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "app/program.h"
#include "app/record_form.h"
#include "app/report/print_preview_form.h"
#include "app/tables/tables.h"
#include "app/yes_no_form.h"
#include "engine/query/cursor.h"
#include "tests/app/window_driver.h"
#include "tests/support/temp_dir.h"

namespace {

dbArray<int1> utf16Le(const QString& text) {
  std::vector<int1> bytes;
  for (QChar unit : text) {
    bytes.push_back(static_cast<int1>(unit.unicode() & 0xFF));
    bytes.push_back(static_cast<int1>(unit.unicode() >> 8));
  }
  return dbArray<int1>(bytes.data(), bytes.size());
}

// The texts of the grid's record rows, five cells each.
std::vector<QStringList> gridRows(const TRecordListForm& form) {
  std::vector<QStringList> rows;
  for (int row = 0; row < form.grid->rowCount(); row++) {
    QStringList cells;
    for (int column = 0; column < form.grid->columnCount(); column++) {
      const QTableWidgetItem* item = form.grid->item(row, column);
      cells << (item ? item->text() : QString());
    }
    rows.push_back(cells);
  }
  return rows;
}

QStringList column(const TRecordListForm& form, int c) {
  QStringList texts;
  for (const QStringList& row : gridRows(form)) texts << row[c];
  return texts;
}

std::vector<int> columnWidths(const TRecordListForm& form) {
  std::vector<int> widths;
  for (int c = 0; c < form.grid->columnCount(); c++) widths.push_back(form.grid->columnWidth(c));
  return widths;
}

// A user's double click: press and release, then the double click and its release.
void doubleClick(QWidget* widget, QPoint at = QPoint()) {
  QTest::mouseClick(widget, Qt::LeftButton, {}, at);
  QTest::mouseDClick(widget, Qt::LeftButton, {}, at);
  QTest::mouseRelease(widget, Qt::LeftButton, {}, at);
}

using SavedWidth = std::tuple<int, int, int>;  // type, col, width

bool holdsLock() {
  const dbDatabaseThreadContext* context = theDatabase().getThreadContext();
  return context != nullptr && (context->readAccess || context->writeAccess);
}

// One working folder for the whole program (the database handle takes it at
// its first open), a fresh database in it for every test.
class RecordListFormTest : public testing::Test {
 protected:
  static void SetUpTestSuite() { folder = new TempDir; }
  static void TearDownTestSuite() { delete folder; }

  void SetUp() override { ASSERT_TRUE(theDatabase().open(databaseName.c_str())); }
  void TearDown() override { theDatabase().close(); }

  // The program ends without a further commit and starts again: what no
  // commit made durable is gone.
  void restart() {
    theDatabase().rollback();
    theDatabase().close();
    ASSERT_TRUE(theDatabase().open(databaseName.c_str()));
  }

  // A record as other programs write it: name and remark text fields set.
  static oid_t addRecord(const char* name, const QString& nameA = QString(), const char* remark = "") {
    oid_t oid = insert(Record{name, 0, remark, 0, utf16Le(nameA), dbArray<int1>()}).getOid();
    theDatabase().commit();
    return oid;
  }

  static std::vector<SavedWidth> savedWidths() {
    std::vector<SavedWidth> rows;
    dbCursor<ColWidth> widths;
    if (widths.select() > 0) {
      do {
        rows.emplace_back(widths->type, widths->col, widths->width);
      } while (widths.next());
    }
    theDatabase().commit();
    return rows;
  }

  struct Stored {
    std::string name, remark;
    QString nameA, remarkA;
  };
  static Stored stored(oid_t oid) {
    dbCursor<Record> record;
    Record* r = record.at(dbReference<Record>(oid));
    Stored result{r->name, r->remark, utf16LeText(r->nameA), utf16LeText(r->remarkA)};
    theDatabase().commit();
    return result;
  }

  static int recordCount() {
    dbCursor<Record> records;
    const int count = records.select();
    theDatabase().commit();
    return count;
  }

  static void show(TRecordListForm& form) {
    form.show();
    activate(&form);
  }
  // Presses a key on the list, once it is active again (a closed modal window
  // leaves none active), with the act on the modal window the key opens.
  static void press(TRecordListForm& form, Qt::Key key, std::function<void(QWidget*)> onModal = {}) {
    form.activateWindow();
    activate(&form);
    if (onModal) onNextModal(std::move(onModal));
    pressKey(key);
  }

  // Runs the print action and acts on the preview it shows before closing it with Esc.
  static void printWith(TRecordListForm& form, const std::function<void(TPrintPreviewForm&)>& look) {
    press(form, Qt::Key_F11, [&look](QWidget* window) {
      auto* preview = qobject_cast<TPrintPreviewForm*>(window);
      ASSERT_NE(preview, nullptr) << "not the print preview";
      look(*preview);
      pressKey(Qt::Key_Escape);
    });
  }

  static TempDir* folder;
  std::string databaseName = uniqueName("list");
};

TempDir* RecordListFormTest::folder = nullptr;

// Answers a notice or a question: keeps its text, then presses the key.
std::function<void(QWidget*)> answer(QString& text, Qt::Key key) {
  return [&text, key](QWidget* window) {
    auto* box = qobject_cast<TYesNoForm*>(window);
    ASSERT_NE(box, nullptr) << "not a message box";
    text = box->msg->text();
    pressKey(key);
  };
}

// Acts on a record editor, then saves it with F4 or leaves it with Esc.
std::function<void(QWidget*)> edit(std::function<void(TRecordForm&)> change, Qt::Key key) {
  return [change = std::move(change), key](QWidget* window) {
    auto* editor = qobject_cast<TRecordForm*>(window);
    ASSERT_NE(editor, nullptr) << "not a record editor";
    change(*editor);
    pressKey(key);
  };
}

TEST_F(RecordListFormTest, AnEmptyTableShowsOnlyTheCaptionRow) {
  TRecordListForm form(nullptr);
  EXPECT_EQ(form.windowTitle(), QStringLiteral("資料列表"));
  EXPECT_TRUE(form.windowState() & Qt::WindowMaximized);
  EXPECT_EQ(form.grid->rowCount(), 0);
  ASSERT_EQ(form.grid->columnCount(), 5);
  QStringList captions;
  for (int c = 0; c < 5; c++) captions << form.grid->horizontalHeaderItem(c)->text();
  EXPECT_EQ(captions, (QStringList{QStringLiteral("ID"), QStringLiteral("名稱"), QStringLiteral("備註"), "", ""}));
  EXPECT_EQ(columnWidths(form), (std::vector<int>{1, 100, 200, 300, 400}));
  EXPECT_EQ(form.total->text(), QStringLiteral("總數: 0"));
  EXPECT_EQ(form.grid->verticalHeader()->defaultSectionSize(), 21);
  EXPECT_FALSE(form.grid->verticalHeader()->isVisible());
  EXPECT_EQ(form.grid->selectionBehavior(), QAbstractItemView::SelectRows);
  EXPECT_EQ(form.grid->horizontalHeader()->sectionResizeMode(0), QHeaderView::Interactive);
  EXPECT_FALSE(holdsLock());
}

TEST_F(RecordListFormTest, ButtonsShowTheActions) {
  TRecordListForm form(nullptr);
  const std::tuple<QPushButton*, const char*, const char*> buttons[] = {
      {form.insertButton, "加入 F2", "加入資料"}, {form.updateButton, "更改 F3", "更改資料"},
      {form.deleteButton, "刪除 F4", "刪除資料"}, {form.printButton, "列印 F11", "列印資料"},
      {form.helpButton, "說明 F1", ""},           {form.closeButton, "關閉 Esc", ""}};
  for (const auto& [button, caption, hint] : buttons) {
    EXPECT_EQ(button->text(), QString::fromUtf8(caption));
    EXPECT_EQ(button->toolTip(), QString::fromUtf8(hint));
  }
  EXPECT_EQ(form.searchButton->text(), QStringLiteral("尋找"));
}

TEST_F(RecordListFormTest, RecordsAreListedInStorageOrder) {
  const oid_t first = addRecord("n1", QStringLiteral("甲"), "r1");
  const oid_t second = addRecord("n2", QStringLiteral("乙丙"), "r2");
  TRecordListForm form(nullptr);
  EXPECT_EQ(gridRows(form),
            (std::vector<QStringList>{{QString::number(first), QStringLiteral("甲"), "r1", "", ""},
                                      {QString::number(second), QStringLiteral("乙丙"), "r2", "", ""}}));
  EXPECT_EQ(form.total->text(), QStringLiteral("總數: 2"));
  EXPECT_FALSE(holdsLock());
}

TEST_F(RecordListFormTest, InsertThroughTheEditorStoresOnlyTheArrays) {
  addRecord("n1", QStringLiteral("甲"));
  TRecordListForm form(nullptr);
  show(form);

  press(form, Qt::Key_F2,
        edit([](TRecordForm& editor) { editor.name->setText(QStringLiteral("堃乙")); }, Qt::Key_Escape));
  EXPECT_EQ(recordCount(), 1);

  press(form, Qt::Key_F2,
        edit(
            [](TRecordForm& editor) {
              editor.name->setText(QStringLiteral("堃乙"));
              editor.remark->setPlainText(QStringLiteral("a\nb"));
            },
            Qt::Key_F4));
  ASSERT_EQ(form.grid->rowCount(), 2);
  const QStringList row = gridRows(form)[1];
  EXPECT_EQ(row[1], QStringLiteral("堃乙"));
  EXPECT_EQ(row[2], QString());
  EXPECT_EQ(form.total->text(), QStringLiteral("總數: 2"));
  const Stored made = stored(row[0].toUInt());
  EXPECT_EQ(made.name, "");
  EXPECT_EQ(made.remark, "");
  EXPECT_EQ(made.nameA, QStringLiteral("堃乙"));
  EXPECT_EQ(made.remarkA, QStringLiteral("a\r\nb"));

  // The refill committed the insertion.
  restart();
  EXPECT_EQ(recordCount(), 2);
}

struct Search {
  const char* text;
  QStringList found;
};

TEST_F(RecordListFormTest, TheSearchTextIsAPatternInsideTheNameField) {
  for (const char* name : {"abc", "xabcx", "abd", "Bob O", "O'Brien", "100%"}) addRecord(name, QString::fromUtf8(name));
  TRecordListForm form(nullptr);
  show(form);
  // Made by the editor: only nameA holds the name.
  press(form, Qt::Key_F2, edit([](TRecordForm& editor) { editor.name->setText(QStringLiteral("abc")); }, Qt::Key_F4));
  const Search searches[] = {
      {"abc", {"abc", "xabcx"}},
      {"  abc\t", {"abc", "xabcx"}},
      {"a_c", {"abc", "xabcx"}},
      {"a%d", {"abd"}},
      {"%", {"abc", "xabcx", "abd", "Bob O", "O'Brien", "100%", "abc"}},
      {"O'Brien", {"Bob O"}},  // the quote ends the pattern: names ending in O
      {"zzz", {}},
      {" \t ", {"abc", "xabcx", "abd", "Bob O", "O'Brien", "100%", "abc"}},
      {"", {"abc", "xabcx", "abd", "Bob O", "O'Brien", "100%", "abc"}},
  };
  form.activateWindow();
  activate(&form);
  for (const Search& search : searches) {
    SCOPED_TRACE(search.text);
    form.name->setText(QString::fromUtf8(search.text));
    form.name->setFocus();
    pressKey(Qt::Key_Return);
    EXPECT_EQ(column(form, 1), search.found);
    EXPECT_EQ(form.total->text(), QStringLiteral("總數: ") + QString::number(search.found.size()));
    EXPECT_FALSE(holdsLock());
  }
}

TEST_F(RecordListFormTest, TheFirstOpeningSavesTheDefaultWidthsOnce) {
  const std::vector<SavedWidth> defaults{{1, 0, 1}, {1, 1, 100}, {1, 2, 300}};
  { TRecordListForm form(nullptr); }
  EXPECT_EQ(savedWidths(), defaults);
  restart();  // made durable by the first refill
  EXPECT_EQ(savedWidths(), defaults);
  { TRecordListForm form(nullptr); }
  EXPECT_EQ(savedWidths(), defaults);
}

TEST_F(RecordListFormTest, OnlyTheWidthOfColumnZeroComesBack) {
  {
    TRecordListForm form(nullptr);
    show(form);
    form.grid->setColumnWidth(0, 57);
    form.grid->setColumnWidth(1, 160);
    form.grid->setColumnWidth(4, 90);
    press(form, Qt::Key_Escape);
  }
  EXPECT_FALSE(holdsLock());
  restart();
  // Columns 3 and 4 have no rows to keep them in.
  EXPECT_EQ(savedWidths(), (std::vector<SavedWidth>{{1, 0, 57}, {1, 1, 160}, {1, 2, 200}}));
  TRecordListForm form(nullptr);
  EXPECT_EQ(columnWidths(form), (std::vector<int>{57, 100, 200, 300, 400}));
}

TEST_F(RecordListFormTest, WidthRowsOfOtherGridsAreLeftAlone) {
  insert(ColWidth{2, 0, 77});
  theDatabase().commit();
  {
    TRecordListForm form(nullptr);
    show(form);
    press(form, Qt::Key_Escape);
  }
  EXPECT_EQ(savedWidths(), (std::vector<SavedWidth>{{2, 0, 77}, {1, 0, 1}, {1, 1, 100}, {1, 2, 200}}));
}

TEST_F(RecordListFormTest, UpdateAndDeleteWithoutARecordRowOnlyTellSo) {
  const std::pair<const char*, std::function<void(TRecordListForm&)>> ways[] = {
      {"F3", [](TRecordListForm&) { pressKey(Qt::Key_F3); }},
      {"F4", [](TRecordListForm&) { pressKey(Qt::Key_F4); }},
      {"Enter in the grid", [](TRecordListForm& form) { QTest::keyClick(form.grid, Qt::Key_Return); }},
      {"double click on the grid", [](TRecordListForm& form) { doubleClick(form.grid->viewport()); }},
  };
  for (bool withRecords : {false, true}) {
    if (withRecords) addRecord("abc", QStringLiteral("abc"));
    for (const auto& [how, act] : ways) {
      SCOPED_TRACE(std::string(how) + (withRecords ? ", selection cleared" : ", empty table"));
      TRecordListForm form(nullptr);
      show(form);
      form.grid->clearSelection();
      QString notice;
      onNextModal(answer(notice, Qt::Key_Escape));
      act(form);
      EXPECT_EQ(notice, QStringLiteral("沒有選擇資料."));
      EXPECT_EQ(recordCount(), withRecords ? 1 : 0);
    }
  }
}

TEST_F(RecordListFormTest, UpdateStoresTheEditorsTextsIntoTheSelectedRecord) {
  addRecord("n1", QStringLiteral("甲"), "r1");
  const oid_t second = addRecord("n2", QStringLiteral("乙"), "r2");
  TRecordListForm form(nullptr);
  show(form);
  form.grid->selectRow(1);

  bool lockedWhileEditing = true;
  QString shown;
  press(form, Qt::Key_F3,
        edit(
            [&](TRecordForm& editor) {
              lockedWhileEditing = holdsLock();
              shown = editor.name->text();
              editor.name->setText(QStringLiteral("丁"));
            },
            Qt::Key_Escape));
  EXPECT_EQ(shown, QStringLiteral("乙"));
  EXPECT_FALSE(lockedWhileEditing);
  EXPECT_EQ(stored(second).nameA, QStringLiteral("乙"));
  EXPECT_EQ(column(form, 1), (QStringList{"甲", "乙"}));

  onNextModal(edit(
      [](TRecordForm& editor) {
        editor.name->setText(QStringLiteral("堃丁"));
        editor.remark->setPlainText(QStringLiteral("x\ny"));
      },
      Qt::Key_F4));
  QTest::keyClick(form.grid, Qt::Key_Return);
  EXPECT_EQ(gridRows(form)[1], (QStringList{QString::number(second), QStringLiteral("堃丁"), "x\r\ny", "", ""}));
  EXPECT_EQ(form.total->text(), QStringLiteral("總數: 2"));
  const Stored changed = stored(second);
  EXPECT_EQ(changed.nameA, QStringLiteral("堃丁"));
  EXPECT_EQ(changed.remarkA, QStringLiteral("x\r\ny"));
  EXPECT_EQ(changed.name, "n2");
  EXPECT_EQ(changed.remark, "r2");

  // A double click on a record changes it as well.
  const QRect firstRow = form.grid->visualItemRect(form.grid->item(0, 1));
  onNextModal(edit([](TRecordForm& editor) { editor.name->setText(QStringLiteral("戊")); }, Qt::Key_F4));
  doubleClick(form.grid->viewport(), firstRow.center());
  EXPECT_EQ(column(form, 1), (QStringList{"戊", "堃丁"}));
}

TEST_F(RecordListFormTest, AnUpdateSurvivesTheProgramsEndRightAfterIt) {
  const oid_t oid = addRecord("n1", QStringLiteral("甲"), "r1");
  {
    TRecordListForm form(nullptr);
    show(form);
    press(form, Qt::Key_F3, edit([](TRecordForm& editor) { editor.name->setText(QStringLiteral("乙")); }, Qt::Key_F4));
    press(form, Qt::Key_Escape);
    EXPECT_FALSE(form.isVisible());
  }
  EXPECT_FALSE(holdsLock());
  restart();
  EXPECT_EQ(stored(oid).nameA, QStringLiteral("乙"));
}

TEST_F(RecordListFormTest, DeleteAsksWithTheNameFieldAndRemovesOnlyOnYes) {
  addRecord("abc", QStringLiteral("甲"));
  addRecord("O'Brien", QStringLiteral("乙"));
  TRecordListForm form(nullptr);
  show(form);
  form.grid->selectRow(1);

  QString question;
  press(form, Qt::Key_F4, answer(question, Qt::Key_N));
  EXPECT_EQ(question, QStringLiteral("刪除資料 'O'Brien' 嗎?"));
  EXPECT_EQ(recordCount(), 2);
  EXPECT_EQ(form.grid->rowCount(), 2);

  press(form, Qt::Key_F4, answer(question, Qt::Key_Y));
  EXPECT_EQ(column(form, 1), (QStringList{"甲"}));
  EXPECT_EQ(form.total->text(), QStringLiteral("總數: 1"));
  restart();
  TRecordListForm reopened(nullptr);
  EXPECT_EQ(column(reopened, 1), (QStringList{"甲"}));
}

TEST_F(RecordListFormTest, TheDeleteQuestionOfAnEditorRecordQuotesNothing) {
  TRecordListForm form(nullptr);
  show(form);
  press(form, Qt::Key_F2, edit([](TRecordForm&) {}, Qt::Key_F4));
  ASSERT_EQ(form.grid->rowCount(), 1);
  form.grid->selectRow(0);
  QString question;
  press(form, Qt::Key_F4, answer(question, Qt::Key_Escape));
  EXPECT_EQ(question, QStringLiteral("刪除資料 '' 嗎?"));
  EXPECT_EQ(recordCount(), 1);
}

TEST_F(RecordListFormTest, PrintHandsTheGridToThePreview) {
  TRecordListForm form(nullptr);
  show(form);
  const report::TableWidgetGrid grid(*form.grid);
  EXPECT_EQ(grid.rowCount(), 1);
  EXPECT_EQ(grid.fixedRowCount(), 0);  // the caption row alone is not fixed
  EXPECT_EQ(grid.cell(1, 0), QStringLiteral("名稱"));

  addRecord("abc", QStringLiteral("甲"), "r");
  QTest::mouseClick(form.searchButton, Qt::LeftButton);
  EXPECT_EQ(grid.rowCount(), 2);
  EXPECT_EQ(grid.fixedRowCount(), 1);
  EXPECT_EQ(grid.cell(1, 1), QStringLiteral("甲"));

  bool landscape = false;
  printWith(form, [&](TPrintPreviewForm& preview) {
    landscape = preview.preview().landscape();
    EXPECT_EQ(preview.windowTitle(), QStringLiteral("列印報表"));
  });
  EXPECT_TRUE(landscape);  // 1 + 100 + 200 + 300 + 400 pixels

  for (int c = 1; c < 5; c++) form.grid->setColumnWidth(c, 175);  // 701 in all
  printWith(form, [&](TPrintPreviewForm& preview) { landscape = preview.preview().landscape(); });
  EXPECT_FALSE(landscape);
}

TEST_F(RecordListFormTest, ThePaperChosenInThePreviewIsKept) {
  TRecordListForm form(nullptr);
  show(form);
  double height = 0, width = 0;
  printWith(form, [&](TPrintPreviewForm& preview) {
    EXPECT_EQ(preview.pageSize->currentText(), QStringLiteral("A4"));
    preview.pageSize->setCurrentIndex(2);  // A5
    preview.pageSizeChange();
    height = preview.pageHeight->text().toDouble();
    width = preview.pageWidth->text().toDouble();
  });
  EXPECT_EQ(std::min(height, width), 148);
  EXPECT_FALSE(holdsLock());
  restart();
  {
    dbCursor<PrintPreviewSetup> setup;
    ASSERT_EQ(setup.select(), 1);
    EXPECT_EQ(setup->pageSize, 2);
    EXPECT_EQ(setup->pageHeight, height);
    EXPECT_EQ(setup->pageWidth, width);
    theDatabase().commit();
  }
  printWith(form, [](TPrintPreviewForm& preview) { EXPECT_EQ(preview.pageSize->currentText(), QStringLiteral("A5")); });
  dbCursor<PrintPreviewSetup> setup;
  EXPECT_EQ(setup.select(), 1);
  theDatabase().commit();
}

TEST_F(RecordListFormTest, HelpOpensThePageOnlyWhenItExists) {
  const QString page = QString::fromStdString(theDatabase().workingFolder()) + QStringLiteral("/help/Record.htm");
  FileOpenCatcher catcher;
  TRecordListForm form(nullptr);
  show(form);
  press(form, Qt::Key_F1);
  EXPECT_TRUE(catcher.opened.isEmpty());

  ASSERT_TRUE(QDir(QString::fromStdString(folder->path())).mkpath(QStringLiteral("help")));
  QFile file(page);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.close();
  press(form, Qt::Key_F1);
  EXPECT_EQ(catcher.opened, QList<QUrl>{QUrl::fromLocalFile(page)});
  file.remove();
}

}  // namespace
