// Writers of an export sheet as text files: comma-separated values, a web
// page and a word-processor document.
#pragma once

#include <QString>

#include "app/report/export_sheet.h"

namespace report {

// RFC 4180: UTF-8 with a byte-order mark, CRLF between records, fields with
// a comma, quote or line break quoted and their quotes doubled.
QByteArray csvText(const ExportSheet& sheet);

// A UTF-8 HTML page holding the sheet as one table; number columns are
// right-aligned.
QByteArray htmlText(const ExportSheet& sheet);

// An RTF document holding the sheet as a table, which word processors open
// under a ".doc" name; characters beyond ASCII are written as \uN? escapes.
QByteArray rtfText(const ExportSheet& sheet);

// Writes `bytes` to `fileName`; throws std::runtime_error on failure.
void writeBytes(const QByteArray& bytes, const QString& fileName);

}  // namespace report
