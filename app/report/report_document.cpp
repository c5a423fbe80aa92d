#include "app/report/report_document.h"

#include <QFont>

#include <stdexcept>

#include "app/report/report_units.h"

namespace report {

QString reportTypeface() {
  static const QString family = [] {
    const QString name = QStringLiteral("細明體");
    QFont::insertSubstitutions(name, {QStringLiteral("AR PL UMing TW"),
                                      QStringLiteral("AR PL UMing TW MBE"),
                                      QStringLiteral("Noto Serif CJK TC")});
    return name;
  }();
  return family;
}

QString expandFooterCaption(const QString& caption, int page, int pageCount,
                            const QString& date, const QString& time) {
  QString text = caption;
  text.replace(QStringLiteral("{NUMPAGES}"), QString::number(pageCount));
  text.replace(QStringLiteral("{PAGE}"), QString::number(page));
  text.replace(QStringLiteral("{DATE}"), date);
  text.replace(QStringLiteral("{TIME}"), time);
  return text;
}

ReportDocument::ReportDocument() : paperSize_(paperSizeMm(Paper::A4)) {
  footer_.caption = QStringLiteral("總 {NUMPAGES} 頁   第 {PAGE} 頁  列印日期: {DATE} {TIME}");
  footer_.font = {reportTypeface(), pixelsToPoints(13), false};
  clear();
}

void ReportDocument::clear() { pages_.assign(1, ReportPage{}); }

ReportPage& ReportDocument::addPage() { return pages_.emplace_back(); }

int ReportDocument::fontIndex(const ReportFont& font) {
  for (size_t i = 0; i < fonts_.size(); ++i)
    if (fonts_[i] == font) return static_cast<int>(i);
  fonts_.push_back(font);
  return static_cast<int>(fonts_.size() - 1);
}

void ReportDocument::setPaper(Paper paper) {
  if (paper == Paper::Custom) {
    paper_ = Paper::Custom;  // keeps the present size until one is given
    return;
  }
  paper_ = paper;
  paperSize_ = paperSizeMm(paper);
}

void ReportDocument::setCustomPage(double widthMm, double heightMm) {
  if (!(widthMm > 0) || !(heightMm > 0))
    throw std::invalid_argument("page size must be positive");
  paper_ = Paper::Custom;
  paperSize_ = landscape_ ? QSizeF(heightMm, widthMm) : QSizeF(widthMm, heightMm);
}

double ReportDocument::pageWidth() const {
  return landscape_ ? paperSize_.height() : paperSize_.width();
}

double ReportDocument::pageHeight() const {
  return landscape_ ? paperSize_.width() : paperSize_.height();
}

}  // namespace report
