#include "ooxml/FormulaLexer.h"

#include <array>
#include <limits>

namespace quorvane::ooxml::formula::detail {

namespace {

bool IsAsciiAlnum(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

bool IsNonAscii(char c) { return static_cast<unsigned char>(c) >= 0x80; }

char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (Upper(text[i]) != prefix[i]) return false;
  }
  return true;
}

// Error values the file format knows. A '#' that starts none of them is the
// spill operator (A1#) and stands alone.
constexpr std::array<std::string_view, 17> kErrorLiterals = {
    "#NULL!",  "#DIV/0!", "#VALUE!",   "#REF!",   "#NAME?",   "#NUM!",
    "#N/A",    "#SPILL!", "#CALC!",    "#FIELD!", "#BLOCKED!", "#CONNECT!",
    "#BUSY!",  "#UNKNOWN!", "#EXTERNAL!", "#PYTHON!", "#GETTING_DATA",
};

}  // namespace

bool IsNameChar(char c) {
  return IsAsciiAlnum(c) || IsNonAscii(c) || c == '_' || c == '.' || c == '\\' || c == '?' ||
         c == '$';
}

// Characters an unquoted sheet name may hold; anything else forces quotes.
bool IsSheetChar(char c) { return IsAsciiAlnum(c) || IsNonAscii(c) || c == '_' || c == '.'; }

std::optional<std::uint32_t> ParseBookIndex(std::string_view text, std::size_t pos,
                                            std::size_t& closing) {
  if (pos >= text.size() || text[pos] != '[') return std::nullopt;
  std::size_t i = pos + 1;
  std::uint64_t value = 0;
  bool overflow = false;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
    if (!overflow) {
      value = value * 10 + static_cast<std::uint64_t>(text[i] - '0');
      overflow = value > std::numeric_limits<std::uint32_t>::max();
    }
    ++i;
  }
  if (i == pos + 1 || i >= text.size() || text[i] != ']' || overflow) return std::nullopt;
  closing = i;
  return static_cast<std::uint32_t>(value);
}

std::string Unquote(std::string_view quoted) {
  if (quoted.size() < 2) return {};
  quoted = quoted.substr(1, quoted.size() - 2);
  std::string out;
  out.reserve(quoted.size());
  for (std::size_t i = 0; i < quoted.size(); ++i) {
    out += quoted[i];
    if (quoted[i] == '\'' && i + 1 < quoted.size() && quoted[i + 1] == '\'') ++i;
  }
  return out;
}

std::optional<std::string> BookNameIn(std::string_view qualifier, std::size_t& sheetStart) {
  // Sheet names cannot hold brackets, so the book's are the last pair;
  // a folder before them may have its own.
  const std::size_t close = qualifier.rfind(']');
  if (close == std::string_view::npos || close == 0) return std::nullopt;
  const std::size_t open = qualifier.rfind('[', close - 1);
  if (open == std::string_view::npos || open + 1 == close) return std::nullopt;
  const std::string_view file = qualifier.substr(open + 1, close - open - 1);
  if (open == 0 && file.find_first_not_of("0123456789") == std::string_view::npos) return std::nullopt;
  sheetStart = close + 1;
  std::string path(qualifier.substr(0, open));
  path.append(file);
  return path;
}

Token Lexer::Make(TokenKind kind, std::size_t end) {
  Token t;
  t.kind = kind;
  t.begin = pos_;
  t.end = end;
  pos_ = end;
  bracketIsTable_ = kind == TokenKind::Word || kind == TokenKind::TableBracket;
  return t;
}

std::size_t Lexer::SkipString(std::size_t from, bool& closed) const {
  for (std::size_t i = from; i < text_.size(); ++i) {
    if (text_[i] != '"') continue;
    if (i + 1 < text_.size() && text_[i + 1] == '"') {
      ++i;
      continue;
    }
    closed = true;
    return i + 1;
  }
  closed = false;
  return text_.size();
}

std::size_t Lexer::SkipQuoted(std::size_t from, bool& closed) const {
  for (std::size_t i = from; i < text_.size(); ++i) {
    if (text_[i] != '\'') continue;
    if (i + 1 < text_.size() && text_[i + 1] == '\'') {
      ++i;
      continue;
    }
    closed = true;
    return i + 1;
  }
  closed = false;
  return text_.size();
}

// Structured references nest brackets and escape [ ] # ' with a leading '.
std::size_t Lexer::SkipBrackets(std::size_t from, bool& closed) const {
  std::size_t depth = 0;
  for (std::size_t i = from; i < text_.size(); ++i) {
    const char c = text_[i];
    if (c == '\'') {
      ++i;
    } else if (c == '[') {
      ++depth;
    } else if (c == ']' && depth > 0 && --depth == 0) {
      closed = true;
      return i + 1;
    }
  }
  closed = false;
  return text_.size();
}

