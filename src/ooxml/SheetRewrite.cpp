// Worksheets: cells, data validation, conditional formats, OLE objects,
// sparklines.

#include "ooxml/SheetRewrite.h"

#include <cstring>
#include <optional>
#include <unordered_map>

#include "ooxml/Formula.h"
#include "ooxml/RewriteBase.h"

namespace quorvane::ooxml::detail {
namespace {

using xml::Span;
using Action = FormulaJudge::Action;

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

class SheetHandler : public RewriteBase {
 public:
  using RewriteBase::RewriteBase;

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
               local == "extLst" || local == "ext" || local == "sparklineGroups" || local == "sparklineGroup" ||
               local == "sparklines") {
      Push(tag, false);
    } else if (local == "dataValidation" || local == "cfRule" || local == "sparkline") {
      Push(tag, true);
      const char* type = tag.Attr("type");
      frames_.back().isList = local == "dataValidation" && type && std::strcmp(type, "list") == 0;
      // A sparkline's source must stay a range.
      frames_.back().freezable = local != "sparkline";
    } else if (local == "formula1" || local == "formula2" || local == "formula" || local == "f") {
      if (local == "formula1") inFormula1_ = true;
      BeginCapture(tag.tag.end);
      capturing_ = true;
    } else if (local == "cfvo" && !frames_.empty() && frames_.back().rule) {
      // Colour scales, data bars and icon sets keep thresholds in val.
      if (const char* val = tag.Attr("val")) {
        Frame& rule = frames_.back();
        auto verdict = Judge(val);
        xml::RawAttribute raw;
        if (verdict.action == Action::Keep || !xml::FindAttribute(tag.raw, "val", raw)) return;
        const Span value = Offset(raw.value, tag.tag.begin);
        if (verdict.action == Action::Renumber) {
          rule.edits.push_back({value, xml::EscapeAttribute(verdict.text)});
          ++out_.counts.renumbered;
        } else if (auto frozen = Frozen(val)) {
          if (*frozen != val) rule.edits.push_back({value, xml::EscapeAttribute(*frozen)});
          rule.converted = true;
        } else {
          rule.broken = true;
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
        Freeze(cell_, {});
      }
      return;
    }
    auto verdict = Judge(formulaText_);
    if (verdict.action == Action::Break) {
      Freeze(cell_, formulaText_);
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
          for (const auto& c : waiting->second) Freeze(c, {});
        pending_.erase(waiting);
      }
    }
  }

  // The cell keeps its value and type; only the formula goes. `formula` is
  // the cell's own text (empty for a member of a shared group).
  void Freeze(const Cell& c, std::string_view formula) {
    std::string p(c.prefix);
    // Scripts save formulas with an empty <v/>: that is no value, unless the
    // result is the empty text.
    const bool valued = c.hasIs || (c.hasV && (!c.vText.empty() || (c.hasT && c.t == "str")));
    if (c.hasIs && !c.hasV) {
      editor_.Remove(c.fElement);
    } else if (valued) {
      if (c.hasT && c.t == "str") {
        // A text result without a formula must be stored as an inline string.
        editor_.Replace(c.tValue, "inlineStr");
        editor_.Replace(c.vElement, "<" + p + "is><" + p + "t xml:space=\"preserve\">" + xml::EscapeText(c.vText) +
                                        "</" + p + "t></" + p + "is>");
      }
      editor_.Remove(c.fElement);
    } else if (const CachedValue* cached = formula.empty() ? nullptr : CachedCell(formula, *ctx_.caches)) {
      SetValue(c, *cached);
      ++out_.counts.fromLinkCache;
    } else {
      SetType(c, "e");
      SetValueElement(c, "<" + p + "v>#REF!</" + p + "v>");
      ++out_.counts.uncached;
    }
    if (c.hasCm) editor_.Remove(c.cmWhole);
    ++out_.counts.cells;
    out_.formulaRemoved = true;
  }

