#include "app/report/paper_size.h"

namespace report {

QStringList paperNames() {
  return {"A3", "A4", "A5", "A6", "B5", "C5", "Letter", "Legal", "自定"};
}

QSizeF paperSizeMm(Paper paper) {
  switch (paper) {
    case Paper::A3: return {297, 420};
    case Paper::A4: return {210, 297};
    case Paper::A5: return {148, 210};
    case Paper::A6: return {105, 148};
    case Paper::B5: return {182, 257};  // B5 of the printer drivers is JIS B5
    case Paper::C5: return {162, 229};
    case Paper::Letter: return {215.9, 279.4};
    case Paper::Legal: return {215.9, 355.6};
    case Paper::Custom: break;
  }
  return {};
}

Paper paperFromIndex(int index) {
  if (index < 0 || index >= kPaperCount) return Paper::A4;
  return static_cast<Paper>(index);
}

}  // namespace report
