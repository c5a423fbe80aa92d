// The on-screen preview of a report: one page at a time at a zoom in percent,
// painted only when shown. Page numbers count from 1.
#pragma once

#include <QWidget>

#include "app/report/report_document.h"

namespace report {

class PagePreview : public QWidget {
  Q_OBJECT

 public:
  explicit PagePreview(const ReportDocument& document, QWidget* parent = nullptr);

  int pageCount() const { return document_.pageCount(); }
  int currentPage() const { return current_; }
  // Out-of-range pages are ignored.
  void setCurrentPage(int page);
  void firstPage() { setCurrentPage(1); }
  void previousPage() { setCurrentPage(current_ - 1); }
  void nextPage() { setCurrentPage(current_ + 1); }
  void lastPage() { setCurrentPage(pageCount()); }

  int zoom() const { return zoom_; }
  void setZoom(int percent);  // at least 1
  int zoomStep() const { return zoomStep_; }

  // Call after the document's pages or paper changed.
  void documentChanged();

  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QSize pageSizeOnScreen() const;

  const ReportDocument& document_;
  int current_ = 1;
  int zoom_ = 80;
  int zoomStep_ = 10;
};

}  // namespace report
