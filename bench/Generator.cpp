#include "Generator.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <numeric>
#include <stdexcept>
#include <string>
#include <string_view>

#include "ZipWriter.h"

namespace quorvane::bench {

namespace {

// Every source workbook offers the same two sheets of this size; references
// land inside them, so each externalLink cache stays bounded.
constexpr std::uint32_t kSourceRows = 200;
constexpr std::uint32_t kSourceCols = 8;
constexpr std::array<std::string_view, 2> kSourceSheets = {"Data", "Q1 Figures"};
constexpr std::size_t kChunkBytes = 1 << 16;

constexpr std::string_view kXmlDecl = R"(<?xml version="1.0" encoding="UTF-8" standalone="yes"?>)"
                                      "\n";
constexpr std::string_view kMainNs = "http://schemas.openxmlformats.org/spreadsheetml/2006/main";
constexpr std::string_view kRelNs =
    "http://schemas.openxmlformats.org/officeDocument/2006/relationships";
constexpr std::string_view kPkgRelNs = "http://schemas.openxmlformats.org/package/2006/relationships";

std::uint64_t Mix(std::uint64_t x) {
  x += 0x9e3779b97f4a7c15ull;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
  return x ^ (x >> 31);
}

std::uint64_t Hash(std::uint64_t seed, std::uint64_t a, std::uint64_t b = 0, std::uint64_t c = 0,
                   std::uint64_t d = 0) {
  return Mix(Mix(Mix(Mix(seed ^ Mix(a)) ^ b) ^ c) ^ d);
}

void AppendUint(std::string& out, std::uint64_t v) {
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}

void AppendNumber(std::string& out, double v) {
  char buf[32];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}

void AppendEscaped(std::string& out, std::string_view text) {
  for (char ch : text) {
    switch (ch) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += ch;
    }
  }
}

std::string ColumnName(std::uint32_t col) {
  std::string name;
  for (std::uint32_t n = col + 1; n > 0; n = (n - 1) / 26) {
    name.insert(name.begin(), static_cast<char>('A' + (n - 1) % 26));
  }
  return name;
}

std::string SheetName(int sheet) { return "Sheet" + std::to_string(sheet + 1); }

enum class Kind { Number, Text, Local, External };

struct Cell {
  Kind kind = Kind::Number;
  std::uint64_t h = 0;     // drives the cell's form and values
  std::uint32_t book = 0;  // 0-based source, for external cells
};

// Where an external formula points, and how it uses the value.
struct ExternalRef {
  enum Form { Plain, Scaled, PairSum };
  std::uint32_t book = 0;
  std::uint32_t sheet = 0;
  std::uint32_t row = 0;
  std::uint32_t col = 0;
  Form form = Plain;
};

ExternalRef RefOf(const Cell& c) {
  ExternalRef r;
  r.book = c.book;
  const auto pick = (c.h >> 8) % 10;
  r.form = pick < 6 ? ExternalRef::Plain : pick < 8 ? ExternalRef::Scaled : ExternalRef::PairSum;
  r.sheet = (c.h >> 16) % 4 == 0 ? 1 : 0;
  r.row = static_cast<std::uint32_t>((c.h >> 24) % kSourceRows);
  const std::uint32_t cols = r.form == ExternalRef::PairSum ? kSourceCols - 1 : kSourceCols;
  r.col = static_cast<std::uint32_t>((c.h >> 40) % cols);
  return r;
}

// Which kind each cell of one sheet is. An affine permutation of the cell
// index ranks the cells, so every kind gets exactly its share, scattered.
class SheetLayout {
 public:
  SheetLayout(const Shape& shape, std::uint64_t seed, int sheet)
      : counts_(CountsFor(shape)),
        seed_(seed),
        sheet_(static_cast<std::uint64_t>(sheet)),
        cols_(static_cast<std::uint32_t>(shape.cols)),
        sources_(static_cast<std::uint32_t>(std::max(shape.sources, 1))) {
    const std::uint64_t n = counts_.cells;
    step_ = n == 1 ? 1 : Hash(seed, 0x7065726d, sheet_) % n;
    while (step_ == 0 || std::gcd(step_, n) != 1) step_ = (step_ + 1) % n;
    offset_ = Hash(seed, 0x6f666673, sheet_) % n;
  }

