#include "app/report/xlsx_writer.h"

#include <QFile>

#include <xlsxwriter.h>

#include <stdexcept>
#include <string>

namespace report {

namespace {

void check(lxw_error error) {
  if (error != LXW_NO_ERROR) throw std::runtime_error(lxw_strerror(error));
}

}  // namespace

void writeXlsx(const ExportSheet& sheet, const QString& fileName) {
  lxw_workbook* book = workbook_new(QFile::encodeName(fileName).constData());
  if (!book) throw std::runtime_error("cannot create " + fileName.toStdString());
  try {
    lxw_worksheet* ws = workbook_add_worksheet(book, "Sheet1");
    lxw_format* numberFormat = workbook_add_format(book);
    format_set_bold(numberFormat);
    format_set_num_format(numberFormat, "#,##0.00");
    if (!ws || !numberFormat) throw std::runtime_error("cannot create the worksheet");

    for (int c = 0; c < sheet.columnCount; ++c) {
      // A column of n characters shows about 7 n + 5 pixels.
      const double chars = std::max(0.0, (sheet.columnWidths[c] - 5) / 7.0);
      check(worksheet_set_column(ws, c, c, chars, nullptr));
    }
    for (size_t r = 0; r < sheet.rows.size(); ++r) {
      for (int c = 0; c < sheet.columnCount; ++c) {
        const QString& text = sheet.rows[r][c];
        if (text.isEmpty()) continue;
        const auto row = static_cast<lxw_row_t>(r);
        const auto col = static_cast<lxw_col_t>(c);
        if (!sheet.isNumberColumn(c)) {
          check(worksheet_write_string(ws, row, col, text.toUtf8().constData(), nullptr));
        } else if (const auto value = readNumber(text)) {
          check(worksheet_write_number(ws, row, col, *value, numberFormat));
        } else {
          check(worksheet_write_string(ws, row, col, text.toUtf8().constData(), numberFormat));
        }
      }
    }
  } catch (...) {
    workbook_close(book);
    throw;
  }
  check(workbook_close(book));
}

}  // namespace report