  // An uncached cell that is one reference into the link shows what the
  // link cached there, with the type that goes with it.
  void SetValue(const Cell& c, const CachedValue& v) {
    std::string p(c.prefix);
    switch (v.type) {
      case 's':
        SetType(c, "inlineStr");
        SetValueElement(c, "<" + p + "is><" + p + "t xml:space=\"preserve\">" + xml::EscapeText(v.text) + "</" + p +
                               "t></" + p + "is>");
        return;
      case 'b':
        SetType(c, "b");
        SetValueElement(c, "<" + p + "v>" + (FormulaConstant(v) == "TRUE" ? "1" : "0") + "</" + p + "v>");
        return;
      case 'e':
        SetType(c, "e");
        break;
      default:
        if (c.hasT) SetType(c, "n");
    }
    SetValueElement(c, "<" + p + "v>" + xml::EscapeText(v.text) + "</" + p + "v>");
  }

  void SetType(const Cell& c, std::string_view type) {
    if (c.hasT) {
      editor_.Replace(c.tValue, std::string(type));
    } else {
      editor_.Insert(c.tag.end - 1, " t=\"" + std::string(type) + "\"");
    }
  }

  // The value takes the formula's place; an empty <v/> goes.
  void SetValueElement(const Cell& c, std::string element) {
    editor_.Replace(c.fElement, std::move(element));
    if (c.hasV) editor_.Remove(c.vElement);
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
    if (verdict.action == Action::Renumber) {
      rule.edits.push_back({content, xml::EscapeText(verdict.text)});
      ++out_.counts.renumbered;
    } else if (verdict.action == Action::Break) {
      if (rule.isList && isFormula1) {
        rule.listPending = true;  // a literal list comes first, see Pop
      } else if (auto frozen = rule.freezable ? Frozen(text_) : std::nullopt) {
        if (*frozen != text_) rule.edits.push_back({content, xml::EscapeText(*frozen)});
        rule.converted = true;
      } else {
        rule.broken = true;
      }
    }
  }

  // The rule formula with every value it takes from a broken book written in
  // as a constant; nullopt when one of them has no cached value, or when it
  // uses a defined name the break set to #REF!. Names that became constants
  // keep working, so a formula using them stays as it is.
  std::optional<std::string> Frozen(const std::string& formula) const {
    const FormulaJudge& judge = *ctx_.judge;
    auto text = SubstituteCachedValues(formula, *ctx_.caches, judge.NewIndex());
    if (!text) return std::nullopt;
    auto verdict = judge.Judge(*text, ctx_.sheet, false);
    if (verdict.action == Action::Break) return std::nullopt;  // the book named by its file
    if (ctx_.deadNames) {
      for (const auto& used : formula::FindNameRefs(*text, true)) {
        const int j = judge.ResolveName(used, ctx_.sheet);
        if (j >= 0 && (*ctx_.deadNames)[static_cast<std::size_t>(j)]) return std::nullopt;
      }
    }
    if (verdict.action == Action::Renumber) return std::move(verdict.text);
    return text;
  }

  void Pop(const xml::EndTag& tag) {
    Frame f = std::move(frames_.back());
    frames_.pop_back();
    Span whole{f.begin, tag.tag.end};
    bool removeWhole = false;
    if (f.rule) {
      if (f.listPending && !f.broken) {
        if (auto list = ListFor(f.formula1)) {
          f.edits.push_back({f.formula1Content, xml::EscapeText(*list)});
          f.converted = true;
        } else if (auto frozen = Frozen(f.formula1)) {
          if (*frozen != f.formula1) f.edits.push_back({f.formula1Content, xml::EscapeText(*frozen)});
          f.converted = true;
        } else {
          f.broken = true;
        }
      }
      if (f.broken) {
        removeWhole = true;
        ++out_.counts.rulesRemoved;
      } else if (f.converted) {
        ++out_.counts.rulesConverted;
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

}  // namespace

PartOutcome RewriteSheet(std::string_view text, std::string_view partName, const PartContext& ctx) {
  return Run<SheetHandler>(text, partName, ctx);
}

}  // namespace quorvane::ooxml::detail
