// A report: a list of pages of drawing operations on a sheet of paper.
// Every coordinate is in millimetres from the top-left corner of the page as
// it is oriented; the painter (page_painter.h) maps them onto a device.
#pragma once

#include <QColor>
#include <QPointF>
#include <QRectF>
#include <QString>

#include <variant>
#include <vector>

#include "app/report/paper_size.h"

namespace report {

// The typeface of the report texts: a Ming (細明體) face, mapped onto the
// Ming fonts this system has installed.
QString reportTypeface();

struct ReportFont {
  QString family;
  double pointSize = 10;
  bool bold = false;
  bool operator==(const ReportFont&) const = default;
};

// Text whose top-left corner stands at `at`, on one line.
struct TextOp {
  QPointF at;
  int font = 0;  // index into ReportDocument::fonts()
  QString text;
};

// A straight line; width in millimetres, 0 for the thinnest line the device draws.
struct LineOp {
  QPointF from, to;
  QColor color = Qt::black;
  double width = 0;
};

// Text placed in a rectangle by `alignment` and clipped to it.
struct BoxOp {
  QRectF rect;
  int font = 0;
  Qt::Alignment alignment = Qt::AlignLeft | Qt::AlignTop;
  QString text;
};

using PageOp = std::variant<TextOp, LineOp, BoxOp>;

struct ReportPage {
  std::vector<PageOp> ops;
};

struct PageMargins {
  double left = 0, top = 0, right = 0, bottom = 0;
};

// Page footer: a centre caption in the bottom margin. The caption may hold
// "{NUMPAGES}", "{PAGE}", "{DATE}" and "{TIME}".
struct ReportFooter {
  bool visible = false;
  QString caption;
  ReportFont font;
};

QString expandFooterCaption(const QString& caption, int page, int pageCount,
                            const QString& date, const QString& time);

class ReportDocument {
 public:
  ReportDocument();

  // Back to one empty page; paper, orientation, margins and footer stay.
  void clear();

  int pageCount() const { return static_cast<int>(pages_.size()); }
  const ReportPage& page(int index) const { return pages_.at(index); }
  ReportPage& page(int index) { return pages_.at(index); }
  ReportPage& addPage();

  // Font table shared by the pages; fontIndex adds a font it has not seen.
  int fontIndex(const ReportFont& font);
  const std::vector<ReportFont>& fonts() const { return fonts_; }

  void setPaper(Paper paper);
  // A custom paper on which the page, as it is oriented now, is `widthMm`
  // wide and `heightMm` high; both must be positive.
  void setCustomPage(double widthMm, double heightMm);
  Paper paper() const { return paper_; }

  void setLandscape(bool landscape) { landscape_ = landscape; }
  bool landscape() const { return landscape_; }

  // Size of the page as it is oriented.
  double pageWidth() const;
  double pageHeight() const;
  // Size of the sheet in portrait.
  QSizeF paperSize() const { return paperSize_; }

  void setMargins(double mm) { margins_ = {mm, mm, mm, mm}; }
  const PageMargins& margins() const { return margins_; }

  ReportFooter& footer() { return footer_; }
  const ReportFooter& footer() const { return footer_; }

 private:
  std::vector<ReportPage> pages_;
  std::vector<ReportFont> fonts_;
  Paper paper_ = Paper::A4;
  QSizeF paperSize_;
  bool landscape_ = false;
  PageMargins margins_;
  ReportFooter footer_;
};

}  // namespace report
