#include "ooxml/VmlRewrite.h"

#include <cctype>

namespace quorvane::ooxml::detail {
namespace {

using Action = FormulaJudge::Action;

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

}  // namespace

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