  Cell At(std::uint32_t row, std::uint32_t col) const {
    const std::uint64_t i = static_cast<std::uint64_t>(row) * cols_ + col;
    const std::uint64_t rank = (step_ * i + offset_) % counts_.cells;
    Cell c;
    c.h = Hash(seed_, 0x63656c6c, sheet_, i);
    if (rank < counts_.external) {
      c.kind = Kind::External;
      c.book = static_cast<std::uint32_t>(rank % sources_);
    } else if (rank < counts_.external + counts_.local) {
      c.kind = Kind::Local;
    } else if (rank < counts_.external + counts_.local + counts_.text) {
      c.kind = Kind::Text;
    }
    return c;
  }

 private:
  SheetCounts counts_;
  std::uint64_t seed_;
  std::uint64_t sheet_;
  std::uint32_t cols_;
  std::uint32_t sources_;
  std::uint64_t step_ = 1;
  std::uint64_t offset_ = 0;
};

class Model {
 public:
  Model(const Shape& shape, std::uint64_t seed) : shape_(shape), seed_(seed) {
    for (int s = 0; s < shape.sheets; ++s) layouts_.emplace_back(shape, seed, s);
    const auto counts = CountsFor(shape);
    const std::uint64_t texts = counts.text * static_cast<std::uint64_t>(shape.sheets);
    stringCount_ = std::clamp<std::uint64_t>(texts / 4, 1, 5000);
    columns_.reserve(static_cast<std::size_t>(shape.cols));
    for (int c = 0; c < shape.cols; ++c) columns_.push_back(ColumnName(static_cast<std::uint32_t>(c)));

    referenced_.assign(static_cast<std::size_t>(shape.sources),
                       std::vector<bool>(kSourceSheets.size() * kSourceRows * kSourceCols));
    if (counts.external > 0) {
      for (int s = 0; s < shape.sheets; ++s) {
        for (std::uint32_t r = 0; r < static_cast<std::uint32_t>(shape.rows); ++r) {
          for (std::uint32_t c = 0; c < static_cast<std::uint32_t>(shape.cols); ++c) {
            const Cell cell = layouts_[static_cast<std::size_t>(s)].At(r, c);
            if (cell.kind != Kind::External) continue;
            const ExternalRef ref = RefOf(cell);
            Mark(ref.book, ref.sheet, ref.row, ref.col);
            if (ref.form == ExternalRef::PairSum) Mark(ref.book, ref.sheet, ref.row, ref.col + 1);
          }
        }
      }
    }
    // The chart and the names read from the first and last source.
    if (shape.chart || shape.names) {
      for (std::uint32_t r = 0; r < 10; ++r) Mark(0, 0, r, 0);
    }
    if (shape.names) Mark(LastBook(), 0, 1, 1);
  }

  const Shape& shape() const { return shape_; }
  std::uint64_t seed() const { return seed_; }
  Cell At(int sheet, std::uint32_t row, std::uint32_t col) const {
    return layouts_[static_cast<std::size_t>(sheet)].At(row, col);
  }
  const std::string& Column(std::uint32_t col) const { return columns_[col]; }
  std::uint64_t StringCount() const { return stringCount_; }
  std::uint32_t LastBook() const { return static_cast<std::uint32_t>(shape_.sources - 1); }
  bool Referenced(std::uint32_t book, std::uint32_t sheet, std::uint32_t row, std::uint32_t col) const {
    return referenced_[book][Slot(sheet, row, col)];
  }

  // The value cell (row, col) of a source sheet holds, as its cache records it.
  double SourceValue(std::uint32_t book, std::uint32_t sheet, std::uint32_t row,
                     std::uint32_t col) const {
    return static_cast<double>(Hash(seed_, 0x73726376, book, sheet, Slot(sheet, row, col)) % 40000) /
           4.0;
  }

