// Data labels reading cells: c15:datalabelsRange ("value from cells") and
// the cell fields of single labels (c15:dlblFTEntry). Excel keeps the text it
// last read in caches beside the references; a broken reference leaves that
// text in the labels as plain runs.

#include "ooxml/ChartLabels.h"

#include <cstdio>
#include <cstdlib>

#include "ooxml/Ascii.h"

namespace quorvane::ooxml::detail {
namespace {

using xml::Span;
using Action = FormulaJudge::Action;

// The extension Excel keeps a single label's own settings in.
constexpr std::string_view kLabelExtUri = "{CE6537A1-D6FC-4f65-9D91-7224C49458BB}";
constexpr std::string_view kChart2012Ns = "http://schemas.microsoft.com/office/drawing/2012/chart";

bool BoolValue(const xml::StartTag& tag) {
  const std::string_view v = tag.Value("val");
  return v.empty() || v == "1" || v == "true";
}

bool IsShowFlag(std::string_view local) {
  return local == "showLegendKey" || local == "showVal" || local == "showCatName" || local == "showSerName" ||
         local == "showPercent" || local == "showBubbleSize";
}

// What a label's settings copied to a new single label take along, in their order.
bool IsCopied(std::string_view local) {
  return local == "numFmt" || local == "spPr" || local == "dLblPos" || IsShowFlag(local) || local == "separator";
}

// `prefix` as written, with its colon.
std::string Run(std::string_view prefix, const std::string& declarations, const std::string& rPr,
                const std::string& text) {
  const std::string p(prefix);
  return "<" + p + "r" + declarations + ">" + rPr + "<" + p + "t>" + xml::EscapeText(text) + "</" + p + "t></" + p +
         "r>";
}

}  // namespace

void SeriesLabels::Start(const xml::StartTag& tag) {
  const std::string_view local = tag.local;
  const std::size_t depth = path_.size();
  auto at = [&](std::size_t i) -> std::string_view { return i < depth ? std::string_view(path_[i]) : ""; };
  if (!children_.empty()) ++children_.back();

  if (depth == 0) {
    if (local == "dLbls") {
      group_.present = !tag.empty;
      group_.prefix = tag.Prefix();
      group_.contentBegin = tag.tag.end;
    } else if (local == "extLst") {
      range_.extLst = {tag.tag.begin, 0};
    }
  } else if (at(0) == "dLbls") {
    if (depth == 1) {
      if (local == "dLbl") {
        labels_.emplace_back();
        labels_.back().element.begin = tag.tag.begin;
      } else if (local == "delete") {
        group_.deleted = BoolValue(tag);
      } else if (local == "separator") {
        capture_ = Capture::Separator;
        text_.clear();
      }
      if (IsCopied(local)) group_.copied.push_back({tag.tag.begin, tag.tag.end});
      if (local == "showVal") group_.flags.val = BoolValue(tag);
      if (local == "showCatName") group_.flags.catName = BoolValue(tag);
      if (local == "showSerName") group_.flags.serName = BoolValue(tag);
      if (local == "showPercent") group_.flags.percent = BoolValue(tag);
      if (local == "showBubbleSize") group_.flags.bubble = BoolValue(tag);
    } else if (at(1) == "dLbl" && !labels_.empty()) {
      Label& label = labels_.back();
      if (depth == 2) {
        if (local == "idx") {
          label.idx = static_cast<std::uint32_t>(std::strtoul(std::string(tag.Value("val")).c_str(), nullptr, 10));
          label.textAt = tag.tag.end;
        } else if (local == "tx") {
          label.hasTx = true;
        } else if (local == "delete") {
          label.deleted = BoolValue(tag);
        } else if (local == "separator") {
          capture_ = Capture::Separator;
          text_.clear();
        }
        if (local == "showVal") label.flags.val = BoolValue(tag);
        if (local == "showCatName") label.flags.catName = BoolValue(tag);
        if (local == "showSerName") label.flags.serName = BoolValue(tag);
        if (local == "showPercent") label.flags.percent = BoolValue(tag);
        if (local == "showBubbleSize") label.flags.bubble = BoolValue(tag);
      } else if (local == "fld" && at(2) == "tx") {
        label.fields.push_back({std::string(tag.Value("id")), std::string(tag.Value("type")), tag.Prefix(),
                                xml::NamespaceDeclarations(tag.raw), {tag.tag.begin, tag.tag.end}, {}});
      } else if (local == "rPr" && path_.back() == "fld" && !label.fields.empty()) {
        label.fields.back().rPr = Span{tag.tag.begin, tag.tag.end};
      } else if (local == "showDataLabelsRange" && at(2) == "extLst") {
        label.flags.range = BoolValue(tag);
      } else if (local == "dlblFTEntry") {
        label.entries.emplace_back();
        label.entries.back().element.begin = tag.tag.begin;
      } else if (path_.back() == "dlblFTEntry" && !label.entries.empty()) {
        if (local == "txfldGUID") capture_ = Capture::EntryGuid;
        if (local == "f") {
          capture_ = Capture::EntryFormula;
          label.entries.back().formulaContent.begin = tag.tag.end;
        }
        text_.clear();
      } else if (local == "v" && at(depth - 2) == "dlblFieldTableCache" && !label.entries.empty() &&
                 !label.entries.back().hasCache) {
        capture_ = Capture::EntryCache;
        text_.clear();
      }
    } else if (at(1) == "txPr") {
      if (depth == 2 && local == "bodyPr") group_.bodyPr = Span{tag.tag.begin, tag.tag.end};
      if (depth == 2 && local == "lstStyle") group_.lstStyle = Span{tag.tag.begin, tag.tag.end};
      if (depth == 3 && local == "pPr" && at(2) == "p" && !group_.pPr) group_.pPr = Span{tag.tag.begin, tag.tag.end};
    } else if (at(1) == "extLst" && local == "showDataLabelsRange") {
      group_.flags.range = BoolValue(tag);
      RangeFlag flag;
      xml::RawAttribute val;
      flag.hasValue = xml::FindAttribute(tag.raw, "val", val);
      // Without a val it reads true; one goes before the tag's end.
      const std::size_t close = tag.raw.size() - (tag.raw.size() >= 2 && tag.raw[tag.raw.size() - 2] == '/' ? 2 : 1);
      flag.value = flag.hasValue ? Span{tag.tag.begin + val.value.begin, tag.tag.begin + val.value.end}
                                 : Span{tag.tag.begin + close, tag.tag.begin + close};
      group_.rangeFlags.push_back(flag);
    }
  } else if (at(0) == "extLst") {
    if (depth == 1 && local == "ext") {
      pendingExt_ = tag.tag.begin;
    } else if (depth == 2 && local == "datalabelsRange") {
      range_.present = true;
      range_.element.begin = tag.tag.begin;
      range_.ext.begin = pendingExt_;
    } else if (depth == 3 && at(2) == "datalabelsRange" && local == "f") {
      capture_ = Capture::RangeFormula;
      text_.clear();
      range_.formulaContent.begin = tag.tag.end;
    } else if (local == "pt" && at(depth - 1) == "dlblRangeCache") {
      range_.hasCache = true;
      pointIdx_ = static_cast<std::uint32_t>(std::strtoul(std::string(tag.Value("idx")).c_str(), nullptr, 10));
    } else if (local == "v" && at(depth - 1) == "pt" && at(2) == "datalabelsRange") {
      capture_ = Capture::RangePoint;
      text_.clear();
    } else if (local == "dlblRangeCache") {
      range_.hasCache = true;
    }
  }
  path_.emplace_back(local);
  children_.push_back(0);
}

void SeriesLabels::End(const xml::EndTag& tag) {
  const std::string_view local = tag.local;
  const int kids = children_.empty() ? 0 : children_.back();
  if (!children_.empty()) children_.pop_back();
  if (!path_.empty()) path_.pop_back();
  const std::size_t depth = path_.size();
  auto at = [&](std::size_t i) -> std::string_view { return i < depth ? std::string_view(path_[i]) : ""; };

  if (capture_ != Capture::None) {
    Label* label = labels_.empty() ? nullptr : &labels_.back();
    switch (capture_) {
      case Capture::RangeFormula:
        range_.formula = text_;
        range_.formulaContent.end = std::max(range_.formulaContent.begin, tag.tag.begin);
        range_.hasFormula = true;
        break;
      case Capture::RangePoint:
        range_.points[pointIdx_] = text_;
        break;
      case Capture::EntryFormula:
        if (label) {
          auto& e = label->entries.back();
          e.formula = text_;
          e.formulaContent.end = std::max(e.formulaContent.begin, tag.tag.begin);
        }
        break;
      case Capture::EntryGuid:
        if (label) label->entries.back().guid = text_;
        break;
      case Capture::EntryCache:
        if (label) {
          label->entries.back().cached = text_;
          label->entries.back().hasCache = true;
        }
        break;
      case Capture::Separator:
        if (depth == 1) group_.flags.separator = text_;
        if (depth == 2 && label) label->flags.separator = text_;
        break;
      case Capture::None:
        break;
    }
    capture_ = Capture::None;
  }

  if (depth == 0) {
    if (local == "extLst" && range_.present && range_.extLst.end == 0) {
      range_.extLst.end = tag.tag.end;
      range_.extLstChildren = kids;
    }
    return;
  }
  if (at(0) == "dLbls") {
    if (depth == 1) {
      if (IsCopied(local) && !group_.copied.empty()) group_.copied.back().end = tag.tag.end;
      if (local == "dLbl" && !labels_.empty()) labels_.back().element.end = tag.tag.end;
    } else if (at(1) == "dLbl" && !labels_.empty()) {
      Label& label = labels_.back();
      if (depth == 2 && local == "layout") label.textAt = tag.tag.end;
      if (local == "fld" && !label.fields.empty()) label.fields.back().element.end = tag.tag.end;
      if (local == "rPr" && at(depth - 1) == "fld" && !label.fields.empty() && label.fields.back().rPr)
        label.fields.back().rPr->end = tag.tag.end;
      if (local == "dlblFTEntry" && !label.entries.empty()) label.entries.back().element.end = tag.tag.end;
    } else if (at(1) == "txPr") {
      if (depth == 2 && local == "bodyPr" && group_.bodyPr) group_.bodyPr->end = tag.tag.end;
      if (depth == 2 && local == "lstStyle" && group_.lstStyle) group_.lstStyle->end = tag.tag.end;
      if (depth == 3 && local == "pPr" && group_.pPr && !pPrClosed_) {
        group_.pPr->end = tag.tag.end;
        pPrClosed_ = true;
      }
    }
  } else if (at(0) == "extLst") {
    if (depth == 1 && local == "ext" && range_.present && range_.ext.begin == pendingExt_ && range_.ext.end == 0) {
      range_.ext.end = tag.tag.end;
      range_.extChildren = kids;
    } else if (depth == 2 && local == "datalabelsRange") {
      range_.element.end = tag.tag.end;
    }
  }
}

void SeriesLabels::Text(std::string_view text) {
  if (capture_ != Capture::None) text_.append(text);
}

SeriesLabels::Flags SeriesLabels::Effective(const Flags& own) const {
  Flags f = own;
  const Flags& g = group_.flags;
  if (!f.serName) f.serName = g.serName;
  if (!f.catName) f.catName = g.catName;
  if (!f.val) f.val = g.val;
  if (!f.percent) f.percent = g.percent;
  if (!f.bubble) f.bubble = g.bubble;
  if (!f.range) f.range = g.range;
  if (!f.separator) f.separator = g.separator;
  return f;
}

// A label's text as rich text: the cells' text first, then the fields the
// label shows besides, as Excel orders them, with its separator.
std::string SeriesLabels::Rich(const std::string& text, const Flags& flags) const {
  const std::string c(group_.prefix);
  const std::string paragraph = "<a:p>" + (group_.pPr ? Raw(*group_.pPr) : std::string());
  std::string out = "<" + c + "rich xmlns:a=\"" + std::string(drawingNs_) + "\">" +
                    (group_.bodyPr ? Raw(*group_.bodyPr) : std::string("<a:bodyPr/>")) +
                    (group_.lstStyle ? Raw(*group_.lstStyle) : std::string()) + paragraph + Run("a:", {}, {}, text);
  struct Shown {
    const std::optional<bool>& on;
    const char* type;
    const char* placeholder;
  };
  const Shown fields[] = {{flags.serName, "SERIESNAME", "[SERIES NAME]"},
                          {flags.catName, "CATEGORYNAME", "[CATEGORY NAME]"},
                          {flags.val, "VALUE", "[VALUE]"},
                          {flags.percent, "PERCENTAGE", "[PERCENTAGE]"},
                          {flags.bubble, "BUBBLESIZE", "[BUBBLE SIZE]"}};
  const std::string separator = flags.separator.value_or(", ");
  unsigned n = 0;
  for (const auto& field : fields) {
    if (!field.on.value_or(false)) continue;
    out += separator.find('\n') != std::string::npos ? "</a:p>" + paragraph : Run("a:", {}, {}, separator);
    char id[40];
    std::snprintf(id, sizeof id, "{%08X-%04X-4000-8000-%012X}", static_cast<unsigned>(group_.contentBegin),
                  static_cast<unsigned>(n++), static_cast<unsigned>(text.size()));
    out += "<a:fld id=\"" + std::string(id) + "\" type=\"" + field.type + "\"><a:t>" + field.placeholder +
           "</a:t></a:fld>";
  }
  return out + "</a:p></" + c + "rich>";
}

// The range's labels become plain text and the range goes.
void SeriesLabels::MakeStatic(xml::SpanEditor& editor) const {
  if (range_.ext.end != 0 && range_.extChildren == 1) {
    editor.Remove(range_.extLst.end != 0 && range_.extLstChildren == 1 ? range_.extLst : range_.ext);
  } else {
    editor.Remove(range_.element);
  }
  if (!group_.present || group_.deleted) return;
  // Labels without one of their own show no range any more; those given text
  // below carry their own setting.
  for (const RangeFlag& flag : group_.rangeFlags) editor.Replace(flag.value, flag.hasValue ? "0" : " val=\"0\"");
  const std::string c(group_.prefix);
  std::map<std::size_t, std::string> inserts;
  for (const auto& [idx, text] : range_.points) {
    if (text.empty()) continue;
    const Label* label = nullptr;
    std::size_t at = group_.contentBegin;
    for (const Label& l : labels_) {
      if (l.idx == idx) label = &l;
      if (l.idx < idx) at = l.element.end;
    }
    if (label) {
      if (label->deleted) continue;
      if (label->hasTx) {
        for (const Field& f : label->fields)
          if (f.type == "CELLRANGE")
            editor.Replace(f.element, Run(f.prefix, f.declarations, f.rPr ? Raw(*f.rPr) : std::string(), text));
      } else if (Effective(label->flags).range.value_or(false)) {
        inserts[label->textAt] += "<" + c + "tx>" + Rich(text, Effective(label->flags)) + "</" + c + "tx>";
      }
      continue;
    }
    if (!group_.flags.range.value_or(false)) continue;
    std::string dLbl = "<" + c + "dLbl><" + c + "idx val=\"" + std::to_string(idx) + "\"/><" + c + "tx>" +
                       Rich(text, Effective({})) + "</" + c + "tx>";
    for (const Span& s : group_.copied) dLbl += Raw(s);
    dLbl += "<" + c + "extLst><" + c + "ext uri=\"" + std::string(kLabelExtUri) + "\" xmlns:c15=\"" +
            std::string(kChart2012Ns) + "\"><c15:dlblFieldTable/><c15:showDataLabelsRange val=\"1\"/></" + c +
            "ext></" + c + "extLst></" + c + "dLbl>";
    inserts[at] += dLbl;
  }
  for (auto& [at, text] : inserts) editor.Insert(at, std::move(text));
}

// Cell fields of single labels: the field keeps the text cached for it.
void SeriesLabels::FreezeEntries(const FormulaJudge& judge, int sheet, Label& label, xml::SpanEditor& editor,
                                 BreakResult& counts) const {
  for (const Entry& e : label.entries) {
    if (e.formula.empty()) continue;
    auto verdict = judge.Judge(e.formula, sheet);
    if (verdict.action == Action::Renumber) {
      editor.Replace(e.formulaContent, xml::EscapeText(verdict.text));
      ++counts.renumbered;
      continue;
    }
    if (verdict.action != Action::Break) continue;
    const Field* field = nullptr;
    for (const Field& f : label.fields)
      if (Lower(f.id) == Lower(e.guid)) field = &f;
    if (field && e.hasCache) {
      editor.Replace(field->element,
                     Run(field->prefix, field->declarations, field->rPr ? Raw(*field->rPr) : std::string(), e.cached));
      editor.Remove(e.element);
      ++counts.charts;
    } else {
      editor.Replace(e.formulaContent, "#REF!");
      ++counts.otherToRef;
    }
  }
}

void SeriesLabels::Finish(const FormulaJudge& judge, int sheet, xml::SpanEditor& editor, BreakResult& counts) {
  for (Label& label : labels_) FreezeEntries(judge, sheet, label, editor, counts);
  if (!range_.present || !range_.hasFormula || range_.element.end == 0) return;
  auto verdict = judge.Judge(range_.formula, sheet);
  if (verdict.action == Action::Renumber) {
    editor.Replace(range_.formulaContent, xml::EscapeText(verdict.text));
    ++counts.renumbered;
  } else if (verdict.action == Action::Break) {
    MakeStatic(editor);
    ++(range_.hasCache ? counts.charts : counts.otherToRef);
  }
}

}  // namespace quorvane::ooxml::detail
