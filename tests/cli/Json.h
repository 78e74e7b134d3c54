#pragma once
// A strict little JSON reader for checking the CLI's reports: it refuses
// anything that is not well-formed, so a malformed report fails the test.

#include <cstddef>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace quorvane::testing {

struct Json {
  using Array = std::vector<Json>;
  using Object = std::map<std::string, Json>;
  std::variant<std::nullptr_t, bool, double, std::string, std::shared_ptr<Array>, std::shared_ptr<Object>> value;

  const Array& AsArray() const { return *std::get<std::shared_ptr<Array>>(value); }
  const Object& AsObject() const { return *std::get<std::shared_ptr<Object>>(value); }
  bool IsString() const { return std::holds_alternative<std::string>(value); }

  // "workbooks[1].sources[0].name"; throws std::out_of_range when absent.
  const Json& At(std::string_view path) const;
  // The value as the case files write it: strings bare, numbers without ".0".
  std::string Text() const;

  static Json Parse(std::string_view text);
};

class JsonReader {
 public:
  explicit JsonReader(std::string_view text) : text_(text) {}

  Json Document() {
    Json value = Value();
    Space();
    if (pos_ != text_.size()) Fail("trailing text");
    return value;
  }

 private:
  [[noreturn]] void Fail(const std::string& what) const {
    throw std::runtime_error("bad JSON at " + std::to_string(pos_) + ": " + what);
  }
  void Space() {
    while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\n' || text_[pos_] == '\r' || text_[pos_] == '\t')) ++pos_;
  }
  bool Take(char c) {
    Space();
    if (pos_ < text_.size() && text_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }
  void Expect(char c) {
    if (!Take(c)) Fail(std::string("expected '") + c + "'");
  }
  bool Word(std::string_view word) {
    if (text_.substr(pos_, word.size()) != word) return false;
    pos_ += word.size();
    return true;
  }

  Json Value() {
    Space();
    if (pos_ >= text_.size()) Fail("unexpected end");
    const char c = text_[pos_];
    if (c == '{') return ObjectValue();
    if (c == '[') return ArrayValue();
    if (c == '"') return Json{String()};
    if (Word("true")) return Json{true};
    if (Word("false")) return Json{false};
    if (Word("null")) return Json{nullptr};
    return Json{Number()};
  }

  Json ObjectValue() {
    Expect('{');
    auto object = std::make_shared<Json::Object>();
    if (!Take('}')) {
      do {
        Space();
        std::string key = String();
        Expect(':');
        if (!object->emplace(key, Value()).second) Fail("duplicate key " + key);
      } while (Take(','));
      Expect('}');
    }
    return Json{object};
  }

  Json ArrayValue() {
    Expect('[');
    auto array = std::make_shared<Json::Array>();
    if (!Take(']')) {
      do array->push_back(Value());
      while (Take(','));
      Expect(']');
    }
    return Json{array};
  }

  double Number() {
    const std::size_t start = pos_;
    if (pos_ < text_.size() && text_[pos_] == '-') ++pos_;
    while (pos_ < text_.size() && (std::isdigit(static_cast<unsigned char>(text_[pos_])) || text_[pos_] == '.' ||
                                   text_[pos_] == 'e' || text_[pos_] == 'E' || text_[pos_] == '+' || text_[pos_] == '-'))
      ++pos_;
    if (start == pos_) Fail("unexpected character");
    return std::stod(std::string(text_.substr(start, pos_ - start)));
  }

  std::string String() {
    if (pos_ >= text_.size() || text_[pos_] != '"') Fail("expected a string");
    ++pos_;
    std::string out;
    for (;;) {
      if (pos_ >= text_.size()) Fail("unterminated string");
      const char c = text_[pos_++];
      if (c == '"') return out;
      if (static_cast<unsigned char>(c) < 0x20) Fail("raw control character in string");
      if (c != '\\') {
        out += c;
        continue;
      }
      if (pos_ >= text_.size()) Fail("unterminated escape");
      const char e = text_[pos_++];
      switch (e) {
        case '"': case '\\': case '/': out += e; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'u': {
          if (pos_ + 4 > text_.size()) Fail("short \\u escape");
          const unsigned code = static_cast<unsigned>(std::stoul(std::string(text_.substr(pos_, 4)), nullptr, 16));
          pos_ += 4;
          // UTF-8 of a BMP code point (enough for these reports).
          if (code < 0x80) {
            out += static_cast<char>(code);
          } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | (code >> 6));
            out += static_cast<char>(0x80 | (code & 0x3F));
          } else {
            out += static_cast<char>(0xE0 | (code >> 12));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
          }
          break;
        }
        default: Fail("bad escape");
      }
    }
  }

  std::string_view text_;
  std::size_t pos_ = 0;
};

inline Json Json::Parse(std::string_view text) { return JsonReader(text).Document(); }

inline const Json& Json::At(std::string_view path) const {
  const Json* node = this;
  std::size_t i = 0;
  while (i < path.size()) {
    if (path[i] == '.') ++i;
    if (path[i] == '[') {
      const std::size_t close = path.find(']', i);
      const auto index = std::stoul(std::string(path.substr(i + 1, close - i - 1)));
      node = &node->AsArray().at(index);
      i = close + 1;
    } else {
      const std::size_t end = path.find_first_of(".[", i);
      node = &node->AsObject().at(std::string(path.substr(i, end - i)));
      i = end == std::string_view::npos ? path.size() : end;
    }
  }
  return *node;
}

inline std::string Json::Text() const {
  if (const auto* s = std::get_if<std::string>(&value)) return *s;
  if (const auto* b = std::get_if<bool>(&value)) return *b ? "true" : "false";
  if (const auto* d = std::get_if<double>(&value)) {
    std::string text = std::to_string(*d);
    text.erase(text.find_last_not_of('0') + 1);
    if (text.back() == '.') text.pop_back();
    return text;
  }
  if (std::holds_alternative<std::nullptr_t>(value)) return "null";
  if (const auto* a = std::get_if<std::shared_ptr<Array>>(&value)) {
    // Appended, not "[" + ...: GCC 12 at -O3 warns falsely (-Wrestrict) on that.
    std::string text = "[";
    text += std::to_string((*a)->size());
    text += " items]";
    return text;
  }
  return "{object}";
}

}  // namespace quorvane::testing