 private:
  static std::size_t Slot(std::uint32_t sheet, std::uint32_t row, std::uint32_t col) {
    return (static_cast<std::size_t>(sheet) * kSourceRows + row) * kSourceCols + col;
  }
  void Mark(std::uint32_t book, std::uint32_t sheet, std::uint32_t row, std::uint32_t col) {
    referenced_[book][Slot(sheet, row, col)] = true;
  }

  const Shape& shape_;
  std::uint64_t seed_;
  std::vector<SheetLayout> layouts_;
  std::vector<std::string> columns_;
  std::vector<std::vector<bool>> referenced_;
  std::uint64_t stringCount_ = 1;
};

void AppendSourcePrefix(std::string& out, std::uint32_t book, std::uint32_t sheet) {
  // A sheet name with a space is quoted, and the book index goes inside.
  const bool quoted = kSourceSheets[sheet].find(' ') != std::string_view::npos;
  if (quoted) out += '\'';
  out += '[';
  AppendUint(out, book + 1);
  out += ']';
  out += kSourceSheets[sheet];
  if (quoted) out += '\'';
  out += '!';
}

void AppendSourceCell(std::string& out, std::uint32_t row, std::uint32_t col, bool absolute) {
  if (absolute) out += '$';
  out += ColumnName(col);
  if (absolute) out += '$';
  AppendUint(out, row + 1);
}

std::string SharedString(std::uint64_t seed, std::uint64_t index) {
  static constexpr std::array<std::string_view, 16> kWords = {
      "North", "South", "East", "West", "Revenue", "Cost", "R&D", "Margin",
      "<Draft>", "\"Final\"", "Z\xC3\xBCrich", "Q1", "Budget", "Plan", "Actual", "Ops"};
  const std::uint64_t h = Hash(seed, 0x73747273, index);
  std::string s(kWords[h % kWords.size()]);
  s += ' ';
  s += kWords[(h >> 8) % kWords.size()];
  s += ' ';
  s += std::to_string(index + 1);
  return s;
}

class SheetStream final : public PartStream {
 public:
  SheetStream(const Model& m, int sheet, std::uint64_t* bytesOut)
      : m_(m), sheet_(sheet), bytesOut_(bytesOut) {}

  bool Next(std::string& out) override {
    const std::size_t start = out.size();
    if (!headerDone_) {
      AppendHeader(out);
      headerDone_ = true;
    }
    const auto rows = static_cast<std::uint32_t>(m_.shape().rows);
    while (row_ < rows && out.size() - start < kChunkBytes) AppendRow(out, row_++);
    bool more = row_ < rows;
    if (!more) AppendFooter(out);
    bytes_ += out.size() - start;
    if (!more) *bytesOut_ = bytes_;
    return more;
  }

 private:
  void AppendHeader(std::string& out) const {
    out += kXmlDecl;
    out += "<worksheet xmlns=\"";
    out += kMainNs;
    out += "\" xmlns:r=\"";
    out += kRelNs;
    out += "\"><dimension ref=\"A1:";
    out += m_.Column(static_cast<std::uint32_t>(m_.shape().cols - 1));
    AppendUint(out, static_cast<std::uint64_t>(m_.shape().rows));
    out += "\"/><sheetViews><sheetView ";
    if (sheet_ == 0) out += "tabSelected=\"1\" ";
    out += "workbookViewId=\"0\"/></sheetViews><sheetFormatPr defaultRowHeight=\"15\"/><sheetData>";
  }

  void AppendFooter(std::string& out) const {
    out += "</sheetData><pageMargins left=\"0.7\" right=\"0.7\" top=\"0.75\" bottom=\"0.75\" "
           "header=\"0.3\" footer=\"0.3\"/>";
    if (sheet_ == 0 && m_.shape().chart) out += "<drawing r:id=\"rId1\"/>";
    out += "</worksheet>";
  }

  void AppendRow(std::string& out, std::uint32_t row) const {
    out += "<row r=\"";
    AppendUint(out, row + 1);
    out += "\" spans=\"1:";
    AppendUint(out, static_cast<std::uint64_t>(m_.shape().cols));
    out += "\">";
    for (std::uint32_t col = 0; col < static_cast<std::uint32_t>(m_.shape().cols); ++col) {
      AppendCell(out, row, col);
    }
    out += "</row>";
  }

