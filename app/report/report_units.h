// Units of the report pages. Pages are measured in millimetres; the callers
// that place things on them think in screen pixels of 1/96 inch, and fonts
// are given in typographic points of 1/72 inch.
#pragma once

namespace report {

inline constexpr double kMmPerInch = 25.4;
inline constexpr double kPixelsPerInch = 96.0;
inline constexpr double kPointsPerInch = 72.0;

constexpr double pixelsToMm(double px) { return px * kMmPerInch / kPixelsPerInch; }
constexpr double mmToPixels(double mm) { return mm * kPixelsPerInch / kMmPerInch; }
constexpr double pointsToMm(double pt) { return pt * kMmPerInch / kPointsPerInch; }
constexpr double pixelsToPoints(double px) { return px * kPointsPerInch / kPixelsPerInch; }

}  // namespace report
