#pragma once
// Internal to the engine: deciding what to do with each formula once the set
// of links to break is known, and rewriting the parts that carry formulas.

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "ooxml/ExternalLink.h"
#include "ooxml/Workbook.h"
#include "ooxml/Xml.h"

namespace quorvane::ooxml::detail {

struct NameEntry {
  std::string name;     // as written
  std::string key;      // lower-case, for lookups
  int localSheet = -1;  // -1: workbook scope
  std::string text;     // decoded formula text
};

// Judges formulas against the new numbering. Immutable after construction,
// so worker threads share one.
class FormulaJudge {
 public:
  // newIndex[k] is the new position of link k (0: removed); linkCount = N.
  // brokenFiles: lower-case file names of the broken sources, for formulas
  // that name the book as "[Book.xlsx]" instead of by number.
  FormulaJudge(std::vector<std::uint32_t> newIndex, const std::vector<NameEntry>& names,
               std::vector<std::string> sheetNames, std::vector<std::string> brokenFiles = {});

  enum class Action { Keep, Renumber, Break };
  struct Verdict {
    Action action = Action::Keep;
    std::string text;  // the renumbered text for Renumber
  };
  // `sheet` is the 0-based sheet position the formula lives on, -1 for none.
  // With viaNames false only the formula's own [n] count, not the names it uses.
  Verdict Judge(std::string_view formula, int sheet, bool viaNames = true) const;

  bool IsBrokenIndex(std::uint32_t k) const { return k >= newIndex_.size() || newIndex_[k] == 0; }
  bool NameBroken(std::size_t i) const { return nameBroken_[i]; }
  // Index of the defined name a formula's name reference resolves to, or -1.
  int ResolveName(std::string_view ref, int sheet) const;
  const std::vector<NameEntry>& Names() const { return names_; }
  bool AnyNameBroken() const { return anyNameBroken_; }

 private:
  std::vector<std::uint32_t> newIndex_;
  std::vector<NameEntry> names_;
  std::vector<std::string> sheetKeys_;
  std::multimap<std::string, std::size_t> byKey_;
  std::vector<bool> nameBroken_;
  bool anyNameBroken_ = false;
  std::vector<std::string> brokenFiles_;
  std::set<std::string, std::less<>> brokenNameKeys_;
  bool NamesBrokenFile(std::string_view text) const;
  bool MayUseBrokenName(std::string_view text) const;
};

// Caches of the links being broken, by old index; read before any worker starts.
using CacheMap = std::map<std::uint32_t, LinkCache>;

enum class Carrier { Sheet, Chart, Drawing, Controls, Vml, Table };

struct PartContext {
  const FormulaJudge* judge = nullptr;
  const CacheMap* caches = nullptr;
  int sheet = -1;
  // Leave the edits of an XML part in PartOutcome::editor for the caller to
  // apply in pieces (not for VML, whose text is always built).
  bool deferApply = false;
};

struct PartOutcome {
  bool edited = false;
  std::string content;     // the new text, unless deferred
  xml::SpanEditor editor;  // the edits, when deferred
  BreakResult counts;
  bool formulaRemoved = false;
};

// Rewrites one part; untouched when nothing in it needs a change.
PartOutcome RewritePart(Carrier kind, std::string_view xml, std::string_view partName, const PartContext& ctx);

// The literal a broken single external reference stands for: a constant or an
// array constant from the cache, or std::nullopt when the cache lacks it.
std::optional<std::string> CachedConstant(std::string_view formula, const CacheMap& caches);
// A list validation's "a,b,c" literal (quotes included), when the cache allows.
std::optional<std::string> CachedList(std::string_view formula, const CacheMap& caches);

// Legacy VML is often not well-formed (Excel writes bare <br> in text
// boxes), so its Fmla* elements are found by a plain text scan.
struct VmlFormula {
  xml::Span element;
  xml::Span content;
  std::string text;  // decoded
};
std::vector<VmlFormula> ScanVmlFormulas(std::string_view vml);

}  // namespace quorvane::ooxml::detail