  void AppendCell(std::string& out, std::uint32_t row, std::uint32_t col) const {
    const Cell c = m_.At(sheet_, row, col);
    out += "<c r=\"";
    out += m_.Column(col);
    AppendUint(out, row + 1);
    out += '"';
    switch (c.kind) {
      case Kind::Number:
        out += "><v>";
        AppendNumber(out, static_cast<double>(c.h % 4000000) / 8.0);
        break;
      case Kind::Text:
        out += " t=\"s\"><v>";
        AppendUint(out, c.h % m_.StringCount());
        break;
      case Kind::Local:
        out += "><f>";
        AppendLocalFormula(out, c, row, col);
        out += "</f><v>";
        AppendNumber(out, static_cast<double>(c.h % 100000) / 4.0);
        break;
      case Kind::External:
        out += "><f>";
        AppendExternalFormula(out, c);
        break;
    }
    out += "</v></c>";
  }

  void AppendLocalFormula(std::string& out, const Cell& c, std::uint32_t row, std::uint32_t col) const {
    // Only cells to the left are read, so formulas never form a cycle.
    if (col == 0) {
      out += "ROW()*2";
      return;
    }
    const std::string& left = m_.Column(col - 1);
    switch ((c.h >> 8) % 3) {
      case 0:
        out += left;
        AppendUint(out, row + 1);
        out += "*2";
        break;
      case 1:
        out += "SUM($A";
        AppendUint(out, row + 1);
        out += ':';
        out += left;
        AppendUint(out, row + 1);
        out += ')';
        break;
      default:
        out += "ROUND(";
        out += left;
        AppendUint(out, row + 1);
        out += "/3,2)";
        break;
    }
  }

  // Writes the formula, closes <f> and opens <v> with the cached result.
  void AppendExternalFormula(std::string& out, const Cell& c) const {
    const ExternalRef r = RefOf(c);
    double value = m_.SourceValue(r.book, r.sheet, r.row, r.col);
    AppendSourcePrefix(out, r.book, r.sheet);
    switch (r.form) {
      case ExternalRef::Plain:
        AppendSourceCell(out, r.row, r.col, false);
        break;
      case ExternalRef::Scaled:
        AppendSourceCell(out, r.row, r.col, true);
        out += "*2";
        value *= 2;
        break;
      case ExternalRef::PairSum:
        AppendSourceCell(out, r.row, r.col, false);
        out += '+';
        AppendSourcePrefix(out, r.book, r.sheet);
        AppendSourceCell(out, r.row, r.col + 1, false);
        value += m_.SourceValue(r.book, r.sheet, r.row, r.col + 1);
        break;
    }
    out += "</f><v>";
    AppendNumber(out, value);
  }

