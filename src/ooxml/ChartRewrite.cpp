// Charts and chartEx parts: references become literal data from their
// caches, other formulas #REF!.

#include "ooxml/ChartRewrite.h"

#include <algorithm>
#include <optional>

#include "ooxml/ChartLabels.h"
#include "ooxml/RewriteBase.h"

namespace quorvane::ooxml::detail {
namespace {

using xml::Span;
using Action = FormulaJudge::Action;

struct ChartRef {
  std::string kind;  // numRef, strRef, multiLvlStrRef
  std::string_view prefix;
  std::size_t begin = 0;
  bool underTx = false;
  bool inSeries = false;  // tx of a series (else of a title or label)
  // Its formula (f) and the references series filtered out of the chart
  // keep in its extension list instead (c15:formulaRef/c15:sqref and the like).
  struct Formula {
    Span content;
    std::string text;
  };
  std::vector<Formula> formulas;
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
constexpr std::string_view kStrictDrawingNs = "http://purl.oclc.org/ooxml/drawingml/main";
constexpr std::string_view kStrictChartNs = "http://purl.oclc.org/ooxml/drawingml/chart";
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

class ChartHandler : public RewriteBase {
 public:
  using RewriteBase::RewriteBase;

  void Start(const xml::StartTag& tag) override {
    auto local = tag.local;
    // Text written into the part uses the DrawingML namespace of the part's own flavour.
    if (stack_.empty()) drawingNs_ = tag.uri == kStrictChartNs ? kStrictDrawingNs : kDrawingNs;
    if (series_) {
      series_->Start(tag);
    } else if (local == "ser") {
      series_.emplace(xml_, drawingNs_);
      seriesDepth_ = stack_.size();
    }
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
      if (local == "f" || local == "sqref") {
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
    } else if (local == "f" && !(series_ && series_->OwnsFormula())) {
      BeginCapture(tag.tag.end);
    }
    stack_.emplace_back(local);
  }

  void Text(std::string_view text) override {
    RewriteBase::Text(text);
    if (series_) series_->Text(text);
  }

  void End(const xml::EndTag& tag) override {
    stack_.pop_back();
    auto local = tag.local;
    if (series_) {
      if (stack_.size() == seriesDepth_) {
        series_->Finish(*ctx_.judge, ctx_.sheet, editor_, out_.counts);
        series_.reset();
      } else {
        series_->End(tag);
      }
    }
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
      if ((local == "f" || local == "sqref") && collect_) {
        ref_.formulas.push_back({EndCapture(tag), text_});
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
    std::vector<FormulaJudge::Verdict> verdicts;
    bool broken = false;
    for (const auto& f : ref_.formulas) {
      verdicts.push_back(Judge(f.text));
      broken = broken || verdicts.back().action == Action::Break;
    }
    if (!broken) {
      for (std::size_t i = 0; i < verdicts.size(); ++i) {
        if (verdicts[i].action != Action::Renumber) continue;
        editor_.Replace(ref_.formulas[i].content, xml::EscapeText(verdicts[i].text));
        ++out_.counts.renumbered;
      }
      return;
    }
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
        literal = "<" + p + "rich xmlns:a=\"" + std::string(drawingNs_) +
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
  std::string_view drawingNs_ = kDrawingNs;
  std::optional<SeriesLabels> series_;  // labels of the series being read
  std::size_t seriesDepth_ = 0;
};

}  // namespace

PartOutcome RewriteChart(std::string_view text, std::string_view partName, const PartContext& ctx) {
  return Run<ChartHandler>(text, partName, ctx);
}

}  // namespace quorvane::ooxml::detail
