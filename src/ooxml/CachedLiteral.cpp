#include "ooxml/CachedLiteral.h"

#include "ooxml/Formula.h"

namespace quorvane::ooxml::detail {
namespace {

// A name of the other workbook ([1]!Name, [1]Sheet1!Name) stands for the
// cells its link part recorded for it (refersTo, written without a book);
// give that text the name's book so it reads like a direct reference.
std::optional<formula::ExternalReference> Target(std::optional<formula::ExternalReference> ref,
                                                 const CacheMap& caches) {
  if (!ref || ref->name.empty()) return ref;
  auto it = caches.find(ref->book);
  if (it == caches.end()) return std::nullopt;
  int scope = -1;
  if (!ref->sheet.empty() && (scope = it->second.SheetIndex(ref->sheet)) < 0) return std::nullopt;
  const ExternalName* name = it->second.FindName(ref->name, scope);
  if (!name) return std::nullopt;
  std::string_view text = name->refersTo;
  if (!text.empty() && text.front() == '=') text.remove_prefix(1);
  std::string prefixed;
  if (text.substr(0, 1) != "[" && text.substr(0, 2) != "'[") {  // some writers record a book of their own
    const bool quoted = !text.empty() && text.front() == '\'';
    if (quoted) {
      prefixed.push_back('\'');
      text.remove_prefix(1);
    }
    prefixed.append("[").append(std::to_string(ref->book)).append("]");
  }
  prefixed.append(text);
  auto target = formula::ParseExternalReference(prefixed);
  // Recorded names refer to cells only; anything else has no cached value.
  if (!target || !target->first) return std::nullopt;
  target->book = ref->book;  // a name can only point into its own book
  return target;
}

const LinkCache* CacheFor(const formula::ExternalReference& ref, const CacheMap& caches, int& sheet) {
  auto it = caches.find(ref.book);
  if (it == caches.end() || !ref.first) return nullptr;
  sheet = it->second.SheetIndex(ref.sheet);
  if (sheet < 0 || !it->second.HasSheet(sheet)) return nullptr;
  return &it->second;
}

constexpr std::uint64_t kMaxLiteralCells = 10000;
// Excel refuses a longer text constant inside a formula.
constexpr std::size_t kMaxFormulaText = 255;

// The cached cells a reference into another book covers, when its link
// recorded that sheet and the area is small enough to write out.
struct CachedArea {
  const LinkCache* cache;
  int sheet;
  formula::CellAddress first, last;
  std::uint64_t Cells() const { return std::uint64_t{last.row - first.row + 1} * (last.column - first.column + 1); }
};

std::optional<CachedArea> AreaOf(std::string_view formulaText, const CacheMap& caches) {
  auto ref = Target(formula::ParseExternalReference(formulaText), caches);
  if (!ref) return std::nullopt;
  int sheet = -1;
  const LinkCache* cache = CacheFor(*ref, caches, sheet);
  if (!cache) return std::nullopt;
  CachedArea area{cache, sheet, *ref->first, ref->last.value_or(*ref->first)};
  if (area.last.row < area.first.row || area.last.column < area.first.column) return std::nullopt;
  if (area.Cells() > kMaxLiteralCells) return std::nullopt;
  return area;
}

}  // namespace

std::optional<std::string> CachedConstant(std::string_view formulaText, const CacheMap& caches) {
  const auto area = AreaOf(formulaText, caches);
  if (!area) return std::nullopt;
  const auto& [cache, sheet, first, last] = *area;
  auto constant = [&](std::uint32_t r, std::uint32_t c) -> std::optional<std::string> {
    const CachedValue* v = cache->Find(sheet, r, c);
    if (!v || (v->text.empty() && v->type != 's')) return std::nullopt;
    return FormulaConstant(*v);
  };
  if (area->Cells() == 1) return constant(first.row, first.column);
  std::string out = "{";
  for (auto r = first.row; r <= last.row; ++r) {
    if (r != first.row) out += ';';
    for (auto c = first.column; c <= last.column; ++c) {
      if (c != first.column) out += ',';
      auto item = constant(r, c);
      if (!item) return std::nullopt;
      out += *item;
    }
  }
  return out + "}";
}

const CachedValue* CachedCell(std::string_view formulaText, const CacheMap& caches) {
  auto ref = Target(formula::ParseExternalReference(formulaText), caches);
  if (!ref || ref->last) return nullptr;
  int sheet = -1;
  const LinkCache* cache = CacheFor(*ref, caches, sheet);
  if (!cache) return nullptr;
  const CachedValue* v = cache->Find(sheet, ref->first->row, ref->first->column);
  return v && (!v->text.empty() || v->type == 's') ? v : nullptr;
}

std::optional<std::string> CachedList(std::string_view formulaText, const CacheMap& caches) {
  const auto area = AreaOf(formulaText, caches);
  if (!area) return std::nullopt;
  const auto& [cache, sheet, first, last] = *area;
  std::string items;
  for (auto r = first.row; r <= last.row; ++r) {
    for (auto c = first.column; c <= last.column; ++c) {
      const CachedValue* v = cache->Find(sheet, r, c);
      if (!v || v->text.empty()) continue;
      std::string item = v->type == 'b' ? FormulaConstant(*v) : v->text;
      // A literal list has no way to escape its separator or quote.
      if (item.find_first_of(",\"") != std::string::npos) return std::nullopt;
      if (!items.empty()) items += ',';
      items += item;
    }
  }
  // Excel limits a literal list to 255 characters.
  if (items.empty() || items.size() > 255) return std::nullopt;
  return "\"" + items + "\"";
}

std::optional<std::string> BrokenNameConstant(std::string_view text, const CacheMap& caches) {
  return CachedConstant(text, caches);
}

std::optional<std::string> SubstituteCachedValues(std::string_view formulaText, const CacheMap& caches,
                                                  const std::vector<std::uint32_t>& newIndex) {
  std::string out;
  std::size_t copied = 0;
  for (const auto& ref : formula::FindExternalReferences(formulaText)) {
    if (ref.book < newIndex.size() && newIndex[ref.book] != 0) continue;
    auto value = CachedConstant(formulaText.substr(ref.begin, ref.end - ref.begin), caches);
    // A range would become an array, which most places taking a range refuse.
    if (!value || value->empty() || value->front() == '{') return std::nullopt;
    if (value->front() == '"' && value->size() - 2 > kMaxFormulaText) return std::nullopt;
    out.append(formulaText.substr(copied, ref.begin - copied));
    out += *value;
    copied = ref.end;
  }
  out.append(formulaText.substr(copied));
  return out;
}

}  // namespace quorvane::ooxml::detail
