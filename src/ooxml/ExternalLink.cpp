#include "ooxml/ExternalLink.h"

#include <algorithm>
#include <cctype>

#include "base/Utf8Path.h"
#include "ooxml/Ascii.h"
#include "ooxml/Relationships.h"
#include "ooxml/Xml.h"

namespace quorvane::ooxml {
namespace {


bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  return true;
}

std::uint64_t Key(std::uint32_t row, std::uint32_t column) {
  return (static_cast<std::uint64_t>(row) << 32) | column;
}

// "B12" or "$B$12" -> row 12, column 2.
bool ParseCellName(std::string_view text, std::uint32_t& row, std::uint32_t& column) {
  std::size_t i = 0;
  column = 0;
  row = 0;
  if (i < text.size() && text[i] == '$') ++i;
  std::size_t letters = 0;
  while (i < text.size() && std::isalpha(static_cast<unsigned char>(text[i]))) {
    column = column * 26 + static_cast<std::uint32_t>(std::toupper(static_cast<unsigned char>(text[i])) - 'A' + 1);
    ++i;
    if (++letters > 3) return false;
  }
  if (i < text.size() && text[i] == '$') ++i;
  std::size_t digits = 0;
  while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) {
    row = row * 10 + static_cast<std::uint32_t>(text[i] - '0');
    ++i;
    if (++digits > 7) return false;
  }
  return letters > 0 && digits > 0 && i == text.size();
}

class LinkPartReader : public xml::Handler {
 public:
  ExternalLinkPart result;
  void Start(const xml::StartTag& tag) override {
    if (depth_++ != 1) return;
    if (tag.local == "externalBook") {
      result.kind = LinkKind::Book;
    } else if (tag.local == "ddeLink") {
      result.kind = LinkKind::Dde;
    } else if (tag.local == "oleLink") {
      result.kind = LinkKind::Ole;
    } else {
      return;
    }
    if (const char* id = RelationshipId(tag)) result.bookRelId = id;
  }
  void End(const xml::EndTag&) override { --depth_; }

 private:
  int depth_ = 0;
};

class CacheReader : public xml::Handler {
 public:
  LinkCache cache;
  void Start(const xml::StartTag& tag) override {
    if (tag.local == "sheetName") {
      const char* val = tag.Attr("val");
      cache.sheetNames.emplace_back(val ? val : "");
    } else if (tag.local == "definedName") {
      const char* name = tag.Attr("name");
      const char* refersTo = tag.Attr("refersTo");
      const char* sheetId = tag.Attr("sheetId");
      if (name) cache.definedNames.push_back({name, refersTo ? refersTo : "", sheetId ? std::atoi(sheetId) : -1});
    } else if (tag.local == "sheetData") {
      const char* id = tag.Attr("sheetId");
      sheet_ = id ? std::atoi(id) : -1;
    } else if (tag.local == "cell") {
      const char* r = tag.Attr("r");
      const char* t = tag.Attr("t");
      inCell_ = r && ParseCellName(r, row_, column_);
      type_ = 'n';
      if (t) {
        std::string_view type(t);
        if (type == "str" || type == "s" || type == "inlineStr") type_ = 's';
        else if (type == "b") type_ = 'b';
        else if (type == "e") type_ = 'e';
      }
      hasValue_ = false;
    } else if (tag.local == "v" && inCell_) {
      inValue_ = true;
      hasValue_ = true;
      text_.clear();
    }
  }
  void Text(std::string_view text) override {
    if (inValue_) text_.append(text);
  }
  void End(const xml::EndTag& tag) override {
    if (tag.local == "v") {
      inValue_ = false;
    } else if (tag.local == "cell") {
      if (inCell_ && hasValue_ && sheet_ >= 0) cache.Add(sheet_, row_, column_, {type_, text_});
      inCell_ = false;
    }
  }

 private:
  int sheet_ = -1;
  bool inCell_ = false, inValue_ = false, hasValue_ = false;
  std::uint32_t row_ = 0, column_ = 0;
  char type_ = 'n';
  std::string text_;
};

