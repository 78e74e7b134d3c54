// Rewriting the parts that carry formulas: worksheets (cells, validation,
// conditional formats, OLE objects, sparklines), charts, drawings, controls,
// legacy VML and tables. Each part is read once, and only the byte ranges that
// change are replaced.

#include <algorithm>
#include <cctype>
#include <cstring>
#include <set>
#include <unordered_map>

#include "ooxml/Rewrite.h"
#include "ooxml/Xml.h"

namespace quorvane::ooxml::detail {
namespace {

using xml::Span;
using Action = FormulaJudge::Action;

struct Edit {
  Span span;
  std::string text;
};

// Rule elements are removed whole when they refer to a broken link; a
// container whose every rule went is removed too.
struct Frame {
  bool rule = false;
  std::size_t begin = 0;
  std::string local;
  Span countValue;  // the count attribute's value, when present
  bool hasCount = false;
  bool isList = false;
  int children = 0;
  int removed = 0;
  bool broken = false;
  std::string formula1;  // decoded
  Span formula1Content;
  bool hasFormula1 = false;
  std::vector<Edit> edits;
};

Span Offset(Span s, std::size_t by) { return {s.begin + by, s.end + by}; }

class Base : public xml::Handler {
 public:
  Base(std::string_view text, const PartContext& ctx, PartOutcome& out) : xml_(text), ctx_(ctx), out_(out) {}
  void Text(std::string_view s) override {
    if (collect_) text_.append(s);
  }
  std::string Finish() const { return editor_.Apply(xml_); }
  xml::SpanEditor TakeEditor() { return std::move(editor_); }
  bool Edited() const { return !editor_.Empty(); }

 protected:
  void Emit(Span span, std::string text) {
    if (frames_.empty()) {
      editor_.Replace(span, std::move(text));
    } else {
      frames_.back().edits.push_back({span, std::move(text)});
    }
  }
  void BeginCapture(std::size_t contentBegin) {
    collect_ = true;
    text_.clear();
    contentBegin_ = contentBegin;
  }
  // Ends a text capture at `tag`, the element's end tag.
  Span EndCapture(const xml::EndTag& tag) {
    collect_ = false;
    return {contentBegin_, tag.tag.begin < contentBegin_ ? contentBegin_ : tag.tag.begin};
  }
  FormulaJudge::Verdict Judge(std::string_view formula) const { return ctx_.judge->Judge(formula, ctx_.sheet); }

  // Attributes holding formulas: removed when broken, renumbered otherwise.
  void JudgeAttributes(const xml::StartTag& tag, std::initializer_list<std::string_view> names, std::size_t& removed) {
    for (auto name : names) {
      const char* value = tag.Attr(name);
      if (!value || !*value) continue;
      auto verdict = Judge(value);
      if (verdict.action == Action::Keep) continue;
      xml::RawAttribute raw;
      if (!xml::FindAttribute(tag.raw, name, raw)) continue;
      if (verdict.action == Action::Break) {
        Emit(Offset(raw.whole, tag.tag.begin), {});
        ++removed;
      } else {
        Emit(Offset(raw.value, tag.tag.begin), xml::EscapeAttribute(verdict.text));
        ++out_.counts.renumbered;
      }
    }
  }

  std::string_view xml_;
  const PartContext& ctx_;
  PartOutcome& out_;
  xml::SpanEditor editor_;
  std::vector<Frame> frames_;
  bool collect_ = false;
  std::string text_;
  std::size_t contentBegin_ = 0;
};

// ---------------------------------------------------------------- worksheets

struct Cell {
  Span tag;
  std::string_view prefix;
  bool hasT = false;
  Span tValue;
  std::string_view t;
  bool hasCm = false;
  Span cmWhole;
  bool hasF = false;
  Span fElement;
  Span fContent;
  bool shared = false;
  std::string si;
  bool hasV = false;
  bool hasIs = false;  // an inline string already holds the value
  Span vElement;
  std::string vText;
};

class SheetHandler : public Base {
 public:
  using Base::Base;

