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
bool BookNameSniffer::Feed(std::string_view text) {
  std::size_t i = 0;
  while (!found_ && i < text.size()) {
    if (!open_) {
      const std::size_t at = text.find('[', i);
      if (at == std::string_view::npos) break;
      const char before = at > 0 ? text[at - 1] : last_;
      open_ = before != '[' && (before == '\\' || !formula::detail::IsNameChar(before));
      empty_ = digitsOnly_ = true;
      i = at + 1;
      continue;
    }
    const char c = text[i++];
    if (c == ']') {
      found_ = !empty_ && !digitsOnly_;
      open_ = false;
    } else if (c == '[' || c == '<' || c == '>') {
      open_ = false;
      --i;  // a '[' may open the next pair
    } else {
      empty_ = false;
      digitsOnly_ = digitsOnly_ && c >= '0' && c <= '9';
    }
  }
  if (!text.empty()) last_ = text.back();
  return found_;
}

}  // namespace quorvane::ooxml
