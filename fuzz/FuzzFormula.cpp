// Formula text from arbitrary bytes. The first byte gives how many of the
// following bytes form an index map (new index per old index, 0 = removed);
// the rest is the formula.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "ooxml/Formula.h"

namespace formula = quorvane::ooxml::formula;

namespace {

[[noreturn]] void Fail(const char* what, std::string_view text) {
  std::fprintf(stderr, "fuzz_formula: %s for \"%.*s\"\n", what, static_cast<int>(text.size()), text.data());
  std::abort();
}

void CheckRenumber(std::string_view text, const std::vector<formula::BookRef>& refs,
                   const std::vector<std::uint32_t>& map) {
  std::string out;
  try {
    out = formula::Renumber(text, map);
  } catch (const std::invalid_argument&) {
    return;  // refers to a removed or unknown book: the documented refusal
  }
  // Books named by file are no numbers: renumbering leaves them as they were.
  if (formula::FindBookNames(out) != formula::FindBookNames(text))
    Fail("renumbering changed a book named by file", text);
  // The same prefixes, in the same order, now carrying the mapped numbers.
  const auto after = formula::FindBookRefs(out);
  if (after.size() != refs.size()) Fail("renumbering changed the number of book prefixes", text);
  for (std::size_t i = 0; i < refs.size(); ++i) {
    const std::uint32_t want = refs[i].index == 0 ? 0 : map[refs[i].index];
    if (after[i].index != want) Fail("renumbering gave the wrong index", text);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t mapSize = std::min<std::size_t>(data[0] % 32, size - 1);
  std::vector<std::uint32_t> map(mapSize + 1, 0);
  for (std::size_t i = 0; i < mapSize; ++i) map[i + 1] = data[1 + i];
  const std::string_view text(reinterpret_cast<const char*>(data) + 1 + mapSize, size - 1 - mapSize);

  const auto refs = formula::FindBookRefs(text);
  for (const auto& ref : refs) {
    if (ref.offset + ref.length > text.size() || ref.length == 0) Fail("book prefix outside the text", text);
  }
  (void)formula::FindNameRefs(text);
  std::size_t spanEnd = 0;
  for (const auto& span : formula::FindExternalReferences(text)) {
    if (span.begin < spanEnd || span.begin >= span.end || span.end > text.size())
      Fail("reference spans overlap or leave the text", text);
    spanEnd = span.end;
  }
  for (const auto& book : formula::FindBookNames(text))
    if (book.empty()) Fail("a book named by an empty file name", text);
  if (const auto parsed = formula::ParseExternalReference(text)) {
    if (parsed->first && parsed->last &&
        (parsed->first->row > parsed->last->row || parsed->first->column > parsed->last->column))
      Fail("range not ordered top-left to bottom-right", text);
  }

  // Identity map: the text must come back byte for byte.
  std::vector<std::uint32_t> identity(256);
  std::iota(identity.begin(), identity.end(), 0u);
  try {
    if (formula::Renumber(text, identity) != text) Fail("identity renumbering changed the text", text);
  } catch (const std::invalid_argument&) {
    // Only an index beyond the map may be refused.
    bool beyond = false;
    for (const auto& ref : refs) beyond = beyond || ref.index >= identity.size();
    if (!beyond) Fail("identity renumbering refused a known index", text);
  }
  CheckRenumber(text, refs, map);
  return 0;
}
