#include "ooxml/Xml.h"

#include <expat.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <stdexcept>

#include "ooxml/Package.h"

namespace quorvane::ooxml::xml {
namespace {

constexpr char kSeparator = ' ';

void SplitName(const char* name, std::string_view& uri, std::string_view& local) {
  std::string_view all(name);
  auto cut = all.find(kSeparator);
  if (cut == std::string_view::npos) {
    uri = {};
    local = all;
  } else {
    uri = all.substr(0, cut);
    local = all.substr(cut + 1);
  }
}

struct ParserDeleter {
  void operator()(XML_Parser p) const { XML_ParserFree(p); }
};
using ParserPtr = std::unique_ptr<std::remove_pointer_t<XML_Parser>, ParserDeleter>;

// Carries the handler through expat's C callbacks. Exceptions must not cross
// expat's frames, so they are parked here and rethrown after XML_Parse.
struct Context {
  XML_Parser parser = nullptr;
  std::string_view xml;
  Handler* handler = nullptr;
  std::exception_ptr error;
  bool doctype = false;

  void Stop() { XML_StopParser(parser, XML_FALSE); }

  Span Current() const {
    auto at = static_cast<std::size_t>(XML_GetCurrentByteIndex(parser));
    auto count = static_cast<std::size_t>(XML_GetCurrentByteCount(parser));
    return {at, at + count};
  }
};

void OnStart(void* data, const XML_Char* name, const XML_Char** attrs) {
  auto* ctx = static_cast<Context*>(data);
  if (ctx->error) return;
  try {
    StartTag tag;
    SplitName(name, tag.uri, tag.local);
    tag.tag = ctx->Current();
    tag.raw = ctx->xml.substr(tag.tag.begin, tag.tag.end - tag.tag.begin);
    tag.empty = tag.raw.size() >= 2 && tag.raw[tag.raw.size() - 2] == '/';
    tag.attrs = attrs;
    ctx->handler->Start(tag);
  } catch (...) {
    ctx->error = std::current_exception();
    ctx->Stop();
  }
}

void OnEnd(void* data, const XML_Char* name) {
  auto* ctx = static_cast<Context*>(data);
  if (ctx->error) return;
  try {
    EndTag tag;
    SplitName(name, tag.uri, tag.local);
    tag.tag = ctx->Current();
    ctx->handler->End(tag);
  } catch (...) {
    ctx->error = std::current_exception();
    ctx->Stop();
  }
}

void OnText(void* data, const XML_Char* text, int length) {
  auto* ctx = static_cast<Context*>(data);
  if (ctx->error) return;
  try {
    ctx->handler->Text(std::string_view(text, static_cast<std::size_t>(length)));
  } catch (...) {
    ctx->error = std::current_exception();
    ctx->Stop();
  }
}

void OnDoctype(void* data, const XML_Char*, const XML_Char*, const XML_Char*, int) {
  auto* ctx = static_cast<Context*>(data);
  ctx->doctype = true;
  ctx->Stop();
}

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

}  // namespace

const char* StartTag::Attr(std::string_view name, std::string_view ns) const {
  for (const char** a = attrs; a && *a; a += 2) {
    std::string_view u, l;
    SplitName(a[0], u, l);
    if (l == name && u == ns) return a[1];
  }
  return nullptr;
}

std::string_view StartTag::Prefix() const {
  // raw is "<p:local ..." or "<local ..."
  std::size_t stop = 1;
  while (stop < raw.size() && !IsSpace(raw[stop]) && raw[stop] != '>' && raw[stop] != '/') ++stop;
  std::string_view qname = raw.substr(1, stop - 1);
  auto colon = qname.find(':');
  return colon == std::string_view::npos ? std::string_view{} : qname.substr(0, colon + 1);
}

void Parse(std::string_view xml, std::string_view partName, Handler& handler) {
  const std::string malformed = "malformed XML in " + std::string(partName);
  if (xml.size() >= 2 && ((xml[0] == '\xFE' && xml[1] == '\xFF') || (xml[0] == '\xFF' && xml[1] == '\xFE')))
    throw PackageError("UTF-16 XML is not supported (" + std::string(partName) + ")");
  if (xml.size() > static_cast<std::size_t>(std::numeric_limits<int>::max()))
    throw PackageError("part too large: " + std::string(partName));

  ParserPtr parser(XML_ParserCreateNS("UTF-8", kSeparator));
  if (!parser) throw std::bad_alloc();
  Context ctx;
  ctx.parser = parser.get();
  ctx.xml = xml;
  ctx.handler = &handler;
  XML_SetUserData(parser.get(), &ctx);
  XML_SetElementHandler(parser.get(), OnStart, OnEnd);
  XML_SetCharacterDataHandler(parser.get(), OnText);
  XML_SetStartDoctypeDeclHandler(parser.get(), OnDoctype);
  XML_SetParamEntityParsing(parser.get(), XML_PARAM_ENTITY_PARSING_NEVER);

  auto status = XML_Parse(parser.get(), xml.data(), static_cast<int>(xml.size()), XML_TRUE);
  if (ctx.error) std::rethrow_exception(ctx.error);
  if (ctx.doctype) throw PackageError(malformed + " (document type declarations are not allowed)");
  if (status != XML_STATUS_OK) throw PackageError(malformed);
}

bool FindAttribute(std::string_view raw, std::string_view qname, RawAttribute& out) {
  std::size_t i = 1;
  while (i < raw.size() && !IsSpace(raw[i]) && raw[i] != '>' && raw[i] != '/') ++i;
  while (i < raw.size()) {
    std::size_t wsStart = i;
    while (i < raw.size() && IsSpace(raw[i])) ++i;
    if (i >= raw.size() || raw[i] == '>' || raw[i] == '/') return false;
    std::size_t nameStart = i;
    while (i < raw.size() && raw[i] != '=' && !IsSpace(raw[i])) ++i;
    std::string_view name = raw.substr(nameStart, i - nameStart);
    while (i < raw.size() && (IsSpace(raw[i]) || raw[i] == '=')) ++i;
    if (i >= raw.size()) return false;
    char quote = raw[i];
    auto close = raw.find(quote, i + 1);
    if (close == std::string_view::npos) return false;
    if (name == qname) {
      out.whole = {wsStart, close + 1};
      out.value = {i + 1, close};
      return true;
    }
    i = close + 1;
  }
  return false;
}

std::string EscapeText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string EscapeAttribute(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

void SpanEditor::Replace(Span span, std::string text) { edits_.push_back({span, std::move(text)}); }

std::string SpanEditor::Apply(std::string_view original) const {
  std::vector<const Edit*> order;
  order.reserve(edits_.size());
  for (const auto& e : edits_) order.push_back(&e);
  auto earlier = [](const Edit* a, const Edit* b) { return a->span.begin < b->span.begin; };
  // Edits mostly arrive in document order already.
  if (!std::is_sorted(order.begin(), order.end(), earlier)) std::stable_sort(order.begin(), order.end(), earlier);
  std::string out;
  out.reserve(original.size() + 64);
  std::size_t at = 0;
  for (const Edit* e : order) {
    if (e->span.begin < at || e->span.end < e->span.begin || e->span.end > original.size())
      throw std::logic_error("overlapping XML edits");
    out.append(original.substr(at, e->span.begin - at));
    out += e->text;
    at = e->span.end;
  }
  out.append(original.substr(at));
  return out;
}

}  // namespace quorvane::ooxml::xml
