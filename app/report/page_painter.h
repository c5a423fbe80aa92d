// Renders report pages with QPainter, so that the preview on screen, a
// printer and a PDF file all show the same pages.
#pragma once

#include <QDateTime>
#include <QRectF>

#include "app/report/report_document.h"

class QPainter;
class QPrinter;

namespace report {

// Paints page `index` (0-based) of `document` into `target`, a rectangle in
// the painter's coordinates that stands for the whole sheet. The footer, when
// visible, shows `printedAt` for {DATE} and {TIME}.
void paintPage(QPainter& painter, const ReportDocument& document, int index,
               const QRectF& target, const QDateTime& printedAt);

// Gives `printer` the report's paper and orientation, edge to edge.
void configurePrinter(QPrinter& printer, const ReportDocument& document);

// Prints pages fromPage..toPage (1-based, both included) on `printer`. An end
// beyond the last page stops at the last page; a start below 1 starts at 1.
// Answers the number of pages sent; throws when the printer cannot start.
int printReport(const ReportDocument& document, QPrinter& printer, int fromPage, int toPage,
                const QDateTime& printedAt = QDateTime::currentDateTime());

}  // namespace report