  void Start(const xml::StartTag& tag) override {
    auto local = tag.local;
    if (inCell_) {
      if (local == "f") {
        cell_.hasF = true;
        cell_.fElement.begin = tag.tag.begin;
        const char* type = tag.Attr("t");
        cell_.shared = type && std::strcmp(type, "shared") == 0;
        const char* si = tag.Attr("si");
        cell_.si = si ? si : "";
        BeginCapture(tag.tag.end);
        formulaText_.clear();
      } else if (local == "is") {
        cell_.hasIs = true;
      } else if (local == "v") {
        cell_.hasV = true;
        cell_.vElement.begin = tag.tag.begin;
        BeginCapture(tag.tag.end);
      }
      return;
    }
    if (local == "c" && inSheetData_) {
      StartCell(tag);
    } else if (local == "sheetData") {
      inSheetData_ = true;
    } else if (local == "dataValidations" || local == "conditionalFormatting" || local == "conditionalFormattings" ||
               local == "ext" || local == "sparklineGroups" || local == "sparklineGroup" || local == "sparklines") {
      Push(tag, false);
    } else if (local == "dataValidation" || local == "cfRule" || local == "sparkline") {
      Push(tag, true);
      const char* type = tag.Attr("type");
      frames_.back().isList = local == "dataValidation" && type && std::strcmp(type, "list") == 0;
    } else if (local == "formula1" || local == "formula2" || local == "formula" || local == "f") {
      if (local == "formula1") inFormula1_ = true;
      BeginCapture(tag.tag.end);
      capturing_ = true;
    } else if (local == "cfvo" && !frames_.empty() && frames_.back().rule) {
      // Colour scales and data bars keep thresholds in val; no value to freeze.
      if (const char* val = tag.Attr("val")) {
        auto verdict = Judge(val);
        xml::RawAttribute raw;
        if (verdict.action == Action::Break) {
          frames_.back().broken = true;
        } else if (verdict.action == Action::Renumber && xml::FindAttribute(tag.raw, "val", raw)) {
          frames_.back().edits.push_back({Offset(raw.value, tag.tag.begin), xml::EscapeAttribute(verdict.text)});
          ++out_.counts.renumbered;
        }
      }
    } else if (local == "oleObject") {
      JudgeAttributes(tag, {"link"}, out_.counts.controls);
    }
  }

  void End(const xml::EndTag& tag) override {
    auto local = tag.local;
    if (inCell_) {
      if (local == "f") {
        cell_.fContent = EndCapture(tag);
        cell_.fElement.end = tag.tag.end;
        formulaText_ = text_;
      } else if (local == "v") {
        EndCapture(tag);
        cell_.vElement.end = tag.tag.end;
        cell_.vText = text_;
      } else if (local == "c") {
        inCell_ = false;
        EndCell();
      }
      return;
    }
    if (local == "sheetData") {
      inSheetData_ = false;
    } else if ((local == "formula1" || local == "formula2" || local == "formula" || local == "f") && capturing_) {
      capturing_ = false;
      Span content = EndCapture(tag);
      FormulaEnded(content, local == "formula1" || (local == "f" && inFormula1_));
      if (local == "formula1") inFormula1_ = false;
    } else if (local == "formula1") {
      inFormula1_ = false;
    } else if (!frames_.empty() && frames_.back().local == local) {
      Pop(tag);
    }
  }

 private:
  void StartCell(const xml::StartTag& tag) {
    inCell_ = true;
    // Reset field by field: the strings keep their capacity from cell to cell.
    cell_.hasT = cell_.hasCm = cell_.hasF = cell_.shared = cell_.hasV = cell_.hasIs = false;
    cell_.t = {};
    cell_.si.clear();
    cell_.vText.clear();
    cell_.tag = tag.tag;
    cell_.prefix = tag.Prefix();
    xml::RawAttribute raw;
    if (xml::FindAttribute(tag.raw, "t", raw)) {
      cell_.hasT = true;
      cell_.tValue = Offset(raw.value, tag.tag.begin);
      cell_.t = xml_.substr(cell_.tValue.begin, cell_.tValue.end - cell_.tValue.begin);
    }
    if (xml::FindAttribute(tag.raw, "cm", raw)) {
      cell_.hasCm = true;
      cell_.cmWhole = Offset(raw.whole, tag.tag.begin);
    }
  }

