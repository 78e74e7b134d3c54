#include "ooxml/BookNames.h"

#include "base/Utf8Path.h"
#include "ooxml/Ascii.h"
#include "ooxml/ExternalLink.h"
#include "ooxml/FormulaLexer.h"

namespace quorvane::ooxml {

std::string BookNames::Source(std::string_view written) const { return BookNameSource(written, workbook_); }

void BookNames::Add(std::string_view source, std::uint32_t index, bool broken) {
  if (bySource_.emplace(Lower(source), Link{index, broken}).second) anyBroken_ = anyBroken_ || broken;
}

bool BookNames::IsWorkbook(std::string_view written) const {
  return !workbook_.empty() && Lower(Source(written)) == Lower(base::ToUtf8(workbook_.lexically_normal()));
}

const BookNames::Link* BookNames::Lookup(std::string_view written) const {
  auto it = bySource_.find(Lower(Source(written)));
  return it == bySource_.end() ? nullptr : &it->second;
}

std::uint32_t BookNames::Find(std::string_view written) const {
  const Link* link = Lookup(written);
  return link ? link->index : 0;
}

bool BookNames::Broken(std::string_view written) const {
  const Link* link = Lookup(written);
  return link && link->broken;
}

// Not digits alone ([1]), not a table's column (Table1[Col]), no markup in
// between; anything else is left to the parse.
bool MayNameBook(std::string_view text) {
  for (std::size_t open = text.find('['); open != std::string_view::npos; open = text.find('[', open + 1)) {
    if (open > 0) {
      const char before = text[open - 1];
      if (before == '[' || (before != '\\' && formula::detail::IsNameChar(before))) continue;
    }
    const std::size_t close = text.find_first_of("[]<>", open + 1);
    if (close == std::string_view::npos) return false;
    if (text[close] != ']' || close == open + 1) continue;
    const std::string_view inside = text.substr(open + 1, close - open - 1);
    if (inside.find_first_not_of("0123456789") != std::string_view::npos) return true;
  }
  return false;
}

}  // namespace quorvane::ooxml
