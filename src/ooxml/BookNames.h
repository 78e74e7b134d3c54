#pragma once
// Books that formulas name by their file ([Book.xlsx]Sheet!A1,
// 'C:\dir\[Book.xlsx]Sheet'!A1) instead of by number, as scripts write them:
// matched to the links by the source they resolve to.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <string_view>

namespace quorvane::ooxml {

class BookNames {
 public:
  BookNames() = default;
  // Relative names resolve against the folder of `workbook`.
  explicit BookNames(std::filesystem::path workbook) : workbook_(std::move(workbook)) {}

  // The source a book written so is listed under.
  std::string Source(std::string_view written) const;
  // Ties a source to a link; the first link tied to a source keeps it.
  void Add(std::string_view source, std::uint32_t index, bool broken);
  // The link a book written so belongs to; 0 when none.
  std::uint32_t Find(std::string_view written) const;
  bool Broken(std::string_view written) const;
  bool AnyBroken() const { return anyBroken_; }
  // Whether a book written so is this workbook itself: a formula naming its
  // own file refers to its own cells, no link.
  bool IsWorkbook(std::string_view written) const;

 private:
  struct Link {
    std::uint32_t index = 0;
    bool broken = false;
  };
  const Link* Lookup(std::string_view written) const;

  std::filesystem::path workbook_;
  std::map<std::string, Link, std::less<>> bySource_;  // lower-case: file names ignore case
  bool anyBroken_ = false;
};

// Looks through the text of a part, piece by piece, for a bracket pair that
// could name a book by file; a part without one needs no parsing to know it
// names none.
class BookNameSniffer {
 public:
  // True once such a pair was seen in this piece or one before.
  bool Feed(std::string_view piece);

 private:
  char last_ = '\0';  // the byte before the piece
  bool open_ = false;  // inside a pair that could name a book
  bool empty_ = true, digitsOnly_ = true;
  bool found_ = false;
};

}  // namespace quorvane::ooxml
