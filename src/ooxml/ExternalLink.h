#pragma once
// The externalLink parts: what kind of link each is, where it points, and the
// values it cached from the other workbook.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace quorvane::ooxml {

enum class LinkKind { Book, Dde, Ole, Other };

struct CachedValue {
  char type = 'n';  // n number, s text, b boolean, e error
  std::string text;
};

// A defined name of the other workbook as the link part recorded it.
struct ExternalName {
  std::string name;
  std::string refersTo;  // "=Sheet1!$A$1", "#REF!", ...
  int sheet = -1;        // position in sheetNames for a sheet-level name, else -1
};

// Cached cells of the other workbook, per sheet (position in sheetNames).
class LinkCache {
 public:
  std::vector<std::string> sheetNames;
  std::vector<ExternalName> definedNames;
  // The name with that scope (-1: workbook level); case-insensitive.
  const ExternalName* FindName(std::string_view name, int sheet) const;
  // Index into sheetNames, or -1; case-insensitive.
  int SheetIndex(std::string_view name) const;
  const CachedValue* Find(int sheet, std::uint32_t row, std::uint32_t column) const;
  void Add(int sheet, std::uint32_t row, std::uint32_t column, CachedValue value);
  bool HasSheet(int sheet) const { return cells_.count(sheet) != 0; }

 private:
  std::unordered_map<int, std::unordered_map<std::uint64_t, CachedValue>> cells_;
};

struct ExternalLinkPart {
  LinkKind kind = LinkKind::Other;
  std::string bookRelId;  // externalBook/@r:id (or oleLink/@r:id)
};

// Reads the kind and relationship id of a link part.
ExternalLinkPart ReadExternalLinkPart(std::string_view xml, std::string_view partName);
// Reads the sheet names and the sheetDataSet cache of an externalBook part.
LinkCache ReadLinkCache(std::string_view xml, std::string_view partName);

// The name under which a link source is listed: a relative target resolved
// against the folder of the workbook, file:/// URLs as paths, other URLs as
// stored.
std::string SourceName(std::string_view target, const std::filesystem::path& workbookPath);

// The name under which a book that formulas name by its file is listed: the
// folder and file as written ("C:\dir\Book.xlsx", "https://host/Book.xlsx"),
// a bare or relative one resolved against the workbook's folder, like a
// link's target.
std::string BookNameSource(std::string_view written, const std::filesystem::path& workbookPath);

// A cached value written as a formula constant: 12, "a""b", TRUE, #N/A.
std::string FormulaConstant(const CachedValue& value);

}  // namespace quorvane::ooxml
