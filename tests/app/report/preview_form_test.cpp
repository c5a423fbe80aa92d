#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPrinter>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>

#include <gtest/gtest.h>

#include "app/report/page_preview.h"
#include "app/report/print_preview_form.h"
#include "app/report/report_export.h"
#include "tests/app/report/report_fixtures.h"
#include "tests/app/report/run_tool.h"
#include "tests/support/temp_dir.h"

namespace {

using report::Paper;
using report::StringGrid;
using report::testing::recordListGrid;
using report::testing::recordName;
using report::testing::runTool;

class PrintPreviewForm : public ::testing::Test {
 protected:
  PrintPreviewForm()
      : form(nullptr,
             [this](const QString& text, QWidget* owner) {
               messages << text;
               EXPECT_EQ(owner, &form);
             },
             [this](const QString& text, QWidget* owner, bool yesFirst) {
               asked << text;
               EXPECT_EQ(owner, &form);
               EXPECT_FALSE(yesFirst);
               return false;
             }) {
    form.makePrinter = [this](int) {
      auto printer = std::make_unique<QPrinter>(QPrinter::HighResolution);
      printer->setOutputFormat(QPrinter::PdfFormat);
      printer->setOutputFileName(pdf);
      return printer;
    };
  }

  void showReport(int records) {
    grid = recordListGrid(records);
    form.printHeader("Torvik 公司", "資料列表", QStringLiteral("總數: %1").arg(records));
    form.printGrid(grid, 50, 150, 5);
    form.show();
  }

  void enter(QLineEdit* box, const QString& text) {
    box->clear();
    QTest::keyClicks(box, text);
    QTest::keyClick(box, Qt::Key_Return);
  }

  // Enabled state of 最前, 前頁, 後頁, 最後.
  std::vector<bool> navigation() const {
    return {form.uFirst->isEnabled(), form.uPrevious->isEnabled(), form.uNext->isEnabled(),
            form.uLast->isEnabled()};
  }

  int printedPages() {
    const QRegularExpressionMatch m =
        QRegularExpression(R"(Pages:\s+(\d+))").match(runTool(TORVIK_PDFINFO, {pdf}));
    return m.hasMatch() ? m.captured(1).toInt() : 0;
  }

