#include "app/report/xls_writer.h"

#include <QFile>
#include <QHash>

#include <gsf/gsf-outfile-msole.h>
#include <gsf/gsf-outfile.h>
#include <gsf/gsf-output-stdio.h>

#include <cstring>
#include <stdexcept>
#include <vector>

namespace report {

namespace {

// Record types of BIFF8.
enum : uint16_t {
  kBof = 0x0809,
  kEof = 0x000A,
  kCodePage = 0x0042,
  kWindow1 = 0x003D,
  kFont = 0x0031,
  kFormat = 0x041E,
  kXf = 0x00E0,
  kStyle = 0x0293,
  kBoundSheet = 0x0085,
  kSst = 0x00FC,
  kContinue = 0x003C,
  kExtSst = 0x00FF,
  kDimensions = 0x0200,
  kColInfo = 0x007D,
  kWindow2 = 0x023E,
  kLabelSst = 0x00FD,
  kNumber = 0x0203,
};

constexpr size_t kMaxRecordBody = 8224;
constexpr int kMaxRows = 65536;
constexpr int kMaxColumns = 256;
// Excel reads a workbook stream shorter than this from the compound
// document's small-block area unreliably, so shorter streams are padded.
constexpr size_t kMinStreamSize = 4096;

constexpr uint16_t kNumberFormat = 164;  // first index free for own formats
constexpr uint16_t kBoldFont = 5;        // font index 4 does not exist in BIFF
constexpr uint16_t kCellXf = 15;
constexpr uint16_t kNumberXf = 16;

class Bytes {
 public:
  void u8(uint8_t v) { data_.push_back(static_cast<char>(v)); }
  void u16(uint16_t v) { u8(v & 0xFF); u8(v >> 8); }
  void u32(uint32_t v) { u16(v & 0xFFFF); u16(v >> 16); }
  void f64(double v) {
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    u32(static_cast<uint32_t>(bits));
    u32(static_cast<uint32_t>(bits >> 32));
  }
  void utf16(const QString& s) {
    for (QChar ch : s) u16(ch.unicode());
  }
  // Strings of the header records: 8-bit length, flags (1: UTF-16), chars.
  void shortString(const QString& s) { u8(static_cast<uint8_t>(s.size())); u8(1); utf16(s); }
  // 16-bit length, flags, chars.
  void longString(const QString& s) { u16(static_cast<uint16_t>(s.size())); u8(1); utf16(s); }
  void append(const Bytes& other) { data_ += other.data_; }
  void patch32(size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) data_[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
  }

  size_t size() const { return data_.size(); }
  const std::string& data() const { return data_; }
  std::string& data() { return data_; }

 private:
  std::string data_;
};

class Stream {
 public:
  void record(uint16_t type, const Bytes& body) {
    out_.u16(type);
    out_.u16(static_cast<uint16_t>(body.size()));
    out_.append(body);
  }
  size_t position() const { return out_.size(); }
  Bytes& bytes() { return out_; }

 private:
  Bytes out_;
};

void bof(Stream& s, uint16_t kind) {
  Bytes b;
  b.u16(0x0600);  // BIFF8
  b.u16(kind);
  b.u16(0x0DBB);
  b.u16(0x07CC);
  b.u32(0);
  b.u32(0x06);
  s.record(kBof, b);
}

void font(Stream& s, bool bold) {
  Bytes b;
  b.u16(200);              // 10 points in twips
  b.u16(bold ? 0x01 : 0);  // option flags, bold bit as Excel writes it
  b.u16(0x7FFF);           // automatic colour
  b.u16(bold ? 700 : 400);
  b.u16(0);  // no escapement
  b.u8(0);   // no underline
  b.u8(0);   // family
  b.u8(1);   // default character set
  b.u8(0);
  b.shortString(QStringLiteral("Arial"));
  s.record(kFont, b);
}

void xf(Stream& s, uint16_t fontIndex, uint16_t format, bool style, uint8_t used) {
  Bytes b;
  b.u16(fontIndex);
  b.u16(format);
  b.u16(style ? 0xFFF5 : 0x0001);  // locked; style XFs have no parent
  b.u8(0x20);                      // bottom aligned
  b.u8(0);
  b.u8(0);
  b.u8(used);
  b.u32(0);       // no borders
  b.u32(0);
  b.u16(0x20C0);  // pattern colours: system foreground and background
  s.record(kXf, b);
}

// The shared string table, split into CONTINUE records where it outgrows a
// record; a string split across records repeats its flags byte.
class SharedStrings {
 public:
  uint32_t add(const QString& text) {
    ++total_;
    auto it = index_.find(text);
    if (it != index_.end()) return *it;
    const uint32_t i = static_cast<uint32_t>(strings_.size());
    index_.insert(text, i);
    strings_.push_back(text);
    return i;
  }