// A book prefix is followed by "!" or by a sheet name (or a Sheet:Sheet span)
// and then "!". Without that, [n] is a table column literally named n.
// [n]'Sheet'! and [n]#REF! are not what Excel writes, but nothing else reads
// that way either, and a missed prefix would dangle once its book is gone.
bool Lexer::BookPrefixFollows(std::size_t after) const {
  const auto sheetEnd = [this](std::size_t from) {
    while (from < text_.size() && IsSheetChar(text_[from])) ++from;
    return from;
  };
  if (after >= text_.size()) return false;
  if (text_[after] == '!') return true;
  if (StartsWithNoCase(text_.substr(after), "#REF!")) return true;
  if (text_[after] == '\'') {
    bool closed = false;
    const std::size_t end = SkipQuoted(after + 1, closed);
    return closed && end < text_.size() && text_[end] == '!';
  }
  std::size_t j = sheetEnd(after);
  if (j == after) return false;
  if (j < text_.size() && text_[j] == ':') {
    const std::size_t k = sheetEnd(j + 1);
    if (k == j + 1) return false;
    j = k;
  }
  return j < text_.size() && text_[j] == '!';
}

// "[Book.xlsx]": the offset of the closing bracket of a file name that
// could stand unquoted before a sheet name. Digits alone are a number.
std::optional<std::size_t> Lexer::BookNameEnd(std::size_t from) const {
  bool digitsOnly = true;
  for (std::size_t i = from; i < text_.size(); ++i) {
    const char c = text_[i];
    if (c == ']') {
      if (i == from || digitsOnly) return std::nullopt;
      return i;
    }
    if (c == '[' || c == '\'' || c == '"' || c == '{' || c == '}' || static_cast<unsigned char>(c) < 0x20) {
      return std::nullopt;
    }
    digitsOnly = digitsOnly && c >= '0' && c <= '9';
  }
  return std::nullopt;
}

Token Lexer::Next() {
  if (pos_ >= text_.size()) {
    Token t;
    t.kind = TokenKind::End;
    t.begin = t.end = text_.size();
    return t;
  }
  const char c = text_[pos_];
  bool closed = true;
  switch (c) {
    case '"': {
      const std::size_t end = SkipString(pos_ + 1, closed);
      Token t = Make(TokenKind::String, end);
      t.closed = closed;
      return t;
    }
    case '{': {
      // Array constants hold only constants, strings among them.
      std::size_t i = pos_ + 1;
      closed = false;
      while (i < text_.size()) {
        if (text_[i] == '"') {
          bool stringClosed = true;
          i = SkipString(i + 1, stringClosed);
        } else if (text_[i] == '}') {
          closed = true;
          ++i;
          break;
        } else {
          ++i;
        }
      }
      Token t = Make(TokenKind::Array, i);
      t.closed = closed;
      return t;
    }
    case '\'': {
      std::size_t closing = 0;
      const auto book = ParseBookIndex(text_, pos_ + 1, closing);
      const std::size_t start = pos_;
      const std::size_t end = SkipQuoted(pos_ + 1, closed);
      Token t = Make(TokenKind::Quoted, end);
      t.closed = closed;
      if (book) {
        t.book = book;
        t.bookDigits = start + 2;
        t.bookLength = closing - t.bookDigits;
      } else if (closed && text_.substr(start, end - start).find('[') != std::string_view::npos) {
        std::size_t sheetStart = 0;
        t.byName = BookNameIn(Unquote(text_.substr(start, end - start)), sheetStart).has_value();
      }
      return t;
    }
    case '#': {
      const std::string_view rest = text_.substr(pos_);
      for (const std::string_view literal : kErrorLiterals) {
        if (StartsWithNoCase(rest, literal)) return Make(TokenKind::Error, pos_ + literal.size());
      }
      return Make(TokenKind::Punct, pos_ + 1);
    }
    case '[': {
      if (!bracketIsTable_) {
        std::size_t closing = 0;
        const auto book = ParseBookIndex(text_, pos_, closing);
        if (book && BookPrefixFollows(closing + 1)) {
          const std::size_t start = pos_;
          Token t = Make(TokenKind::BookPrefix, closing + 1);
          t.book = book;
          t.bookDigits = start + 1;
          t.bookLength = closing - t.bookDigits;
          return t;
        }
        const auto nameEnd = BookNameEnd(pos_ + 1);
        if (nameEnd && BookPrefixFollows(*nameEnd + 1)) {
          Token t = Make(TokenKind::BookPrefix, *nameEnd + 1);
          t.byName = true;
          return t;
        }
      }
      const std::size_t end = SkipBrackets(pos_, closed);
      Token t = Make(TokenKind::TableBracket, end);
      t.closed = closed;
      return t;
    }
    default:
      break;
  }
  if (IsNameChar(c)) {
    std::size_t i = pos_ + 1;
    while (i < text_.size() && IsNameChar(text_[i])) ++i;
    return Make(TokenKind::Word, i);
  }
  return Make(TokenKind::Punct, pos_ + 1);
}

}  // namespace quorvane::ooxml::formula::detail