  TempDir dir;
  QString pdf = QString::fromStdString(dir.file("printed.pdf"));
  QStringList messages, asked;
  TPrintPreviewForm form;
  StringGrid grid = recordListGrid(0);
};

TEST_F(PrintPreviewForm, NavigationButtonsFollowThePage) {
  showReport(100);  // three pages on A4
  EXPECT_EQ(form.windowTitle(), "列印報表");
  EXPECT_TRUE(form.windowState() & Qt::WindowMaximized);
  EXPECT_EQ(form.pageCountPanel->text(), "總 3 頁");
  EXPECT_EQ(form.toPage->text(), "3");

  struct Step {
    QPushButton* button;
    int page;
    std::vector<bool> enabled;
  };
  const Step steps[] = {{nullptr, 1, {false, false, true, true}},
                        {form.uNext, 2, {true, true, true, true}},
                        {form.uLast, 3, {true, true, false, false}},
                        {form.uPrevious, 2, {true, true, true, true}},
                        {form.uPrevious, 1, {false, false, true, true}},
                        {form.uLast, 3, {true, true, false, false}},
                        {form.uFirst, 1, {false, false, true, true}}};
  for (const Step& s : steps) {
    if (s.button) s.button->click();
    EXPECT_EQ(form.GmPreview1->currentPage(), s.page);
    EXPECT_EQ(form.currentPagePanel->text(), QStringLiteral("第 %1 頁").arg(s.page));
    EXPECT_EQ(navigation(), s.enabled) << "page " << s.page;
  }
}

TEST_F(PrintPreviewForm, OnePageReportDisablesAllNavigation) {
  showReport(3);
  EXPECT_EQ(navigation(), (std::vector<bool>{false, false, false, false}));
  EXPECT_EQ(form.pageCountPanel->text(), "總 1 頁");
  EXPECT_EQ(form.currentPagePanel->text(), "第 1 頁");
}

TEST_F(PrintPreviewForm, PageBoxJumpsOrTellsWhyNot) {
  showReport(100);
  enter(form.fromPage, "0");
  enter(form.fromPage, "9");
  EXPECT_EQ(messages, (QStringList{"頁數不能少過零.", "頁數不能太過總頁數."}));
  EXPECT_EQ(form.GmPreview1->currentPage(), 1);
  EXPECT_EQ(form.fromPage->selectedText(), "9");

  enter(form.fromPage, "2");
  EXPECT_EQ(form.GmPreview1->currentPage(), 2);
  EXPECT_EQ(form.currentPagePanel->text(), "第 2 頁");
  EXPECT_EQ(form.fromPage->selectedText(), "2");
  EXPECT_EQ(navigation(), (std::vector<bool>{false, false, true, true}));  // a jump leaves them

  enter(form.fromPage, "abc");
  EXPECT_EQ(messages.size(), 2);
  EXPECT_EQ(form.fromPage->selectedText(), "");
  EXPECT_EQ(form.GmPreview1->currentPage(), 2);
}

TEST_F(PrintPreviewForm, ZoomStepsByTenAndNotBelowTen) {
  showReport(3);
  EXPECT_EQ(form.GmPreview1->zoom(), 80);
  form.zoomIn->click();
  EXPECT_EQ(form.GmPreview1->zoom(), 90);
  for (int i = 0; i < 20; ++i) form.zoomOut->click();
  EXPECT_EQ(form.GmPreview1->zoom(), 10);
}

TEST_F(PrintPreviewForm, PaperListSetsThePageAndItsBoxes) {
  showReport(3);
  EXPECT_EQ(form.pageSize->currentText(), "A4");
  EXPECT_TRUE(form.pageHeight->isReadOnly());
  struct Case {
    const char* name;
    const char* height;
    const char* width;
  };
  for (const Case& c : {Case{"Letter", "279.4", "215.9"}, Case{"Legal", "355.6", "215.9"},
                        Case{"A5", "210", "148"}}) {
    form.pageSize->setCurrentText(c.name);
    EXPECT_EQ(form.pageHeight->text(), c.height);
    EXPECT_EQ(form.pageWidth->text(), c.width);
    EXPECT_DOUBLE_EQ(form.preview().pageHeight(), form.pageHeight->text().toDouble());
    EXPECT_TRUE(form.pageHeight->isReadOnly() && form.pageWidth->isReadOnly());
    EXPECT_EQ(form.pageWidth->palette().color(QPalette::Base), QColor(0xC0C0C0));
  }

  form.pageSize->setCurrentText("自定");
  EXPECT_FALSE(form.pageHeight->isReadOnly() || form.pageWidth->isReadOnly());
  EXPECT_EQ(form.preview().paper(), Paper::Custom);
  EXPECT_DOUBLE_EQ(form.preview().pageHeight(), 210);
  form.pageHeight->setText("100");
  enter(form.pageWidth, "150");
  EXPECT_DOUBLE_EQ(form.preview().pageHeight(), 100);
  EXPECT_DOUBLE_EQ(form.preview().pageWidth(), 150);

  enter(form.pageHeight, "1x");
  EXPECT_EQ(messages, QStringList{"'1x' is not a valid floating point value"});
  enter(form.pageHeight, "0");
  EXPECT_EQ(messages.size(), 1);
  EXPECT_DOUBLE_EQ(form.preview().pageHeight(), 100);
}

TEST_F(PrintPreviewForm, ClosingSavesThePaperAndTheNextWindowOpensWithIt) {
  std::optional<report::PrintPreviewSetup> saved;
  form.saveSetup = [&](const report::PrintPreviewSetup& s) { saved = s; };
  showReport(3);
  form.pageSize->setCurrentText("A5");
  form.Button1->click();
  ASSERT_TRUE(saved);
  EXPECT_EQ(saved->pageSize, 2);
  EXPECT_DOUBLE_EQ(saved->pageHeight, 210);
  EXPECT_DOUBLE_EQ(saved->pageWidth, 148);
  EXPECT_FALSE(form.isVisible());

  TPrintPreviewForm next(nullptr, {}, {});
  next.loadSetup(*saved);
  EXPECT_EQ(next.pageSize->currentText(), "A5");
  EXPECT_EQ(next.pageHeight->text(), "210");
  EXPECT_EQ(next.pageWidth->text(), "148");
  EXPECT_DOUBLE_EQ(next.preview().pageWidth(), 148);

  // A custom setup keeps its typed size; commas are ignored when saving.
  next.loadSetup({8, 1234.5, 99});
  EXPECT_DOUBLE_EQ(next.preview().pageHeight(), 1234.5);
  next.pageHeight->setText("1,000");
  EXPECT_DOUBLE_EQ(next.currentSetup()->pageHeight, 1000);
  next.pageWidth->setText("");
  EXPECT_DOUBLE_EQ(next.currentSetup()->pageWidth, 0);
  next.pageWidth->setText("wide");
  EXPECT_FALSE(next.currentSetup());
}

TEST_F(PrintPreviewForm, PrintsTheRangeCutToThePageCountAndTheCurrentPage) {
  showReport(100);
  form.toPage->setText("99");
  form.printButton->click();
  EXPECT_EQ(printedPages(), 3);

  QFile::remove(pdf);
  form.uNext->click();
  form.printCurrentButton->click();
  EXPECT_EQ(printedPages(), 1);
  const QString text = runTool(TORVIK_PDFTOTEXT, {pdf, "-"});
  EXPECT_TRUE(text.contains(recordName(44)) && !text.contains(recordName(43)));

  QFile::remove(pdf);
  form.toPage->setText("x");
  form.printButton->click();
  EXPECT_EQ(messages, QStringList{"'x' is not a valid integer value"});
  EXPECT_FALSE(QFile::exists(pdf));
}

TEST_F(PrintPreviewForm, FailuresOfPrinterAndWriterAreTold) {
  showReport(3);
  form.makePrinter = [this](int) {
    auto printer = std::make_unique<QPrinter>();
    printer->setOutputFormat(QPrinter::PdfFormat);
    printer->setOutputFileName(QString::fromStdString(dir.file("missing/printed.pdf")));
    return printer;
  };
  form.printButton->click();
  EXPECT_EQ(messages, QStringList{"The printer could not be started."});

  form.chooseExportFile = [this] { return QString::fromStdString(dir.file("missing/list.csv")); };
  form.exportButton->click();
  ASSERT_EQ(messages.size(), 2);
  EXPECT_TRUE(messages[1].contains("missing/list.csv")) << messages[1].toStdString();
  EXPECT_TRUE(asked.isEmpty());
}

TEST_F(PrintPreviewForm, FooterBoxShowsOnlyWithTheFooter) {
  showReport(3);
  EXPECT_FALSE(form.printFooter->isVisible());

  TPrintPreviewForm withFooter(nullptr, {}, {});
  withFooter.preview().footer().visible = true;
  withFooter.show();
  EXPECT_TRUE(withFooter.printFooter->isVisible());
  EXPECT_TRUE(withFooter.printFooter->isChecked());
  withFooter.printFooter->click();
  EXPECT_EQ(withFooter.preview().footer().caption, "總 {NUMPAGES} 頁   第 {PAGE} 頁");
  withFooter.printFooter->click();
  EXPECT_EQ(withFooter.preview().footer().caption, "總 {NUMPAGES} 頁   第 {PAGE} 頁  列印日期: {DATE} {TIME}");
}

TEST_F(PrintPreviewForm, ExportNeedsAGridAndAsksBeforeOpening) {
  form.show();
  EXPECT_FALSE(form.exportButton->isVisible());
  form.exportButtonClick();
  EXPECT_EQ(messages, QStringList{"無法使用這功能."});
  form.hide();

  TPrintPreviewForm withGrid(
      nullptr, [&](const QString& text, QWidget*) { messages << text; },
      [&](const QString& text, QWidget*, bool) { asked << text; return false; });
  grid = recordListGrid(2);
  withGrid.printHeader("Torvik 公司", "資料列表", "總數: 2");
  withGrid.printGrid(grid, 50, 150, 5);
  const QString file = QString::fromStdString(dir.file("list.xls"));
  withGrid.chooseExportFile = [&] { return file; };
  withGrid.show();
  ASSERT_TRUE(withGrid.exportButton->isVisible());
  withGrid.exportButton->click();
  EXPECT_EQ(asked, QStringList{report::exportDoneQuestion(2, file)});
  EXPECT_TRUE(QFile::exists(file));
}

}  // namespace