  const Model& m_;
  int sheet_;
  std::uint64_t* bytesOut_;
  bool headerDone_ = false;
  std::uint32_t row_ = 0;
  std::uint64_t bytes_ = 0;
};

std::string ContentTypes(const Shape& shape) {
  std::string x(kXmlDecl);
  x += "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">"
       "<Default Extension=\"rels\" ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>"
       "<Default Extension=\"xml\" ContentType=\"application/xml\"/>"
       "<Override PartName=\"/xl/workbook.xml\" "
       "ContentType=\"application/vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml\"/>";
  for (int s = 1; s <= shape.sheets; ++s) {
    x += "<Override PartName=\"/xl/worksheets/sheet" + std::to_string(s) +
         ".xml\" ContentType=\"application/vnd.openxmlformats-officedocument.spreadsheetml.worksheet+xml\"/>";
  }
  x += "<Override PartName=\"/xl/styles.xml\" "
       "ContentType=\"application/vnd.openxmlformats-officedocument.spreadsheetml.styles+xml\"/>"
       "<Override PartName=\"/xl/sharedStrings.xml\" "
       "ContentType=\"application/vnd.openxmlformats-officedocument.spreadsheetml.sharedStrings+xml\"/>";
  for (int b = 1; b <= shape.sources; ++b) {
    x += "<Override PartName=\"/xl/externalLinks/externalLink" + std::to_string(b) +
         ".xml\" ContentType=\"application/vnd.openxmlformats-officedocument.spreadsheetml.externalLink+xml\"/>";
  }
  if (shape.chart) {
    x += "<Override PartName=\"/xl/drawings/drawing1.xml\" "
         "ContentType=\"application/vnd.openxmlformats-officedocument.drawing+xml\"/>"
         "<Override PartName=\"/xl/charts/chart1.xml\" "
         "ContentType=\"application/vnd.openxmlformats-officedocument.drawingml.chart+xml\"/>";
  }
  x += "</Types>";
  return x;
}

std::string Relationship(std::string_view id, std::string_view type, std::string_view target,
                         bool external = false) {
  std::string x = "<Relationship Id=\"";
  x += id;
  x += "\" Type=\"";
  x += kRelNs;
  x += '/';
  x += type;
  x += "\" Target=\"";
  AppendEscaped(x, target);
  x += external ? "\" TargetMode=\"External\"/>" : "\"/>";
  return x;
}

std::string Relationships(const std::string& body) {
  std::string x(kXmlDecl);
  x += "<Relationships xmlns=\"";
  x += kPkgRelNs;
  x += "\">" + body + "</Relationships>";
  return x;
}

// Ids: sheets first, then styles, shared strings and the links.
std::string LinkRelId(const Shape& shape, int book) {
  return "rId" + std::to_string(shape.sheets + 2 + book);
}

std::string WorkbookRels(const Shape& shape) {
  std::string body;
  for (int s = 1; s <= shape.sheets; ++s) {
    body += Relationship("rId" + std::to_string(s), "worksheet",
                         "worksheets/sheet" + std::to_string(s) + ".xml");
  }
  body += Relationship("rId" + std::to_string(shape.sheets + 1), "styles", "styles.xml");
  body += Relationship("rId" + std::to_string(shape.sheets + 2), "sharedStrings", "sharedStrings.xml");
  for (int b = 1; b <= shape.sources; ++b) {
    body += Relationship(LinkRelId(shape, b), "externalLink",
                         "externalLinks/externalLink" + std::to_string(b) + ".xml");
  }
  return Relationships(body);
}

std::string WorkbookXml(const Shape& shape) {
  std::string x(kXmlDecl);
  x += "<workbook xmlns=\"";
  x += kMainNs;
  x += "\" xmlns:r=\"";
  x += kRelNs;
  x += "\"><workbookPr defaultThemeVersion=\"124226\"/><bookViews><workbookView xWindow=\"240\" "
       "yWindow=\"120\" windowWidth=\"18000\" windowHeight=\"9000\"/></bookViews><sheets>";
  for (int s = 1; s <= shape.sheets; ++s) {
    x += "<sheet name=\"" + SheetName(s - 1) + "\" sheetId=\"" + std::to_string(s) + "\" r:id=\"rId" +
         std::to_string(s) + "\"/>";
  }
  x += "</sheets>";
  if (shape.sources > 0) {
    x += "<externalReferences>";
    for (int b = 1; b <= shape.sources; ++b) {
      x += "<externalReference r:id=\"" + LinkRelId(shape, b) + "\"/>";
    }
    x += "</externalReferences>";
  }
  if (shape.names) {
    const std::string last = ColumnName(static_cast<std::uint32_t>(shape.cols - 1));
    x += "<definedNames><definedName name=\"_xlnm.Print_Area\" localSheetId=\"0\">Sheet1!$A$1:$" +
         last + "$" + std::to_string(shape.rows) + "</definedName>";
    x += "<definedName name=\"SourceBlock\">[1]Data!$A$1:$A$10</definedName>";
    x += "<definedName name=\"SourceRate\">[" + std::to_string(shape.sources) + "]Data!$B$2</definedName>";
    x += "<definedName name=\"Totals\">Sheet1!$A$1:$A$" + std::to_string(std::min(shape.rows, 10)) +
         "</definedName></definedNames>";
  }
  x += "<calcPr calcId=\"191029\"/></workbook>";
  return x;
}

std::string StylesXml() {
  std::string x(kXmlDecl);
  x += "<styleSheet xmlns=\"";
  x += kMainNs;
  x += "\"><fonts count=\"1\"><font><sz val=\"11\"/><name val=\"Calibri\"/><family val=\"2\"/></font></fonts>"
       "<fills count=\"2\"><fill><patternFill patternType=\"none\"/></fill>"
       "<fill><patternFill patternType=\"gray125\"/></fill></fills>"
       "<borders count=\"1\"><border><left/><right/><top/><bottom/><diagonal/></border></borders>"
       "<cellStyleXfs count=\"1\"><xf numFmtId=\"0\" fontId=\"0\" fillId=\"0\" borderId=\"0\"/></cellStyleXfs>"
       "<cellXfs count=\"1\"><xf numFmtId=\"0\" fontId=\"0\" fillId=\"0\" borderId=\"0\" xfId=\"0\"/></cellXfs>"
       "<cellStyles count=\"1\"><cellStyle name=\"Normal\" xfId=\"0\" builtinId=\"0\"/></cellStyles>"
       "</styleSheet>";
  return x;
}

std::string SharedStringsXml(const Model& m) {
  const SheetCounts counts = CountsFor(m.shape());
  std::string x(kXmlDecl);
  x += "<sst xmlns=\"";
  x += kMainNs;
  x += "\" count=\"";
  AppendUint(x, counts.text * static_cast<std::uint64_t>(m.shape().sheets));
  x += "\" uniqueCount=\"";
  AppendUint(x, m.StringCount());
  x += "\">";
  for (std::uint64_t i = 0; i < m.StringCount(); ++i) {
    x += "<si><t>";
    AppendEscaped(x, SharedString(m.seed(), i));
    x += "</t></si>";
  }
  x += "</sst>";
  return x;
}

std::string LinkTarget(int book) {
  // The path forms Excel writes: beside the workbook, relative, absolute.
  const std::string file = "Source" + std::to_string(book) + ".xlsx";
  switch (book % 3) {
    case 1: return file;
    case 2: return "../inputs/" + file;
    default: return "file:///C:\\Reports\\" + file;
  }
}

std::string ExternalLinkXml(const Model& m, std::uint32_t book) {
  std::string x(kXmlDecl);
  x += "<externalLink xmlns=\"";
  x += kMainNs;
  x += "\"><externalBook xmlns:r=\"";
  x += kRelNs;
  x += "\" r:id=\"rId1\"><sheetNames>";
  for (auto name : kSourceSheets) {
    x += "<sheetName val=\"";
    x += name;
    x += "\"/>";
  }
  x += "</sheetNames><sheetDataSet>";
  for (std::uint32_t s = 0; s < kSourceSheets.size(); ++s) {
    x += "<sheetData sheetId=\"";
    AppendUint(x, s);
    x += "\">";
    for (std::uint32_t r = 0; r < kSourceRows; ++r) {
      bool open = false;
      for (std::uint32_t c = 0; c < kSourceCols; ++c) {
        if (!m.Referenced(book, s, r, c)) continue;
        if (!open) {
          x += "<row r=\"";
          AppendUint(x, r + 1);
          x += "\">";
          open = true;
        }
        x += "<cell r=\"";
        AppendSourceCell(x, r, c, false);
        x += "\"><v>";
        AppendNumber(x, m.SourceValue(book, s, r, c));
        x += "</v></cell>";
      }
      if (open) x += "</row>";
    }
    x += "</sheetData>";
  }
  x += "</sheetDataSet></externalBook></externalLink>";
  return x;
}

std::string DrawingXml() {
  std::string x(kXmlDecl);
  x += "<xdr:wsDr xmlns:xdr=\"http://schemas.openxmlformats.org/drawingml/2006/spreadsheetDrawing\" "
       "xmlns:a=\"http://schemas.openxmlformats.org/drawingml/2006/main\"><xdr:twoCellAnchor>"
       "<xdr:from><xdr:col>12</xdr:col><xdr:colOff>0</xdr:colOff><xdr:row>1</xdr:row><xdr:rowOff>0</xdr:rowOff></xdr:from>"
       "<xdr:to><xdr:col>19</xdr:col><xdr:colOff>0</xdr:colOff><xdr:row>16</xdr:row><xdr:rowOff>0</xdr:rowOff></xdr:to>"
       "<xdr:graphicFrame macro=\"\"><xdr:nvGraphicFramePr><xdr:cNvPr id=\"2\" name=\"Chart 1\"/>"
       "<xdr:cNvGraphicFramePr/></xdr:nvGraphicFramePr><xdr:xfrm><a:off x=\"0\" y=\"0\"/>"
       "<a:ext cx=\"0\" cy=\"0\"/></xdr:xfrm><a:graphic>"
       "<a:graphicData uri=\"http://schemas.openxmlformats.org/drawingml/2006/chart\">"
       "<c:chart xmlns:c=\"http://schemas.openxmlformats.org/drawingml/2006/chart\" xmlns:r=\"";
  x += kRelNs;
  x += "\" r:id=\"rId1\"/></a:graphicData></a:graphic></xdr:graphicFrame><xdr:clientData/>"
       "</xdr:twoCellAnchor></xdr:wsDr>";
  return x;
}

std::string ChartXml(const Model& m) {
  std::string x(kXmlDecl);
  x += "<c:chartSpace xmlns:c=\"http://schemas.openxmlformats.org/drawingml/2006/chart\" "
       "xmlns:a=\"http://schemas.openxmlformats.org/drawingml/2006/main\" xmlns:r=\"";
  x += kRelNs;
  x += "\"><c:chart><c:autoTitleDeleted val=\"1\"/><c:plotArea><c:layout/><c:barChart>"
       "<c:barDir val=\"col\"/><c:grouping val=\"clustered\"/><c:varyColors val=\"0\"/>"
       "<c:ser><c:idx val=\"0\"/><c:order val=\"0\"/><c:val><c:numRef><c:f>[1]Data!$A$1:$A$10</c:f>"
       "<c:numCache><c:formatCode>General</c:formatCode><c:ptCount val=\"10\"/>";
  for (std::uint32_t r = 0; r < 10; ++r) {
    x += "<c:pt idx=\"";
    AppendUint(x, r);
    x += "\"><c:v>";
    AppendNumber(x, m.SourceValue(0, 0, r, 0));
    x += "</c:v></c:pt>";
  }
  x += "</c:numCache></c:numRef></c:val></c:ser><c:axId val=\"50010001\"/><c:axId val=\"50010002\"/>"
       "</c:barChart><c:catAx><c:axId val=\"50010001\"/><c:scaling><c:orientation val=\"minMax\"/>"
       "</c:scaling><c:delete val=\"0\"/><c:axPos val=\"b\"/><c:crossAx val=\"50010002\"/></c:catAx>"
       "<c:valAx><c:axId val=\"50010002\"/><c:scaling><c:orientation val=\"minMax\"/></c:scaling>"
       "<c:delete val=\"0\"/><c:axPos val=\"l\"/><c:crossAx val=\"50010001\"/></c:valAx></c:plotArea>"
       "<c:plotVisOnly val=\"1\"/></c:chart></c:chartSpace>";
  return x;
}

}  // namespace

