#pragma once
// Formula text as stored in a package (no leading "="): finding the [n]
// book prefixes that tie a formula to another workbook, and renumbering them.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane::ooxml::formula {

// A book prefix "[n]" in formula text. offset/length cover the digits only.
// Index 0 is the workbook itself.
struct BookRef {
  std::size_t offset = 0;
  std::size_t length = 0;
  std::uint32_t index = 0;
};

// Every book prefix in order; string literals, array constants, structured
// (table) references and the like are not mistaken for one.
std::vector<BookRef> FindBookRefs(std::string_view text);

// Books the formula names by their file instead of a number, as scripts
// write them: [Book.xlsx]Sheet!A1, '[My Book.xlsx]Sheet 1'!A1,
// 'C:\dir\[Book.xlsx]Sheet'!A1. Each comes back as written, folder and file
// together ("C:\dir\Book.xlsx"), quotes undone; text in string literals is
// not a reference.
std::vector<std::string> FindBookNames(std::string_view text);

// Names the formula uses without a book prefix (defined names of this
// workbook), as written, sheet-qualified ones as "Sheet!Name" with the sheet
// unquoted; each once, in order of first use. [0]!Name counts as local.
// Functions, cell and range references are not names. With withCalls, words
// called like functions are listed too, since a name holding a LAMBDA is
// called that way (MyFn(2), Sheet1!MyFn(2)); most of them are built-in
// functions that match no defined name.
std::vector<std::string> FindNameRefs(std::string_view text, bool withCalls = false);

// Rewrites every [n] with n >= 1 to [newIndex[n]]. newIndex[0] is unused; an
// entry of 0 marks a removed book and is an error (std::invalid_argument) if
// the text refers to it. Text outside the digits stays byte for byte.
std::string Renumber(std::string_view text, const std::vector<std::uint32_t>& newIndex);

struct CellAddress {
  std::uint32_t row = 0;     // 1-based
  std::uint32_t column = 0;  // 1-based
};

// The whole text is exactly one reference into another book:
// [n]Sheet!A1, '[n]My Sheet'!$A$1:$B$3, or [n]!Name. A leading "=" is
// skipped. [0], 3-D spans, whole rows or columns and anything more than one
// reference give nullopt. A range comes back top-left to bottom-right.
struct ExternalReference {
  std::uint32_t book = 0;
  std::string sheet;  // unquoted; empty for a workbook-level name
  std::optional<CellAddress> first;
  std::optional<CellAddress> last;  // set for a range
  std::string name;                 // set for a name reference
};
std::optional<ExternalReference> ParseExternalReference(std::string_view text);

// Where a reference into another book sits in formula text: from its "[n]"
// (or the quote before it) to the end of the cell, range or name it names,
// e.g. all of '[2]My Sheet'!$A$1:$B$3 or [1]!Rate. [0] is not another book.
struct ReferenceSpan {
  std::uint32_t book = 0;
  std::size_t begin = 0;
  std::size_t end = 0;
};
std::vector<ReferenceSpan> FindExternalReferences(std::string_view text);

}  // namespace quorvane::ooxml::formula
