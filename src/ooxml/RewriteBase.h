#pragma once
// Internal to the engine: what the handlers that rewrite formula-carrying
// XML parts share. Each part is read once, and only the byte ranges that
// change are replaced.

#include <cstddef>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ooxml/Rewrite.h"
#include "ooxml/Xml.h"

namespace quorvane::ooxml::detail {

struct Edit {
  xml::Span span;
  std::string text;
};

// Rule elements are removed whole when they refer to a broken link and no
// value can stand in for it; a container whose every rule went is removed too.
struct Frame {
  bool rule = false;
  bool freezable = false;  // validation or formatting: cached values may stand in
  std::size_t begin = 0;
  std::string local;
  xml::Span countValue;  // the count attribute's value, when present
  bool hasCount = false;
  bool isList = false;
  int children = 0;
  int removed = 0;
  bool broken = false;
  bool converted = false;  // a formula of the rule now holds values
  bool listPending = false;  // a broken list source, decided at the rule's end
  std::string formula1;  // decoded
  xml::Span formula1Content;
  bool hasFormula1 = false;
  std::vector<Edit> edits;
};

inline xml::Span Offset(xml::Span s, std::size_t by) { return {s.begin + by, s.end + by}; }

class RewriteBase : public xml::Handler {
 public:
  RewriteBase(std::string_view text, const PartContext& ctx, PartOutcome& out) : xml_(text), ctx_(ctx), out_(out) {}
  void Text(std::string_view s) override {
    if (collect_) text_.append(s);
  }
  std::string Finish() const { return editor_.Apply(xml_); }
  xml::SpanEditor TakeEditor() { return std::move(editor_); }
  bool Edited() const { return !editor_.Empty(); }

 protected:
  void Emit(xml::Span span, std::string text) {
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
  xml::Span EndCapture(const xml::EndTag& tag) {
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
      if (verdict.action == FormulaJudge::Action::Keep) continue;
      xml::RawAttribute raw;
      if (!xml::FindAttribute(tag.raw, name, raw)) continue;
      if (verdict.action == FormulaJudge::Action::Break) {
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

// Parses the part with handler H and collects its edits.
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

}  // namespace quorvane::ooxml::detail