  void EndCell() {
    if (!cell_.hasF) return;
    bool member = cell_.shared && cell_.fContent.Empty();
    if (member) {
      auto known = sharedFrozen_.find(cell_.si);
      if (known == sharedFrozen_.end()) {
        pending_[cell_.si].push_back(cell_);  // anchor not seen yet
      } else if (known->second) {
        Freeze(cell_);
      }
      return;
    }
    auto verdict = Judge(formulaText_);
    if (verdict.action == Action::Break) {
      Freeze(cell_);
    } else if (verdict.action == Action::Renumber) {
      editor_.Replace(cell_.fContent, xml::EscapeText(verdict.text));
      ++out_.counts.renumbered;
    }
    if (cell_.shared && !cell_.si.empty()) {
      bool frozen = verdict.action == Action::Break;
      sharedFrozen_[cell_.si] = frozen;
      auto waiting = pending_.find(cell_.si);
      if (waiting != pending_.end()) {
        if (frozen)
          for (const auto& c : waiting->second) Freeze(c);
        pending_.erase(waiting);
      }
    }
  }

  // The cell keeps its value and type; only the formula goes.
  void Freeze(const Cell& c) {
    std::string p(c.prefix);
    if (c.hasIs && !c.hasV) {
      editor_.Remove(c.fElement);
    } else if (c.hasV) {
      if (c.hasT && c.t == "str") {
        // A text result without a formula must be stored as an inline string.
        editor_.Replace(c.tValue, "inlineStr");
        editor_.Replace(c.vElement, "<" + p + "is><" + p + "t xml:space=\"preserve\">" + xml::EscapeText(c.vText) +
                                        "</" + p + "t></" + p + "is>");
      }
      editor_.Remove(c.fElement);
    } else {
      if (c.hasT) {
        editor_.Replace(c.tValue, "e");
      } else {
        editor_.Insert(c.tag.end - 1, " t=\"e\"");
      }
      editor_.Replace(c.fElement, "<" + p + "v>#REF!</" + p + "v>");
      ++out_.counts.uncached;
    }
    if (c.hasCm) editor_.Remove(c.cmWhole);
    ++out_.counts.cells;
    out_.formulaRemoved = true;
  }

  void Push(const xml::StartTag& tag, bool rule) {
    if (!frames_.empty()) ++frames_.back().children;
    Frame f;
    f.rule = rule;
    f.begin = tag.tag.begin;
    f.local = std::string(tag.local);
    xml::RawAttribute raw;
    if (!rule && xml::FindAttribute(tag.raw, "count", raw)) {
      f.hasCount = true;
      f.countValue = Offset(raw.value, tag.tag.begin);
    }
    frames_.push_back(std::move(f));
  }

  void FormulaEnded(Span content, bool isFormula1) {
    if (frames_.empty() || !frames_.back().rule) {
      // Outside any rule (sparklines and the like): no value to keep.
      auto verdict = Judge(text_);
      if (verdict.action == Action::Break) {
        Emit(content, "#REF!");
        ++out_.counts.otherToRef;
      } else if (verdict.action == Action::Renumber) {
        Emit(content, xml::EscapeText(verdict.text));
        ++out_.counts.renumbered;
      }
      return;
    }
    Frame& rule = frames_.back();
    if (isFormula1) {
      rule.hasFormula1 = true;
      rule.formula1 = text_;
      rule.formula1Content = content;
    }
    auto verdict = Judge(text_);
    if (verdict.action == Action::Break) {
      rule.broken = true;
    } else if (verdict.action == Action::Renumber) {
      rule.edits.push_back({content, xml::EscapeText(verdict.text)});
      ++out_.counts.renumbered;
    }
  }

