#pragma once
// Splits stored formula text into the few token kinds that matter for finding
// book prefixes and names. Not a full formula parser: operators, numbers and
// separators all come out as one-byte Punct or Word tokens.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quorvane::ooxml::formula::detail {

enum class TokenKind {
  End,
  Word,          // run of name characters: names, functions, cells, numbers, sheets
  BookPrefix,    // [n] or [Book.xlsx] that starts a reference into another book
  Quoted,        // 'sheet name', possibly starting with [n] or holding [Book.xlsx]
  TableBracket,  // [...] of a structured reference, nesting included
  String,        // "..."
  Array,         // {...}
  Error,         // #REF!, #N/A, ...
  Punct,         // any other single byte: operators, separators, blanks
};

struct Token {
  TokenKind kind = TokenKind::End;
  std::size_t begin = 0;
  std::size_t end = 0;
  bool closed = true;  // false for a quote, string, array or bracket cut off by the end
  // Book prefix of a BookPrefix token, or leading one inside a Quoted token.
  std::optional<std::uint32_t> book;
  std::size_t bookDigits = 0;  // offset of the first digit
  std::size_t bookLength = 0;  // number of digits
  // The book is named by its file rather than numbered ([Book.xlsx]Sheet!,
  // 'C:\dir\[Book.xlsx]Sheet'!); book is then unset.
  bool byName = false;
};

bool IsNameChar(char c);
bool IsSheetChar(char c);

// "[digits]" at pos; the value when it fits in 32 bits. closing gets the
// offset of the closing bracket.
std::optional<std::uint32_t> ParseBookIndex(std::string_view text, std::size_t pos,
                                            std::size_t& closing);

// Content of a complete quoted sheet token ('...') without its quotes, ''
// undone.
std::string Unquote(std::string_view quoted);

// A book named by its file in the unquoted content of a sheet qualifier:
// "C:\dir\[Book.xlsx]Sheet" gives "C:\dir\Book.xlsx" and sets sheetStart to
// the offset of "Sheet". Nothing for "[1]Sheet" or a plain sheet name.
std::optional<std::string> BookNameIn(std::string_view qualifier, std::size_t& sheetStart);

class Lexer {
 public:
  explicit Lexer(std::string_view text) : text_(text) {}

  Token Next();
  std::string_view Text(const Token& t) const { return text_.substr(t.begin, t.end - t.begin); }
  std::string_view Source() const { return text_; }

 private:
  Token Make(TokenKind kind, std::size_t end);
  std::size_t SkipString(std::size_t from, bool& closed) const;
  std::size_t SkipBrackets(std::size_t from, bool& closed) const;
  std::size_t SkipQuoted(std::size_t from, bool& closed) const;
  bool BookPrefixFollows(std::size_t after) const;
  std::optional<std::size_t> BookNameEnd(std::size_t from) const;

  std::string_view text_;
  std::size_t pos_ = 0;
  // A '[' right after a name or another bracket belongs to a table reference.
  bool bracketIsTable_ = false;
};

}  // namespace quorvane::ooxml::formula::detail