  void write(Stream& s) const {
    const uint16_t perBucket = static_cast<uint16_t>(std::max<size_t>(8, (strings_.size() + 127) / 128));
    struct Bucket { uint32_t streamOffset; uint16_t recordOffset; };
    std::vector<Bucket> buckets;

    uint16_t type = kSst;
    Bytes body;
    body.u32(total_);
    body.u32(static_cast<uint32_t>(strings_.size()));
    const auto flush = [&] {
      s.record(type, body);
      type = kContinue;
      body = Bytes();
    };
    for (size_t i = 0; i < strings_.size(); ++i) {
      const QString& text = strings_[i];
      if (body.size() + 5 > kMaxRecordBody) flush();  // header with its first character
      if (i % perBucket == 0)
        buckets.push_back({static_cast<uint32_t>(s.position() + 4 + body.size()),
                           static_cast<uint16_t>(4 + body.size())});
      body.u16(static_cast<uint16_t>(text.size()));
      body.u8(1);
      qsizetype at = 0;
      while (at < text.size()) {
        size_t room = (kMaxRecordBody - body.size()) / 2;
        if (room == 0) {
          flush();
          body.u8(1);
          room = (kMaxRecordBody - body.size()) / 2;
        }
        const qsizetype take = std::min<qsizetype>(room, text.size() - at);
        body.utf16(text.mid(at, take));
        at += take;
      }
    }
    flush();

    Bytes ext;
    ext.u16(perBucket);
    for (const Bucket& b : buckets) {
      ext.u32(b.streamOffset);
      ext.u16(b.recordOffset);
      ext.u16(0);
    }
    s.record(kExtSst, ext);
  }