  void Pop(const xml::EndTag& tag) {
    Frame f = std::move(frames_.back());
    frames_.pop_back();
    Span whole{f.begin, tag.tag.end};
    bool removeWhole = false;
    if (f.rule) {
      if (f.broken) {
        std::optional<std::string> list;
        if (f.isList && f.hasFormula1) list = ListFor(f.formula1);
        if (list) {
          f.edits.clear();
          f.edits.push_back({f.formula1Content, xml::EscapeText(*list)});
          ++out_.counts.rulesConverted;
        } else {
          removeWhole = true;
          ++out_.counts.rulesRemoved;
        }
      }
    } else if (f.children > 0 && f.removed == f.children) {
      removeWhole = true;
    } else if (f.removed > 0 && f.hasCount) {
      f.edits.push_back({f.countValue, std::to_string(f.children - f.removed)});
    }
    if (removeWhole) {
      if (!frames_.empty()) ++frames_.back().removed;
      Emit(whole, {});
      return;
    }
    for (auto& e : f.edits) Emit(e.span, std::move(e.text));
  }

  // A list validation may name the cells directly or through defined names,
  // one naming the next.
  std::optional<std::string> ListFor(const std::string& formula) const {
    std::string_view text = formula;
    int scope = ctx_.sheet;
    const auto& names = ctx_.judge->Names();
    for (std::size_t hops = 0; hops <= names.size(); ++hops) {
      if (auto list = CachedList(text, *ctx_.caches)) return list;
      if (text.substr(0, 4) == "[0]!") text.remove_prefix(4);
      int name = ctx_.judge->ResolveName(text, scope);
      if (name < 0) break;
      text = names[static_cast<std::size_t>(name)].text;
      scope = names[static_cast<std::size_t>(name)].localSheet;
    }
    return std::nullopt;
  }

  bool inSheetData_ = false;
  bool inCell_ = false;
  bool capturing_ = false;
  bool inFormula1_ = false;
  Cell cell_;
  std::string formulaText_;
  std::unordered_map<std::string, bool> sharedFrozen_;
  std::unordered_map<std::string, std::vector<Cell>> pending_;
};

// -------------------------------------------------------------------- charts

struct ChartRef {
  std::string kind;  // numRef, strRef, multiLvlStrRef
  std::string_view prefix;
  std::size_t begin = 0;
  bool underTx = false;
  bool inSeries = false;  // tx of a series (else of a title or label)
  std::string formula;
  Span fContent;
  bool hasF = false;
  Span cacheInner;
  bool hasCache = false;
  Span ptCount;
  bool hasPtCount = false;
  Span firstLevel;
  int levels = 0;
  std::string firstText;
  bool haveFirstText = false;
};

constexpr std::string_view kDrawingNs = "http://schemas.openxmlformats.org/drawingml/2006/main";
constexpr std::string_view kChartExNs = "http://schemas.microsoft.com/office/drawing/2014/chartex";

// Newer chart types keep each data dimension (numDim, strDim) or text
// (txData) as formulas followed by the values last read, so the literal form
// is the same element without its formulas.
struct ChartExData {
  bool active = false;
  std::string kind;
  std::string_view prefix;
  bool broken = false;
  bool hasValues = false;  // lvl of a dimension, v of a text
  struct Formula {
    Span element;
    Span content;
    std::string renumbered;  // empty: unchanged
  };
  std::vector<Formula> formulas;  // f and nf
};

class ChartHandler : public Base {
 public:
  using Base::Base;

