// Drawings (shape macros and text links), control properties and tables:
// formulas that have no value to keep are removed when they use a broken
// link, renumbered otherwise.

#include "ooxml/DrawingRewrite.h"

#include "ooxml/RewriteBase.h"

namespace quorvane::ooxml::detail {
namespace {

using xml::Span;
using Action = FormulaJudge::Action;

class DrawingHandler : public RewriteBase {
 public:
  DrawingHandler(std::string_view text, const PartContext& ctx, PartOutcome& out, Carrier kind)
      : RewriteBase(text, ctx, out), kind_(kind) {}

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
        if (tag.local == "tableColumn") {
          xml::RawAttribute raw;
          customTotal_ = xml::FindAttribute(tag.raw, "totalsRowFunction", raw) &&
                         tag.Value("totalsRowFunction") == "custom";
          if (customTotal_) customTotalAttribute_ = Offset(raw.whole, tag.tag.begin);
        } else if (IsFormulaElement(tag.local)) {
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
      // "custom" names the totals formula; without it the column has none.
      if (tag.local == "totalsRowFormula" && customTotal_) editor_.Remove(customTotalAttribute_);
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
  bool customTotal_ = false;  // the current table column's totals function is "custom"
  Span customTotalAttribute_;
};

}  // namespace

PartOutcome RewriteDrawing(std::string_view text, std::string_view partName, const PartContext& ctx, Carrier kind) {
  return Run<DrawingHandler>(text, partName, ctx, kind);
}

}  // namespace quorvane::ooxml::detail
