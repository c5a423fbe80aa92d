// The export of a report's grid to a file the user names: the choice of the
// writer by the file's ending, the texts of the exchange with the user, and
// the whole exchange with the window's dialogs given as hooks.
#pragma once

#include <QString>

#include <functional>
#include <optional>

#include "app/report/export_sheet.h"
#include "app/report/report_grid.h"
#include "app/report/report_layout.h"

namespace report {

enum class ExportFormat { Xls, Xlsx, Csv, Html, Doc };

// The writer for a file name, by its ending in any case: ".xls", ".xlsx",
// ".csv", ".htm" or ".doc". Other endings have none.
std::optional<ExportFormat> exportFormatFor(const QString& fileName);

// Writes `sheet` to `fileName` in `format`; throws on failure.
void writeExportFile(const ExportSheet& sheet, const QString& fileName, ExportFormat format);

// The save dialog's filter in the pipe form "caption|pattern|...", and the
// same entries in the form of Qt's file dialogs.
QString exportFilter();
QString exportDialogFilter();
inline const QString kExportDefaultSuffix = QStringLiteral("xls");

inline const QString kExportUnavailable = QStringLiteral("無法使用這功能.");
inline const QString kReplaceFileQuestion = QStringLiteral("檔案存在, 取代它嗎?");
// The closing question: `records` is the grid's row count without its caption row.
QString exportDoneQuestion(int records, const QString& fileName);

struct ExportHooks {
  std::function<QString()> chooseFile;  // empty text when the user cancels
  std::function<void(const QString&)> showMessage;
  std::function<bool(const QString&)> askYesNo;  // the no button first
  std::function<void(const QString&)> openFile;
  std::function<void(bool busy)> setBusy;        // hourglass cursor on and off
};

// The export as the preview's export button runs it. Without a grid, or for a
// file name no writer takes, the user is told kExportUnavailable and nothing
// is written. An existing file is replaced only when the user agrees, and is
// deleted first. Writer errors propagate, with the busy cursor taken back.
// Answers whether a file was written.
bool exportReport(const ReportGrid* grid, const ReportHeader& header, int lastTextColumn,
                  const ExportHooks& hooks);

}  // namespace report
