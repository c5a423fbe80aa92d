// The paper sizes a report can be laid out on, in the order of the preview's
// paper list; the last one takes its size from the user.
#pragma once

#include <QSizeF>
#include <QString>
#include <QStringList>

namespace report {

enum class Paper { A3, A4, A5, A6, B5, C5, Letter, Legal, Custom };

inline constexpr int kPaperCount = 9;

// Captions of the paper list, indexed like Paper.
QStringList paperNames();

// Portrait width and height in millimetres. Custom has no size of its own
// and answers an empty size.
QSizeF paperSizeMm(Paper paper);

// The paper for an index of the paper list; out of range gives A4.
Paper paperFromIndex(int index);
inline int paperIndex(Paper paper) { return static_cast<int>(paper); }

}  // namespace report