  void Start(const xml::StartTag& tag) override {
    auto local = tag.local;
    if (tag.uri == kChartExNs && (local == "numDim" || local == "strDim" || local == "txData")) {
      ex_ = {};
      ex_.active = true;
      ex_.kind = std::string(local);
      ex_.prefix = tag.Prefix();
    } else if (ex_.active && tag.uri == kChartExNs) {
      if (local == "f" || local == "nf") {
        exFormulaBegin_ = tag.tag.begin;
        BeginCapture(tag.tag.end);
      } else if (local == "lvl" || local == "v") {
        ex_.hasValues = true;
      }
    } else if (local == "numRef" || local == "strRef" || local == "multiLvlStrRef") {
      ChartRef r;
      r.kind = std::string(local);
      r.prefix = tag.Prefix();
      r.begin = tag.tag.begin;
      std::size_t n = stack_.size();
      r.underTx = n >= 1 && stack_[n - 1] == "tx";
      r.inSeries = n >= 2 && stack_[n - 2] == "ser";
      ref_ = r;
      inRef_ = true;
    } else if (inRef_) {
      if (local == "f") {
        BeginCapture(tag.tag.end);
      } else if (local == "numCache" || local == "strCache" || local == "multiLvlStrCache") {
        ref_.hasCache = true;
        ref_.cacheInner = {tag.tag.end, tag.tag.end};
      } else if (local == "ptCount" && ref_.kind == "multiLvlStrRef" && !ref_.hasPtCount) {
        ref_.hasPtCount = true;
        ref_.ptCount = {tag.tag.begin, tag.tag.end};
      } else if (local == "lvl") {
        if (++ref_.levels == 1) ref_.firstLevel = {tag.tag.end, tag.tag.end};
      } else if (local == "v" && !ref_.haveFirstText) {
        BeginCapture(tag.tag.end);
      }
    } else if (local == "f") {
      BeginCapture(tag.tag.end);
    }
    stack_.emplace_back(local);
  }

  void End(const xml::EndTag& tag) override {
    stack_.pop_back();
    auto local = tag.local;
    if (ex_.active && tag.uri == kChartExNs) {
      if ((local == "f" || local == "nf") && collect_) {
        Span content = EndCapture(tag);
        auto verdict = Judge(text_);
        ex_.broken = ex_.broken || verdict.action == Action::Break;
        ex_.formulas.push_back({{exFormulaBegin_, tag.tag.end}, content, std::move(verdict.text)});
      } else if (local == ex_.kind) {
        ex_.active = false;
        EndChartExData();
      }
      return;
    }
    if (inRef_) {
      if (local == "f") {
        ref_.fContent = EndCapture(tag);
        ref_.formula = text_;
        ref_.hasF = true;
      } else if (local == "numCache" || local == "strCache" || local == "multiLvlStrCache") {
        ref_.cacheInner.end = std::max(ref_.cacheInner.begin, tag.tag.begin);
      } else if (local == "ptCount" && ref_.hasPtCount && ref_.ptCount.end <= tag.tag.end) {
        ref_.ptCount.end = tag.tag.end;
      } else if (local == "lvl" && ref_.levels == 1) {
        ref_.firstLevel.end = std::max(ref_.firstLevel.begin, tag.tag.begin);
      } else if (local == "v" && collect_) {
        EndCapture(tag);
        ref_.firstText = text_;
        ref_.haveFirstText = true;
      } else if (local == ref_.kind) {
        inRef_ = false;
        EndRef(tag);
      }
      return;
    }
    if (local == "f" && collect_) {
      Span content = EndCapture(tag);
      auto verdict = Judge(text_);
      if (verdict.action == Action::Break) {
        editor_.Replace(content, "#REF!");
        ++out_.counts.otherToRef;
      } else if (verdict.action == Action::Renumber) {
        editor_.Replace(content, xml::EscapeText(verdict.text));
        ++out_.counts.renumbered;
      }
    }
  }

 private:
  std::string Raw(Span s) const { return std::string(xml_.substr(s.begin, s.end - s.begin)); }

