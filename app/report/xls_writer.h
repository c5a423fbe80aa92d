// Writes an export sheet as an Excel 97-2003 workbook: a BIFF8 "Workbook"
// stream in an OLE2 compound document, with one worksheet.
#pragma once

#include <QString>

#include <string>

#include "app/report/export_sheet.h"

namespace report {

// The BIFF8 "Workbook" stream for `sheet`. Texts go to the shared string
// table as UTF-16; cells of number columns whose text reads as a number are
// NUMBER cells; every non-empty cell of a number column is bold with the
// format "#,##0.00". Empty texts leave their cell blank. Throws
// std::length_error beyond 65536 rows or 256 columns.
std::string xlsWorkbookStream(const ExportSheet& sheet);

// Writes the workbook to `fileName`; throws std::runtime_error on failure.
void writeXls(const ExportSheet& sheet, const QString& fileName);

}  // namespace report