WorkbookStats& WorkbookStats::operator+=(const WorkbookStats& o) {
  workbooks += o.workbooks;
  cells += o.cells;
  externalFormulas += o.externalFormulas;
  sheetXmlBytes += o.sheetXmlBytes;
  largestPartBytes = std::max(largestPartBytes, o.largestPartBytes);
  fileBytes += o.fileBytes;
  return *this;
}

WorkbookStats WriteWorkbook(const Shape& shape, std::uint64_t seed, const std::filesystem::path& file) {
  if (const std::string why = Validate(shape); !why.empty()) throw std::invalid_argument(why);
  const Model model(shape, seed);
  std::vector<std::uint64_t> sheetBytes(static_cast<std::size_t>(shape.sheets));
  std::uint64_t largestSmallPart = 0;

  ZipWriter zip(file);
  auto add = [&](const std::string& name, std::string content) {
    largestSmallPart = std::max<std::uint64_t>(largestSmallPart, content.size());
    zip.Add(name, std::move(content));
  };
  add("[Content_Types].xml", ContentTypes(shape));
  add("_rels/.rels",
      Relationships(Relationship("rId1", "officeDocument", "xl/workbook.xml")));
  add("xl/workbook.xml", WorkbookXml(shape));
  add("xl/_rels/workbook.xml.rels", WorkbookRels(shape));
  for (int s = 0; s < shape.sheets; ++s) {
    std::uint64_t* slot = &sheetBytes[static_cast<std::size_t>(s)];
    zip.AddStream("xl/worksheets/sheet" + std::to_string(s + 1) + ".xml",
                  [&model, s, slot] { return std::make_unique<SheetStream>(model, s, slot); });
  }
  if (shape.chart) {
    add("xl/worksheets/_rels/sheet1.xml.rels",
        Relationships(Relationship("rId1", "drawing", "../drawings/drawing1.xml")));
  }
  add("xl/styles.xml", StylesXml());
  add("xl/sharedStrings.xml", SharedStringsXml(model));
  for (int b = 1; b <= shape.sources; ++b) {
    const std::string part = "xl/externalLinks/externalLink" + std::to_string(b) + ".xml";
    add(part, ExternalLinkXml(model, static_cast<std::uint32_t>(b - 1)));
    add("xl/externalLinks/_rels/externalLink" + std::to_string(b) + ".xml.rels",
        Relationships(Relationship("rId1", "externalLinkPath", LinkTarget(b), true)));
  }
  if (shape.chart) {
    add("xl/drawings/drawing1.xml", DrawingXml());
    add("xl/drawings/_rels/drawing1.xml.rels",
        Relationships(Relationship("rId1", "chart", "../charts/chart1.xml")));
    add("xl/charts/chart1.xml", ChartXml(model));
  }
  zip.Close();

  const SheetCounts counts = CountsFor(shape);
  WorkbookStats st;
  st.workbooks = 1;
  st.cells = counts.cells * static_cast<std::uint64_t>(shape.sheets);
  st.externalFormulas = counts.external * static_cast<std::uint64_t>(shape.sheets);
  for (auto b : sheetBytes) {
    st.sheetXmlBytes += b;
    st.largestPartBytes = std::max(st.largestPartBytes, b);
  }
  st.largestPartBytes = std::max(st.largestPartBytes, largestSmallPart);
  st.fileBytes = std::filesystem::file_size(file);
  return st;
}