  void EndRef(const xml::EndTag& tag) {
    if (!ref_.hasF) return;
    auto verdict = Judge(ref_.formula);
    if (verdict.action == Action::Renumber) {
      editor_.Replace(ref_.fContent, xml::EscapeText(verdict.text));
      ++out_.counts.renumbered;
      return;
    }
    if (verdict.action != Action::Break) return;
    std::string p(ref_.prefix);
    std::string literal;
    std::string inner = ref_.hasCache ? Raw(ref_.cacheInner) : std::string();
    if (ref_.kind == "numRef") {
      literal = "<" + p + "numLit>" + inner + "</" + p + "numLit>";
    } else if (ref_.kind == "strRef" && ref_.underTx) {
      std::string text = xml::EscapeText(ref_.firstText);
      if (ref_.inSeries) {
        literal = "<" + p + "v>" + text + "</" + p + "v>";
      } else {
        // A title's text has no plain-value form: write it as rich text.
        literal = "<" + p + "rich xmlns:a=\"" + std::string(kDrawingNs) +
                  "\"><a:bodyPr/><a:p><a:r><a:t>" + text + "</a:t></a:r></a:p></" + p + "rich>";
      }
    } else if (ref_.kind == "strRef") {
      literal = "<" + p + "strLit>" + inner + "</" + p + "strLit>";
    } else {
      // No multi-level literal exists: keep the labels nearest the axis.
      std::string body;
      if (ref_.hasPtCount) body += Raw(ref_.ptCount);
      if (ref_.levels >= 1) body += Raw(ref_.firstLevel);
      literal = "<" + p + "strLit>" + body + "</" + p + "strLit>";
    }
    editor_.Replace({ref_.begin, tag.tag.end}, literal);
    ++out_.counts.charts;
  }

  void EndChartExData() {
    if (!ex_.broken) {
      for (auto& f : ex_.formulas) {
        if (f.renumbered.empty()) continue;
        editor_.Replace(f.content, xml::EscapeText(f.renumbered));
        ++out_.counts.renumbered;
      }
      return;
    }
    // Values that were never read leave an empty level or text: the schema
    // wants one, and there is nothing else to show.
    std::string p(ex_.prefix);
    std::string placeholder;
    if (!ex_.hasValues)
      placeholder = ex_.kind == "txData" ? "<" + p + "v></" + p + "v>" : "<" + p + "lvl ptCount=\"0\"/>";
    for (std::size_t i = 0; i < ex_.formulas.size(); ++i)
      editor_.Replace(ex_.formulas[i].element, i == 0 ? placeholder : std::string());
    ++out_.counts.charts;
  }

  std::vector<std::string> stack_;  // expat's names do not outlive a callback
  ChartRef ref_;
  bool inRef_ = false;
  ChartExData ex_;
  std::size_t exFormulaBegin_ = 0;
};

// ---------------------------------- drawings, control properties, VML, tables

class GenericHandler : public Base {
 public:
  GenericHandler(std::string_view text, const PartContext& ctx, PartOutcome& out, Carrier kind)
      : Base(text, ctx, out), kind_(kind) {}

  void Start(const xml::StartTag& tag) override {
    switch (kind_) {
      case Carrier::Drawing:
        JudgeAttributes(tag, {"macro", "textlink"}, out_.counts.controls);
        break;
      case Carrier::Controls:
        JudgeAttributes(tag, {"fmlaLink", "fmlaRange", "fmlaTxbx", "fmlaGroup", "fmlaMacro", "fmlaPict"},
                        out_.counts.controls);
        break;
      default:
        if (IsFormulaElement(tag.local)) {
          elementBegin_ = tag.tag.begin;
          BeginCapture(tag.tag.end);
        }
    }
  }

  void End(const xml::EndTag& tag) override {
    if (!collect_ || !IsFormulaElement(tag.local)) return;
    Span content = EndCapture(tag);
    auto verdict = Judge(text_);
    if (verdict.action == Action::Break) {
      editor_.Remove({elementBegin_, tag.tag.end});
      ++out_.counts.controls;
    } else if (verdict.action == Action::Renumber) {
      editor_.Replace(content, xml::EscapeText(verdict.text));
      ++out_.counts.renumbered;
    }
  }

 private:
  bool IsFormulaElement(std::string_view local) const {
    return kind_ == Carrier::Table && (local == "calculatedColumnFormula" || local == "totalsRowFormula");
  }

