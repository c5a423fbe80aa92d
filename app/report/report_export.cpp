#include "app/report/report_export.h"

#include <QFile>
#include <QFileInfo>

#include <stdexcept>

#include "app/report/text_writers.h"
#include "app/report/xls_writer.h"
#include "app/report/xlsx_writer.h"

namespace report {

namespace {

struct FilterEntry {
  const char* caption;
  const char* pattern;
};

const FilterEntry kFilterEntries[] = {
    {"Excel File", "*.xls"}, {"Comma 分隔檔案", "*.csv"}, {"HTML", "*.htm"},
    {"DOC", "*.doc"},        {"Excel 2007+ (*.xlsx)", "*.xlsx"},
};

class BusyCursor {
 public:
  explicit BusyCursor(const std::function<void(bool)>& setBusy) : setBusy_(setBusy) {
    if (setBusy_) setBusy_(true);
  }
  ~BusyCursor() {
    if (setBusy_) setBusy_(false);
  }
  BusyCursor(const BusyCursor&) = delete;
  BusyCursor& operator=(const BusyCursor&) = delete;

 private:
  const std::function<void(bool)>& setBusy_;
};

}  // namespace

std::optional<ExportFormat> exportFormatFor(const QString& fileName) {
  const QString suffix = QFileInfo(fileName).suffix().toLower();
  if (suffix == u"xls") return ExportFormat::Xls;
  if (suffix == u"xlsx") return ExportFormat::Xlsx;
  if (suffix == u"csv") return ExportFormat::Csv;
  if (suffix == u"htm") return ExportFormat::Html;
  if (suffix == u"doc") return ExportFormat::Doc;
  return std::nullopt;
}

void writeExportFile(const ExportSheet& sheet, const QString& fileName, ExportFormat format) {
  switch (format) {
    case ExportFormat::Xls: writeXls(sheet, fileName); return;
    case ExportFormat::Xlsx: writeXlsx(sheet, fileName); return;
    case ExportFormat::Csv: writeBytes(csvText(sheet), fileName); return;
    case ExportFormat::Html: writeBytes(htmlText(sheet), fileName); return;
    case ExportFormat::Doc: writeBytes(rtfText(sheet), fileName); return;
  }
}

QString exportFilter() {
  QStringList parts;
  for (const FilterEntry& e : kFilterEntries) parts << QString::fromUtf8(e.caption) << e.pattern;
  return parts.join(u'|');
}

QString exportDialogFilter() {
  QStringList entries;
  for (const FilterEntry& e : kFilterEntries) {
    // Qt's dialogs read the patterns from the parentheses of the caption.
    const QString caption = QString::fromUtf8(e.caption);
    const QString pattern = QStringLiteral("(%1)").arg(e.pattern);
    entries << (caption.endsWith(pattern) ? caption : caption + u' ' + pattern);
  }
  return entries.join(QStringLiteral(";;"));
}

QString exportDoneQuestion(int records, const QString& fileName) {
  return QString::number(records) + QStringLiteral(" 個資料已成功輸出到") + fileName +
         QStringLiteral(", 開啟嗎?");
}

bool exportReport(const ReportGrid* grid, const ReportHeader& header, int lastTextColumn,
                  const ExportHooks& hooks) {
  if (!grid) {
    hooks.showMessage(kExportUnavailable);
    return false;
  }
  const QString fileName = hooks.chooseFile();
  if (fileName.isEmpty()) return false;
  const std::optional<ExportFormat> format = exportFormatFor(fileName);
  if (!format) {
    hooks.showMessage(kExportUnavailable);
    return false;
  }
  if (QFileInfo::exists(fileName)) {
    if (!hooks.askYesNo(kReplaceFileQuestion)) return false;
    if (!QFile::remove(fileName))
      throw std::runtime_error("cannot replace " + fileName.toStdString());
  }
  {
    BusyCursor busy(hooks.setBusy);
    writeExportFile(buildExportSheet(*grid, header, lastTextColumn), fileName, *format);
  }
  if (hooks.askYesNo(exportDoneQuestion(grid->rowCount() - 1, fileName))) hooks.openFile(fileName);
  return true;
}

}  // namespace report
