#pragma once
// Internal to the engine: the data labels of one chart series that show text
// read from cells, either a label range ("value from cells") or cell fields
// inside single labels. When those cells are in a broken book, each label
// gets the text its cache recorded as plain text, so the chart looks the same
// without the reference.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ooxml/Judge.h"
#include "ooxml/Workbook.h"
#include "ooxml/Xml.h"

namespace quorvane::ooxml::detail {

class SeriesLabels {
 public:
  // `drawingNs`: the DrawingML namespace of the part (transitional or strict),
  // for the text it writes.
  SeriesLabels(std::string_view xml, std::string_view drawingNs) : xml_(xml), drawingNs_(drawingNs) {}

  // Elements inside the series, the series' own tags excluded.
  void Start(const xml::StartTag& tag);
  void End(const xml::EndTag& tag);
  void Text(std::string_view text);
  // Whether the element just started is a formula of the labels, which the
  // caller then leaves to Finish.
  bool OwnsFormula() const { return capture_ == Capture::RangeFormula || capture_ == Capture::EntryFormula; }

  // At the series' end: the edits the labels need.
  void Finish(const FormulaJudge& judge, int sheet, xml::SpanEditor& editor, BreakResult& counts);

 private:
  struct Flags {
    std::optional<bool> serName, catName, val, percent, bubble, range;
    std::optional<std::string> separator;
  };
  struct Field {  // a:fld in a label's text
    std::string id, type;
    std::string_view prefix;
    std::string declarations;  // namespaces it declares itself
    xml::Span element;
    std::optional<xml::Span> rPr;
  };
  struct RangeFlag {  // c15:showDataLabelsRange: its val, or where one goes
    xml::Span value;
    bool hasValue = false;
  };
  struct Entry {  // c15:dlblFTEntry: the cell a field of the label reads
    std::string guid, formula, cached;
    xml::Span element, formulaContent;
    bool hasCache = false;
  };
  struct Label {  // c:dLbl
    std::uint32_t idx = 0;
    xml::Span element;
    std::size_t textAt = 0;  // where a c:tx goes: after idx and layout
    bool deleted = false, hasTx = false;
    std::vector<Field> fields;
    std::vector<Entry> entries;
    Flags flags;
  };
  struct Group {  // c:dLbls
    bool present = false, deleted = false;
    std::string_view prefix;
    std::size_t contentBegin = 0;
    std::vector<xml::Span> copied;  // numFmt, spPr, dLblPos, the show flags, separator
    std::optional<xml::Span> bodyPr, lstStyle, pPr;  // of its txPr
    std::vector<RangeFlag> rangeFlags;
    Flags flags;
  };
  struct Range {  // c15:datalabelsRange
    bool present = false, hasFormula = false, hasCache = false;
    xml::Span element, formulaContent;
    std::string formula;
    std::map<std::uint32_t, std::string> points;
    xml::Span ext, extLst;  // the series' extension holding it, and their list
    int extChildren = 0, extLstChildren = 0;
  };
  enum class Capture { None, RangeFormula, RangePoint, EntryFormula, EntryGuid, EntryCache, Separator };

  std::string Raw(xml::Span s) const { return std::string(xml_.substr(s.begin, s.end - s.begin)); }
  std::string Rich(const std::string& text, const Flags& flags) const;
  Flags Effective(const Flags& own) const;
  void MakeStatic(xml::SpanEditor& editor) const;
  void FreezeEntries(const FormulaJudge& judge, int sheet, Label& label, xml::SpanEditor& editor,
                     BreakResult& counts) const;

  std::string_view xml_;
  std::string_view drawingNs_;
  std::vector<std::string> path_;  // local names below the series
  std::vector<int> children_;      // element children of each open element
  Group group_;
  std::vector<Label> labels_;
  Range range_;
  Capture capture_ = Capture::None;
  std::string text_;
  std::uint32_t pointIdx_ = 0;
  std::size_t pendingExt_ = 0;  // start of the series extension being read
  bool pPrClosed_ = false;
};

}  // namespace quorvane::ooxml::detail