  Carrier kind_;
  std::size_t elementBegin_ = 0;
};

std::string DecodeEntities(std::string_view raw) {
  std::string out;
  out.reserve(raw.size());
  for (std::size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] != '&') {
      out += raw[i];
      continue;
    }
    static const std::pair<std::string_view, char> kEntities[] = {
        {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
    bool done = false;
    for (const auto& [name, c] : kEntities) {
      if (raw.substr(i, name.size()) == name) {
        out += c;
        i += name.size() - 1;
        done = true;
        break;
      }
    }
    if (!done) out += raw[i];
  }
  return out;
}

PartOutcome RewriteVml(std::string_view text, const PartContext& ctx) {
  PartOutcome out;
  xml::SpanEditor editor;
  for (const auto& f : ScanVmlFormulas(text)) {
    auto verdict = ctx.judge->Judge(f.text, ctx.sheet);
    if (verdict.action == Action::Break) {
      editor.Remove(f.element);
      ++out.counts.controls;
    } else if (verdict.action == Action::Renumber) {
      editor.Replace(f.content, xml::EscapeText(verdict.text));
      ++out.counts.renumbered;
    }
  }
  if (!editor.Empty()) {
    out.edited = true;
    out.content = editor.Apply(text);
  }
  return out;
}

template <typename H, typename... Extra>
PartOutcome Run(std::string_view text, std::string_view partName, const PartContext& ctx, Extra... extra) {
  PartOutcome out;
  H handler(text, ctx, out, extra...);
  xml::Parse(text, partName, handler);
  if (handler.Edited()) {
    out.edited = true;
    if (ctx.deferApply) {
      out.editor = handler.TakeEditor();
    } else {
      out.content = handler.Finish();
    }
  }
  return out;
}

}  // namespace

PartOutcome RewritePart(Carrier kind, std::string_view text, std::string_view partName, const PartContext& ctx) {
  // Without a "[" nothing in the part names another book; only uses of broken
  // names could still matter.
  if (std::memchr(text.data(), '[', text.size()) == nullptr && !ctx.judge->AnyNameBroken()) return {};
  switch (kind) {
    case Carrier::Sheet:
      return Run<SheetHandler>(text, partName, ctx);
    case Carrier::Chart:
      return Run<ChartHandler>(text, partName, ctx);
    case Carrier::Vml:
      return RewriteVml(text, ctx);
    default:
      return Run<GenericHandler>(text, partName, ctx, kind);
  }
}

std::vector<VmlFormula> ScanVmlFormulas(std::string_view vml) {
  std::vector<VmlFormula> found;
  std::size_t at = 0;
  while ((at = vml.find("Fmla", at)) != std::string_view::npos) {
    // Back up over an optional prefix to the '<'.
    std::size_t open = at;
    while (open > 0 && vml[open - 1] != '<' && vml[open - 1] != '>' && vml[open - 1] != ' ' && at - open < 32) --open;
    if (open == 0 || vml[open - 1] != '<') {
      at += 4;
      continue;
    }
    --open;
    std::size_t nameEnd = at;
    while (nameEnd < vml.size() && std::isalnum(static_cast<unsigned char>(vml[nameEnd]))) ++nameEnd;
    std::string_view qname = vml.substr(open + 1, nameEnd - open - 1);
    std::size_t tagEnd = vml.find('>', nameEnd);
    if (tagEnd == std::string_view::npos) break;
    if (vml[tagEnd - 1] == '/') {  // <x:FmlaLink/>
      at = tagEnd;
      continue;
    }
    std::string close = "</" + std::string(qname) + ">";
    std::size_t closeAt = vml.find(close, tagEnd + 1);
    if (closeAt == std::string_view::npos) {
      at = tagEnd;
      continue;
    }
    VmlFormula f;
    f.element = {open, closeAt + close.size()};
    f.content = {tagEnd + 1, closeAt};
    f.text = DecodeEntities(vml.substr(tagEnd + 1, closeAt - tagEnd - 1));
    found.push_back(std::move(f));
    at = f.element.end;
  }
  return found;
}

}  // namespace quorvane::ooxml::detail
