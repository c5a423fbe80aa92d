#include "app/report/text_writers.h"

#include <QFile>

#include <stdexcept>

namespace report {

namespace {

QString csvField(const QString& text) {
  if (!text.contains(u',') && !text.contains(u'"') && !text.contains(u'\r') && !text.contains(u'\n'))
    return text;
  QString quoted = text;
  quoted.replace(u'"', QStringLiteral("\"\""));
  return u'"' + quoted + u'"';
}

QString rtfEscaped(const QString& text) {
  QString out;
  for (QChar ch : text) {
    const char16_t u = ch.unicode();
    if (u == u'\\' || u == u'{' || u == u'}') {
      out += u'\\';
      out += ch;
    } else if (u == u'\n') {
      out += QStringLiteral("\\line ");
    } else if (u == u'\t') {
      out += QStringLiteral("\\tab ");
    } else if (u == u'\r') {
      continue;
    } else if (u >= 0x20 && u < 0x80) {
      out += ch;
    } else {
      // RTF takes the code unit as a signed 16-bit number; '?' stands in
      // for readers without Unicode.
      out += QStringLiteral("\\u%1?").arg(static_cast<int16_t>(u));
    }
  }
  return out;
}

}  // namespace

QByteArray csvText(const ExportSheet& sheet) {
  QString text;
  for (const auto& row : sheet.rows) {
    for (int c = 0; c < sheet.columnCount; ++c) {
      if (c > 0) text += u',';
      text += csvField(row[c]);
    }
    text += QStringLiteral("\r\n");
  }
  return QByteArray("\xEF\xBB\xBF") + text.toUtf8();
}

QByteArray htmlText(const ExportSheet& sheet) {
  QString html = QStringLiteral(
      "<!DOCTYPE html>\n<html>\n<head>\n<meta charset=\"utf-8\">\n</head>\n<body>\n"
      "<table border=\"1\" cellspacing=\"0\" cellpadding=\"2\">\n");
  for (const auto& row : sheet.rows) {
    html += QStringLiteral("<tr>");
    for (int c = 0; c < sheet.columnCount; ++c) {
      html += sheet.isNumberColumn(c) ? QStringLiteral("<td align=\"right\">") : QStringLiteral("<td>");
      html += row[c].toHtmlEscaped().replace(u'\n', QStringLiteral("<br>"));
      html += QStringLiteral("</td>");
    }
    html += QStringLiteral("</tr>\n");
  }
  html += QStringLiteral("</table>\n</body>\n</html>\n");
  return html.toUtf8();
}

QByteArray rtfText(const ExportSheet& sheet) {
  // Column edges in twips: 15 twips to the pixel.
  QString rowDefinition = QStringLiteral("\\trowd\\trgaph60");
  int edge = 0;
  for (int c = 0; c < sheet.columnCount; ++c) {
    edge += sheet.columnWidths[c] * 15;
    rowDefinition += QStringLiteral("\\cellx%1").arg(edge);
  }
  QString rtf = QStringLiteral("{\\rtf1\\ansi\\ansicpg1252\\deff0\\uc1"
                               "{\\fonttbl{\\f0\\fnil\\fcharset136 PMingLiU;}}\n");
  for (const auto& row : sheet.rows) {
    rtf += rowDefinition + u'\n';
    for (int c = 0; c < sheet.columnCount; ++c) {
      rtf += sheet.isNumberColumn(c) ? QStringLiteral("\\pard\\intbl\\qr ") : QStringLiteral("\\pard\\intbl ");
      rtf += rtfEscaped(row[c]) + QStringLiteral("\\cell\n");
    }
    rtf += QStringLiteral("\\row\n");
  }
  rtf += QStringLiteral("}\n");
  return rtf.toLatin1();  // escaped to plain ASCII above
}

void writeBytes(const QByteArray& bytes, const QString& fileName) {
  QFile file(fileName);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size() ||
      !file.flush())
    throw std::runtime_error("cannot write " + fileName.toStdString() + ": " +
                             file.errorString().toStdString());
}

}  // namespace report
