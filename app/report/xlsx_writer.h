// Writes an export sheet as an Excel 2007+ workbook (.xlsx), with the same
// cell rules as the Excel 97-2003 writer.
#pragma once

#include <QString>

#include "app/report/export_sheet.h"

namespace report {

// Throws std::runtime_error when the workbook cannot be written.
void writeXlsx(const ExportSheet& sheet, const QString& fileName);

}  // namespace report
