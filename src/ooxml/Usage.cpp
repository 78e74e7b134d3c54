// Counting where each link is used, for listings: one read-only pass over the
// same parts the break rewrites.

#include <algorithm>
#include <cstring>
#include <set>

#include "ooxml/Formula.h"
#include "ooxml/Rewrite.h"
#include "ooxml/Usage.h"
#include "ooxml/VmlRewrite.h"
#include "ooxml/Xml.h"

namespace quorvane::ooxml::detail {
namespace {

using Reach = std::vector<std::uint32_t>;  // sorted link indices

void Merge(Reach& into, const Reach& from) {
  Reach out;
  std::set_union(into.begin(), into.end(), from.begin(), from.end(), std::back_inserter(out));
  into.swap(out);
}

class Counter : public xml::Handler {
 public:
  Counter(const UsageContext& ctx, Carrier kind, int sheet, std::map<std::uint32_t, LinkUsage>& usage)
      : ctx_(ctx), kind_(kind), sheet_(sheet), usage_(usage) {}

  void Start(const xml::StartTag& tag) override {
    auto local = tag.local;
    if (local == "dataValidation" || local == "cfRule") {
      ++ruleDepth_;
      ruleReach_.clear();
    }
    if (local == "c") {
      inCell_ = true;
      cell_ = {};
      const char* t = tag.Attr("t");
      cell_.text = t && std::string_view(t) == "str";
    } else if (inCell_ && local == "v") {
      cell_.hasV = inV_ = true;
    } else if (inCell_ && local == "is") {
      cell_.hasIs = true;
    }
    // Thresholds of colour scales, data bars and icon sets.
    if (local == "cfvo" && ruleDepth_ > 0)
      if (const char* val = tag.Attr("val")) Merge(ruleReach_, ReachOf(val));
    for (const char* name : {"macro", "textlink", "fmlaLink", "fmlaRange", "fmlaTxbx", "fmlaGroup", "fmlaMacro",
                             "fmlaPict", "link"}) {
      if (const char* value = tag.Attr(name)) Count(value, &LinkUsage::controls);
    }
    if (IsFormula(local)) {
      collect_ = true;
      text_.clear();
    }
  }

  void End(const xml::EndTag& tag) override {
    auto local = tag.local;
    if (collect_ && IsFormula(local)) {
      collect_ = false;
      if (ruleDepth_ > 0) {
        Merge(ruleReach_, ReachOf(text_));
      } else if (kind_ == Carrier::Chart) {
        Count(text_, &LinkUsage::charts);
      } else if (kind_ == Carrier::Sheet && inCell_) {
        cell_.reach = ReachOf(text_);
      } else if (kind_ != Carrier::Sheet) {
        Count(text_, &LinkUsage::controls);
      }
    } else if (local == "dataValidation" || local == "cfRule") {
      if (--ruleDepth_ == 0)
        for (auto k : ruleReach_) ++usage_[k].rules;
    } else if (local == "v") {
      inV_ = false;
    } else if (local == "c") {
      inCell_ = false;
      for (auto k : cell_.reach) {
        ++usage_[k].cells;
        if (!cell_.Valued()) ++usage_[k].uncached;
      }
    }
  }

  void Text(std::string_view t) override {
    if (collect_) text_.append(t);
    if (inV_ && !t.empty()) cell_.vText = true;
  }

 private:
  // Filtered chart series keep their references in sqref; elsewhere sqref
  // names the cells of a rule.
  bool IsFormula(std::string_view local) const {
    return local == "f" || local == "nf" || local == "formula" || local == "formula1" || local == "formula2" ||
           local == "calculatedColumnFormula" || local == "totalsRowFormula" || local.substr(0, 4) == "Fmla" ||
           (kind_ == Carrier::Chart && local == "sqref");
  }
  Reach ReachOf(std::string_view formula) const { return FormulaReach(ctx_, formula, sheet_); }
  void Count(std::string_view formula, std::size_t LinkUsage::*field) {
    for (auto k : ReachOf(formula)) ++(usage_[k].*field);
  }

  const UsageContext& ctx_;
  Carrier kind_;
  int sheet_;
  std::map<std::uint32_t, LinkUsage>& usage_;
  bool collect_ = false, inCell_ = false;
  struct Cell {
    Reach reach;  // of its formula
    bool text = false, hasV = false, vText = false, hasIs = false;
    // Scripts save formulas with an empty <v/>: no value, unless the result
    // is the empty text.
    bool Valued() const { return hasIs || (hasV && (vText || text)); }
  } cell_;
  bool inV_ = false;
  int ruleDepth_ = 0;
  Reach ruleReach_;
  std::string text_;
};

// The links a formula names itself: [n] of a listed link, or a book's file.
Reach Direct(const FormulaJudge& judge, std::string_view text) {
  Reach out;
  if (std::memchr(text.data(), '[', text.size()) == nullptr) return out;
  for (const auto& ref : formula::FindBookRefs(text))
    if (ref.index >= 1 && ref.index <= judge.ListedCount()) out.push_back(ref.index);
  for (const auto& written : formula::FindBookNames(text))
    if (auto k = judge.Books().Find(written)) out.push_back(k);
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

}  // namespace

UsageContext::UsageContext(const FormulaJudge& owner) : judge(owner) {
  const auto& names = judge.Names();
  nameReach.resize(names.size());
  std::vector<std::vector<std::size_t>> uses(names.size());
  for (std::size_t i = 0; i < names.size(); ++i) {
    nameReach[i] = Direct(judge, names[i].text);
    for (const auto& used : formula::FindNameRefs(names[i].text, true)) {
      int j = judge.ResolveName(used, names[i].localSheet);
      if (j >= 0 && static_cast<std::size_t>(j) != i) uses[i].push_back(static_cast<std::size_t>(j));
    }
  }
  for (bool changed = true; changed;) {
    changed = false;
    for (std::size_t i = 0; i < names.size(); ++i) {
      auto before = nameReach[i].size();
      for (auto j : uses[i]) Merge(nameReach[i], nameReach[j]);
      changed = changed || nameReach[i].size() != before;
    }
  }
}

std::vector<std::uint32_t> FormulaReach(const UsageContext& ctx, std::string_view formula, int sheet) {
  Reach reach = Direct(ctx.judge, formula);
  for (const auto& used : formula::FindNameRefs(formula, true)) {
    int j = ctx.judge.ResolveName(used, sheet);
    if (j >= 0) Merge(reach, ctx.nameReach[static_cast<std::size_t>(j)]);
  }
  return reach;
}

void CountUsage(const UsageContext& ctx, Carrier kind, std::string_view text, std::string_view partName, int sheet,
                std::map<std::uint32_t, LinkUsage>& usage) {
  if (kind == Carrier::Vml) {  // not well-formed XML (bare <br>): read as the rewrite does
    for (const auto& f : ScanVmlFormulas(text))
      for (auto k : FormulaReach(ctx, f.text, sheet)) ++usage[k].controls;
    return;
  }
  Counter counter(ctx, kind, sheet, usage);
  xml::Parse(text, partName, counter);
}

}  // namespace quorvane::ooxml::detail