std::string PercentDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
        std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
      out += static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

bool HasDrive(std::string_view p) {
  return p.size() >= 2 && std::isalpha(static_cast<unsigned char>(p[0])) && p[1] == ':';
}

bool HasScheme(std::string_view p) {
  auto colon = p.find(':');
  if (colon == std::string_view::npos || colon < 2) return false;  // "C:" is a drive
  for (std::size_t i = 0; i < colon; ++i) {
    char c = p[i];
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.') return false;
  }
  return true;
}

}  // namespace

int LinkCache::SheetIndex(std::string_view name) const {
  for (std::size_t i = 0; i < sheetNames.size(); ++i)
    if (EqualsNoCase(sheetNames[i], name)) return static_cast<int>(i);
  return -1;
}

const ExternalName* LinkCache::FindName(std::string_view name, int sheet) const {
  for (const auto& n : definedNames)
    if (n.sheet == sheet && EqualsNoCase(n.name, name)) return &n;
  return nullptr;
}

const CachedValue* LinkCache::Find(int sheet, std::uint32_t row, std::uint32_t column) const {
  auto s = cells_.find(sheet);
  if (s == cells_.end()) return nullptr;
  auto c = s->second.find(Key(row, column));
  return c == s->second.end() ? nullptr : &c->second;
}

void LinkCache::Add(int sheet, std::uint32_t row, std::uint32_t column, CachedValue value) {
  cells_[sheet][Key(row, column)] = std::move(value);
}

ExternalLinkPart ReadExternalLinkPart(std::string_view xmlText, std::string_view partName) {
  LinkPartReader reader;
  xml::Parse(xmlText, partName, reader);
  return reader.result;
}

LinkCache ReadLinkCache(std::string_view xmlText, std::string_view partName) {
  CacheReader reader;
  xml::Parse(xmlText, partName, reader);
  return std::move(reader.cache);
}

namespace {

// Windows shows a path from a file URL with its own separators.
std::string NativeSeparators(std::string path) {
#ifdef _WIN32
  std::replace(path.begin(), path.end(), '/', '\\');
#endif
  return path;
}

}  // namespace

std::string SourceName(std::string_view target, const std::filesystem::path& workbookPath) {
  if (StartsWithNoCase(target, "file:///")) {
    std::string rest = PercentDecode(target.substr(8));
    if (rest.rfind("\\\\", 0) == 0 || HasDrive(rest)) return NativeSeparators(std::move(rest));
    return "/" + rest;
  }
  if (StartsWithNoCase(target, "file://")) return NativeSeparators("//" + PercentDecode(target.substr(7)));
  if (HasScheme(target)) return std::string(target);
  std::string decoded = PercentDecode(target);
  if (decoded.empty() || decoded[0] == '/' || decoded[0] == '\\' || HasDrive(decoded)) return decoded;
  auto folder = workbookPath.parent_path();
  if (folder.empty()) return decoded;
  return base::ToUtf8((folder / base::FromUtf8(decoded)).lexically_normal());
}

std::string BookNameSource(std::string_view written, const std::filesystem::path& workbookPath) {
  // A formula spells the path out: no URL escapes to undo.
  if (written.empty() || HasScheme(written) || HasDrive(written) || written[0] == '/' || written[0] == '\\')
    return std::string(written);
  auto folder = workbookPath.parent_path();
  if (folder.empty()) return std::string(written);
  return base::ToUtf8((folder / base::FromUtf8(written)).lexically_normal());
}

std::string FormulaConstant(const CachedValue& value) {
  switch (value.type) {
    case 's': {
      std::string out = "\"";
      for (char c : value.text) {
        if (c == '"') out += '"';
        out += c;
      }
      return out + "\"";
    }
    case 'b':
      return value.text == "1" || EqualsNoCase(value.text, "true") ? "TRUE" : "FALSE";
    default:
      return value.text;
  }
}

}  // namespace quorvane::ooxml