 private:
  std::vector<QString> strings_;
  QHash<QString, uint32_t> index_;
  uint32_t total_ = 0;
};

struct Cell {
  uint16_t row, column, xf;
  bool number;
  double value;
  uint32_t string;
};

void checkLimits(const ExportSheet& sheet) {
  if (sheet.rows.size() > static_cast<size_t>(kMaxRows))
    throw std::length_error("an Excel 97-2003 sheet holds at most 65536 rows");
  if (sheet.columnCount > kMaxColumns)
    throw std::length_error("an Excel 97-2003 sheet holds at most 256 columns");
}

}  // namespace

std::string xlsWorkbookStream(const ExportSheet& sheet) {
  checkLimits(sheet);
  SharedStrings strings;
  std::vector<Cell> cells;
  for (size_t r = 0; r < sheet.rows.size(); ++r) {
    for (int c = 0; c < sheet.columnCount; ++c) {
      const QString& text = sheet.rows[r][c];
      if (text.isEmpty()) continue;
      Cell cell{static_cast<uint16_t>(r), static_cast<uint16_t>(c), kCellXf, false, 0, 0};
      if (sheet.isNumberColumn(c)) {
        cell.xf = kNumberXf;
        if (const auto value = readNumber(text)) {
          cell.number = true;
          cell.value = *value;
        }
      }
      if (!cell.number) cell.string = strings.add(text);
      cells.push_back(cell);
    }
  }

  Stream s;
  bof(s, 0x0005);
  { Bytes b; b.u16(1200); s.record(kCodePage, b); }  // UTF-16
  {
    Bytes b;
    for (uint16_t v : {0x0000, 0x0000, 0x4000, 0x2000, 0x0038, 0, 0, 1, 0x0258}) b.u16(v);
    s.record(kWindow1, b);
  }
  for (int i = 0; i < 4; ++i) font(s, false);
  font(s, true);
  {
    Bytes b;
    b.u16(kNumberFormat);
    b.longString(QStringLiteral("#,##0.00"));
    s.record(kFormat, b);
  }
  xf(s, 0, 0, true, 0x00);
  for (int i = 1; i < kCellXf; ++i) xf(s, 0, 0, true, 0xF4);
  xf(s, 0, 0, false, 0x00);
  xf(s, kBoldFont, kNumberFormat, false, 0x0C);  // own number format and font
  {
    Bytes b;
    b.u16(0x8000);  // built-in style "Normal" on XF 0
    b.u8(0);
    b.u8(0xFF);
    s.record(kStyle, b);
  }
  size_t sheetOffsetAt;
  {
    Bytes b;
    b.u32(0);  // stream offset of the sheet, filled in below
    b.u8(0);   // visible
    b.u8(0);   // worksheet
    b.shortString(QStringLiteral("Sheet1"));
    sheetOffsetAt = s.position() + 4;
    s.record(kBoundSheet, b);
  }
  strings.write(s);
  s.record(kEof, Bytes());

  s.bytes().patch32(sheetOffsetAt, static_cast<uint32_t>(s.position()));
  bof(s, 0x0010);
  {
    Bytes b;
    b.u32(0);
    b.u32(static_cast<uint32_t>(sheet.rows.size()));
    b.u16(0);
    b.u16(static_cast<uint16_t>(sheet.columnCount));
    b.u16(0);
    s.record(kDimensions, b);
  }
  for (int c = 0; c < sheet.columnCount; ++c) {
    // Widths count 1/256 of the default font's digit, 7 pixels wide.
    const int width = std::clamp(sheet.columnWidths[c] * 256 / 7, 0, 0xFFFF);
    Bytes b;
    b.u16(static_cast<uint16_t>(c));
    b.u16(static_cast<uint16_t>(c));
    b.u16(static_cast<uint16_t>(width));
    b.u16(kCellXf);
    b.u16(0);
    b.u16(0);
    s.record(kColInfo, b);
  }
  {
    Bytes b;
    for (uint16_t v : {0x06B6, 0, 0, 0x40, 0, 0, 0}) b.u16(v);
    b.u32(0);
    s.record(kWindow2, b);
  }
  for (const Cell& cell : cells) {
    Bytes b;
    b.u16(cell.row);
    b.u16(cell.column);
    b.u16(cell.xf);
    if (cell.number) {
      b.f64(cell.value);
      s.record(kNumber, b);
    } else {
      b.u32(cell.string);
      s.record(kLabelSst, b);
    }
  }
  s.record(kEof, Bytes());

  std::string stream = std::move(s.bytes().data());
  if (stream.size() < kMinStreamSize) stream.resize(kMinStreamSize, '\0');
  return stream;
}

void writeXls(const ExportSheet& sheet, const QString& fileName) {
  const std::string stream = xlsWorkbookStream(sheet);

  GError* error = nullptr;
  GsfOutput* file = gsf_output_stdio_new(QFile::encodeName(fileName).constData(), &error);
  if (!file) {
    const std::string message = error ? error->message : "cannot create the file";
    if (error) g_error_free(error);
    throw std::runtime_error(message);
  }
  GsfOutfile* ole = gsf_outfile_msole_new(file);
  GsfOutput* workbook = gsf_outfile_new_child(ole, "Workbook", FALSE);
  bool ok = gsf_output_write(workbook, stream.size(), reinterpret_cast<const guint8*>(stream.data()));
  ok = gsf_output_close(workbook) && ok;
  g_object_unref(workbook);
  ok = gsf_output_close(GSF_OUTPUT(ole)) && ok;
  g_object_unref(ole);
  if (!gsf_output_is_closed(file)) ok = gsf_output_close(file) && ok;
  g_object_unref(file);
  if (!ok) throw std::runtime_error("writing the workbook failed: " + fileName.toStdString());
}

}  // namespace report