std::filesystem::path OutputPath(const Shape& shape, const std::filesystem::path& outDir) {
  return outDir / (shape.workbooks == 1 ? shape.name + ".xlsx" : shape.name);
}

std::filesystem::path TreeMember(int index) {
  // Ten workbooks per folder, ten folders per group: a tree, not a flat list.
  std::string book = std::to_string(index);
  if (book.size() < 4) book.insert(0, 4 - book.size(), '0');
  return std::filesystem::path("group" + std::to_string(index / 100)) /
         ("set" + std::to_string(index / 10 % 10)) / ("book" + book + ".xlsx");
}

WorkbookStats Generate(const Shape& shape, std::uint64_t seed, const std::filesystem::path& outDir) {
  if (const std::string why = Validate(shape); !why.empty()) throw std::invalid_argument(why);
  const std::filesystem::path target = OutputPath(shape, outDir);
  if (shape.workbooks == 1) {
    std::filesystem::create_directories(outDir);
    return WriteWorkbook(shape, seed, target);
  }
  WorkbookStats total;
  for (int i = 0; i < shape.workbooks; ++i) {
    const std::filesystem::path file = target / TreeMember(i);
    std::filesystem::create_directories(file.parent_path());
    total += WriteWorkbook(shape, Mix(seed ^ Hash(0x626f6f6b, static_cast<std::uint64_t>(i))), file);
  }
  return total;
}

}  // namespace quorvane::bench
