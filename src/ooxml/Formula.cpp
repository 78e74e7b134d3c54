#include "ooxml/Formula.h"

#include <stdexcept>
#include <unordered_set>

#include "ooxml/FormulaLexer.h"

namespace quorvane::ooxml::formula {

using detail::Lexer;
using detail::Token;
using detail::TokenKind;

namespace {

constexpr std::uint32_t kMaxColumn = 16384;  // XFD
constexpr std::uint32_t kMaxRow = 1048576;

bool IsAsciiLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool EqualsNoCase(std::string_view a, std::string_view upper) {
  if (a.size() != upper.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (Upper(a[i]) != upper[i]) return false;
  }
  return true;
}

bool StartsWithNoCase(std::string_view a, std::string_view upper) {
  return a.size() >= upper.size() && EqualsNoCase(a.substr(0, upper.size()), upper);
}

// One to three letters naming a column inside the grid; advances i.
std::optional<std::uint32_t> ReadColumn(std::string_view s, std::size_t& i) {
  std::uint32_t column = 0;
  std::size_t letters = 0;
  while (i < s.size() && IsAsciiLetter(s[i])) {
    if (++letters > 3) return std::nullopt;
    column = column * 26 + static_cast<std::uint32_t>(Upper(s[i]) - 'A' + 1);
    ++i;
  }
  if (letters == 0 || column > kMaxColumn) return std::nullopt;
  return column;
}

// A1, $A$1, a1: exactly one cell inside the grid.
std::optional<CellAddress> ParseCell(std::string_view s) {
  std::size_t i = 0;
  if (i < s.size() && s[i] == '$') ++i;
  const auto column = ReadColumn(s, i);
  if (!column) return std::nullopt;
  if (i < s.size() && s[i] == '$') ++i;
  const std::size_t digits = i;
  std::uint32_t row = 0;
  while (i < s.size() && IsDigit(s[i])) {
    row = row * 10 + static_cast<std::uint32_t>(s[i] - '0');
    if (row > kMaxRow) return std::nullopt;
    ++i;
  }
  if (i == digits || i != s.size() || row == 0) return std::nullopt;
  return CellAddress{row, *column};
}

bool IsColumn(std::string_view s) {
  std::size_t i = 0;
  return ReadColumn(s, i) && i == s.size();
}

// Whether a word could be a defined name on its own: not a cell, number,
// boolean, or one of the prefixed forms the file format uses for newer
// functions (_xlfn., _xlws., _xludf.), functions passed as values (_xleta.)
// and LET/LAMBDA parameters (_xlpm.).
bool CouldBeName(std::string_view w) {
  if (w.empty()) return false;
  const char first = w.front();
  const bool nonAscii = static_cast<unsigned char>(first) >= 0x80;
  if (!IsAsciiLetter(first) && !nonAscii && first != '_' && first != '\\') return false;
  if (w.find('$') != std::string_view::npos) return false;
  if (ParseCell(w)) return false;
  if (EqualsNoCase(w, "TRUE") || EqualsNoCase(w, "FALSE")) return false;
  for (const std::string_view prefix : {"_XLFN.", "_XLWS.", "_XLPM.", "_XLUDF.", "_XLETA."}) {
    if (StartsWithNoCase(w, prefix)) return false;
  }
  return true;
}

bool IsPunct(std::string_view text, const Token& t, char c) {
  return t.kind == TokenKind::Punct && text[t.begin] == c;
}

Token Peek(const Lexer& lexer) {
  Lexer copy = lexer;
  return copy.Next();
}

// A word used as a name: not called as a function (unless calls count), not
// a table name, not a column in a range such as A:C.
bool IsNameUse(std::string_view text, std::string_view word, const Token& next,
               bool afterColon, bool calls) {
  if ((!calls && IsPunct(text, next, '(')) || next.kind == TokenKind::TableBracket) return false;
  if (!CouldBeName(word)) return false;
  if (IsColumn(word) && (afterColon || IsPunct(text, next, ':'))) return false;
  return true;
}

struct SheetPrefix {
  bool external = false;  // carries a book prefix other than [0]
  bool span = false;      // Sheet1:Sheet3
  std::string sheet;      // unquoted; empty for [n]!
};

// Consumes a sheet or book qualifier up to and including its "!", starting
// with the token first. The lexer is left untouched when there is none.
bool TakeSheetPrefix(Lexer& lexer, const Token& first, SheetPrefix& prefix) {
  const std::string_view text = lexer.Source();
  Lexer probe = lexer;
  const auto takeSpan = [&](std::string_view firstSheet) {
    // After a sheet word: "!" or ":" Word "!".
    Token t = probe.Next();
    if (IsPunct(text, t, '!')) {
      prefix.sheet = std::string(firstSheet);
      return true;
    }
    if (!IsPunct(text, t, ':')) return false;
    const Token last = probe.Next();
    if (last.kind != TokenKind::Word || !IsPunct(text, probe.Next(), '!')) return false;
    prefix.span = true;
    prefix.sheet = std::string(firstSheet) + ":" + std::string(probe.Text(last));
    return true;
  };

  bool found = false;
  if (first.kind == TokenKind::BookPrefix) {
    prefix.external = first.byName || *first.book != 0;
    const Token t = Peek(probe);
    if (IsPunct(text, t, '!')) {
      probe.Next();
      found = true;
    } else if (t.kind == TokenKind::Word) {
      probe.Next();
      found = takeSpan(probe.Text(t));
    } else if (t.kind == TokenKind::Quoted && t.closed) {
      probe.Next();
      if (IsPunct(text, probe.Next(), '!')) {
        prefix.sheet = detail::Unquote(probe.Text(t));
        prefix.span = prefix.sheet.find(':') != std::string::npos;
        found = true;
      }
    }
  } else if (first.kind == TokenKind::Quoted && first.closed) {
    if (IsPunct(text, probe.Next(), '!')) {
      prefix.sheet = detail::Unquote(lexer.Text(first));
      if (first.book || first.byName) {
        prefix.external = first.byName || *first.book != 0;
        prefix.sheet.erase(0, prefix.sheet.rfind(']') + 1);
      }
      prefix.span = prefix.sheet.find(':') != std::string::npos;
      found = true;
    }
  } else if (first.kind == TokenKind::Word) {
    found = takeSpan(lexer.Text(first));
  }
  if (found) lexer = probe;
  return found;
}

}  // namespace

std::vector<BookRef> FindBookRefs(std::string_view text) {
  std::vector<BookRef> refs;
  Lexer lexer(text);
  for (Token t = lexer.Next(); t.kind != TokenKind::End; t = lexer.Next()) {
    if (!t.book) continue;
    // A quoted sheet only names a book when it is complete and qualifies
    // something; '[1]x' on its own is not a reference.
    if (t.kind == TokenKind::Quoted && (!t.closed || t.end >= text.size() || text[t.end] != '!')) {
      continue;
    }
    refs.push_back(BookRef{t.bookDigits, t.bookLength, *t.book});
  }
  return refs;
}

std::vector<std::string> FindBookNames(std::string_view text) {
  std::vector<std::string> books;
  Lexer lexer(text);
  for (Token t = lexer.Next(); t.kind != TokenKind::End; t = lexer.Next()) {
    if (!t.byName) continue;
    if (t.kind == TokenKind::BookPrefix) {
      books.emplace_back(text.substr(t.begin + 1, t.end - t.begin - 2));
    } else if (t.end < text.size() && text[t.end] == '!') {
      std::size_t sheetStart = 0;
      if (auto path = detail::BookNameIn(detail::Unquote(lexer.Text(t)), sheetStart)) books.push_back(std::move(*path));
    }
  }
  return books;
}

// Returns each name once, in order of first use. Sheet-qualified names come
// back as "Sheet!Name" with the sheet unquoted. Names qualified by a
// Sheet1:Sheet3 span are skipped: a defined name cannot be used that way.
std::vector<std::string> FindNameRefs(std::string_view text, bool withCalls) {
  std::vector<std::string> names;
  std::unordered_set<std::string> seen;
  const auto add = [&](std::string name) {
    if (seen.insert(name).second) names.push_back(std::move(name));
  };

  Lexer lexer(text);
  bool afterColon = false;
  Token t = lexer.Next();
  while (t.kind != TokenKind::End) {
    SheetPrefix prefix;
    if (TakeSheetPrefix(lexer, t, prefix)) {
      const Token target = lexer.Next();
      if (target.kind != TokenKind::Word) {
        afterColon = false;
        t = target;
        continue;
      }
      const std::string_view word = lexer.Text(target);
      if (!prefix.external && !prefix.span && IsNameUse(text, word, Peek(lexer), false, withCalls)) {
        add(prefix.sheet.empty() ? std::string(word) : prefix.sheet + "!" + std::string(word));
      }
      afterColon = false;
      t = lexer.Next();
      continue;
    }
    if (t.kind == TokenKind::Word) {
      const std::string_view word = lexer.Text(t);
      if (IsNameUse(text, word, Peek(lexer), afterColon, withCalls)) add(std::string(word));
    }
    afterColon = IsPunct(text, t, ':');
    t = lexer.Next();
  }
  return names;
}

std::string Renumber(std::string_view text, const std::vector<std::uint32_t>& newIndex) {
  std::string out;
  out.reserve(text.size());
  std::size_t copied = 0;
  for (const BookRef& ref : FindBookRefs(text)) {
    if (ref.index == 0) continue;
    if (ref.index >= newIndex.size() || newIndex[ref.index] == 0) {
      throw std::invalid_argument("formula refers to removed or unknown book [" +
                                  std::to_string(ref.index) + "]");
    }
    // Unchanged numbers keep their digits as written.
    if (newIndex[ref.index] == ref.index) continue;
    out.append(text.substr(copied, ref.offset - copied));
    out += std::to_string(newIndex[ref.index]);
    copied = ref.offset + ref.length;
  }
  out.append(text.substr(copied));
  return out;
}

std::vector<ReferenceSpan> FindExternalReferences(std::string_view text) {
  std::vector<ReferenceSpan> spans;
  Lexer lexer(text);
  for (Token t = lexer.Next(); t.kind != TokenKind::End; t = lexer.Next()) {
    if (!t.book || *t.book == 0) continue;
    SheetPrefix prefix;
    if (!TakeSheetPrefix(lexer, t, prefix)) continue;
    // The cell, range or name after the "!"; a range's second cell too.
    const Token target = lexer.Next();
    std::size_t end = target.kind == TokenKind::End ? text.size() : target.end;
    if (target.kind == TokenKind::Word) {
      Lexer probe = lexer;
      const Token colon = probe.Next();
      const Token last = probe.Next();
      if (IsPunct(text, colon, ':') && last.kind == TokenKind::Word && !IsPunct(text, Peek(probe), '!')) {
        end = last.end;
        lexer = probe;
      }
    }
    spans.push_back({*t.book, t.begin, end});
  }
  return spans;
}

std::optional<ExternalReference> ParseExternalReference(std::string_view text) {
  if (!text.empty() && text.front() == '=') text.remove_prefix(1);
  ExternalReference ref;
  std::size_t i = 0;
  std::size_t closing = 0;
  if (!text.empty() && text.front() == '\'') {
    const auto book = detail::ParseBookIndex(text, 1, closing);
    if (!book) return std::nullopt;
    ref.book = *book;
    // Find the closing quote; '' is an apostrophe inside the name.
    std::size_t j = closing + 1;
    for (; j < text.size(); ++j) {
      if (text[j] != '\'') continue;
      if (j + 1 < text.size() && text[j + 1] == '\'') {
        ++j;
        continue;
      }
      break;
    }
    if (j >= text.size()) return std::nullopt;
    ref.sheet = detail::Unquote(text.substr(0, j + 1));
    ref.sheet.erase(0, ref.sheet.find(']') + 1);
    if (ref.sheet.empty() || ref.sheet.find_first_of(":[]") != std::string::npos) {
      return std::nullopt;
    }
    i = j + 1;
  } else {
    const auto book = detail::ParseBookIndex(text, 0, closing);
    if (!book) return std::nullopt;
    ref.book = *book;
    i = closing + 1;
    const std::size_t sheetStart = i;
    while (i < text.size() && detail::IsSheetChar(text[i])) ++i;
    ref.sheet = std::string(text.substr(sheetStart, i - sheetStart));
  }
  if (ref.book == 0 || i >= text.size() || text[i] != '!') return std::nullopt;
  const std::string_view rest = text.substr(i + 1);

  const std::size_t colon = rest.find(':');
  if (colon == std::string_view::npos) {
    ref.first = ParseCell(rest);
  } else {
    ref.first = ParseCell(rest.substr(0, colon));
    ref.last = ParseCell(rest.substr(colon + 1));
    if (!ref.first || !ref.last) return std::nullopt;
    // Stored ranges are already top-left to bottom-right; make sure of it.
    CellAddress& a = *ref.first;
    CellAddress& b = *ref.last;
    if (a.row > b.row) std::swap(a.row, b.row);
    if (a.column > b.column) std::swap(a.column, b.column);
  }
  if (ref.first) {
    if (ref.sheet.empty()) return std::nullopt;  // [1]!A1 has no sheet to look in
    return ref;
  }
  for (const char c : rest) {
    if (!detail::IsNameChar(c)) return std::nullopt;
  }
  if (!CouldBeName(rest)) return std::nullopt;
  ref.name = std::string(rest);
  return ref;
}

}  // namespace quorvane::ooxml::formula
