#include "ooxml/Judge.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "ooxml/Ascii.h"
#include "ooxml/Formula.h"

namespace quorvane::ooxml::detail {
namespace {

// "'It''s'" -> "It's"; unquoted names are returned as they are.
std::string Unquote(std::string_view sheet) {
  if (sheet.size() < 2 || sheet.front() != '\'' || sheet.back() != '\'') return std::string(sheet);
  std::string out;
  for (std::size_t i = 1; i + 1 < sheet.size(); ++i) {
    out += sheet[i];
    if (sheet[i] == '\'' && i + 2 < sheet.size() && sheet[i + 1] == '\'') ++i;
  }
  return out;
}

bool HasBracket(std::string_view text) { return std::memchr(text.data(), '[', text.size()) != nullptr; }

}  // namespace

FormulaJudge::FormulaJudge(std::vector<std::uint32_t> newIndex, const std::vector<NameEntry>& names,
                           std::vector<std::string> sheetNames, BookNames books)
    : newIndex_(std::move(newIndex)), names_(names), books_(std::move(books)) {
  if (newIndex_.empty()) newIndex_.push_back(0);
  for (auto& s : sheetNames) sheetKeys_.push_back(Lower(s));
  for (std::size_t i = 0; i < names_.size(); ++i) byKey_.emplace(names_[i].key, i);

  // A name is broken when it refers to a broken book directly or through
  // other names; iterate to a fixed point since names may use names.
  std::vector<std::vector<std::size_t>> uses(names_.size());
  nameBroken_.assign(names_.size(), false);
  for (std::size_t i = 0; i < names_.size(); ++i) {
    const auto& text = names_[i].text;
    if (HasBracket(text)) {
      for (const auto& ref : formula::FindBookRefs(text))
        if (ref.index >= 1 && IsBrokenIndex(ref.index)) nameBroken_[i] = true;
      if (NamesBrokenBook(text)) nameBroken_[i] = true;
    }
    for (const auto& used : formula::FindNameRefs(text, true)) {
      int j = ResolveName(used, names_[i].localSheet);
      if (j >= 0 && static_cast<std::size_t>(j) != i) uses[i].push_back(static_cast<std::size_t>(j));
    }
  }
  for (bool changed = true; changed;) {
    changed = false;
    for (std::size_t i = 0; i < names_.size(); ++i) {
      if (nameBroken_[i]) continue;
      for (std::size_t j : uses[i]) {
        if (nameBroken_[j]) {
          nameBroken_[i] = true;
          changed = true;
          break;
        }
      }
    }
  }
  anyNameBroken_ = std::find(nameBroken_.begin(), nameBroken_.end(), true) != nameBroken_.end();
  for (std::size_t i = 0; i < names_.size(); ++i)
    if (nameBroken_[i]) brokenNameKeys_.insert(names_[i].key);
}

// Scripts write the book's file name in place of its number; only a name
// in a reference counts, not one in a string.
bool FormulaJudge::NamesBrokenBook(std::string_view text) const {
  if (!books_.AnyBroken()) return false;
  for (const auto& written : formula::FindBookNames(text))
    if (books_.Broken(written)) return true;
  return false;
}

// A cheap look at the identifiers of a formula, so that the name tokenizer
// only runs on formulas that could use a broken name.
bool FormulaJudge::MayUseBrokenName(std::string_view text) const {
  auto identifier = [](unsigned char c) {
    return std::isalnum(c) || c == '_' || c == '.' || c == '\\' || c == '?' || c >= 0x80;
  };
  char buffer[256];
  for (std::size_t i = 0; i < text.size();) {
    if (!identifier(static_cast<unsigned char>(text[i]))) {
      ++i;
      continue;
    }
    std::size_t start = i;
    while (i < text.size() && identifier(static_cast<unsigned char>(text[i]))) ++i;
    std::size_t length = i - start;
    if (length > sizeof buffer) return true;  // longer than any we keep: let the tokenizer decide
    for (std::size_t k = 0; k < length; ++k)
      buffer[k] = LowerAscii(text[start + k]);
    if (brokenNameKeys_.count(std::string_view(buffer, length))) return true;
  }
  return false;
}

int FormulaJudge::ResolveName(std::string_view ref, int sheet) const {
  std::string_view name = ref;
  int scope = sheet;
  bool qualified = false;
  auto bang = ref.rfind('!');
  if (bang != std::string_view::npos) {
    std::string sheetKey = Lower(Unquote(ref.substr(0, bang)));
    name = ref.substr(bang + 1);
    auto it = std::find(sheetKeys_.begin(), sheetKeys_.end(), sheetKey);
    if (it == sheetKeys_.end()) return -1;
    scope = static_cast<int>(it - sheetKeys_.begin());
    qualified = true;
  }
  auto [lo, hi] = byKey_.equal_range(Lower(name));
  int global = -1;
  for (auto it = lo; it != hi; ++it) {
    int local = names_[it->second].localSheet;
    if (local == scope && scope >= 0) return static_cast<int>(it->second);
    if (local < 0) global = static_cast<int>(it->second);
  }
  return qualified ? -1 : global;
}

FormulaJudge::Verdict FormulaJudge::Judge(std::string_view text, int sheet, bool viaNames) const {
  Verdict verdict;
  bool renumber = false;
  if (HasBracket(text)) {
    for (const auto& ref : formula::FindBookRefs(text)) {
      if (ref.index == 0) continue;
      if (IsBrokenIndex(ref.index)) {
        verdict.action = Action::Break;
        return verdict;
      }
      if (newIndex_[ref.index] != ref.index) renumber = true;
    }
    if (NamesBrokenBook(text)) {
      verdict.action = Action::Break;
      return verdict;
    }
  }
  if (viaNames && anyNameBroken_ && MayUseBrokenName(text)) {
    for (const auto& used : formula::FindNameRefs(text, true)) {
      int j = ResolveName(used, sheet);
      if (j >= 0 && nameBroken_[static_cast<std::size_t>(j)]) {
        verdict.action = Action::Break;
        return verdict;
      }
    }
  }
  if (renumber) {
    verdict.action = Action::Renumber;
    verdict.text = formula::Renumber(text, newIndex_);
  }
  return verdict;
}

}  // namespace quorvane::ooxml::detail
