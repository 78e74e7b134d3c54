#pragma once
// Internal to the engine: deciding what becomes of each formula once the set
// of links to break is known (kept, renumbered, or broken), directly or
// through the defined names it uses.

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "ooxml/BookNames.h"

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
  // newIndex[k] is the new position of listed link k (0: removed); the
  // size is N + 1. books: the links of the books formulas name by file.
  FormulaJudge(std::vector<std::uint32_t> newIndex, const std::vector<NameEntry>& names,
               std::vector<std::string> sheetNames, BookNames books = {});

  enum class Action { Keep, Renumber, Break };
  struct Verdict {
    Action action = Action::Keep;
    std::string text;  // the renumbered text for Renumber
  };
  // `sheet` is the 0-based sheet position the formula lives on, -1 for none.
  // With viaNames false only the formula's own [n] count, not the names it uses.
  Verdict Judge(std::string_view formula, int sheet, bool viaNames = true) const;

  bool IsBrokenIndex(std::uint32_t k) const { return k >= newIndex_.size() || newIndex_[k] == 0; }
  const std::vector<std::uint32_t>& NewIndex() const { return newIndex_; }
  // N: an [n] beyond it names no link.
  std::uint32_t ListedCount() const { return static_cast<std::uint32_t>(newIndex_.size()) - 1; }
  const BookNames& Books() const { return books_; }
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
  BookNames books_;
  std::set<std::string, std::less<>> brokenNameKeys_;
  bool NamesBrokenBook(std::string_view text) const;
  bool MayUseBrokenName(std::string_view text) const;
};

}  // namespace quorvane::ooxml::detail
