#include "ooxml/Xml.h"

#include <expat.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <random>
#include <stdexcept>

#include "ooxml/Package.h"

namespace quorvane::ooxml::xml {
namespace {

constexpr char kSeparator = ' ';

// Called twice for every element: one pass over the long namespace URI, not
// a measure of the whole name and then a search in it.
void SplitName(const char* name, std::string_view& uri, std::string_view& local) {
  const char* cut = std::strchr(name, kSeparator);
  if (!cut) {
    uri = {};
    local = name;
  } else {
    uri = std::string_view(name, static_cast<std::size_t>(cut - name));
    local = cut + 1;
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
  PartRole role = PartRole::Content;
  std::exception_ptr error;
  bool halted = false;   // no more callbacks wanted: an error, or StopParsing
  bool stopped = false;  // ended by StopParsing
  bool doctype = false;
  bool streaming = false;  // xml is not at hand

  void Halt() {
    halted = true;
    XML_StopParser(parser, XML_FALSE);
  }
  // Called with the handler's exception from inside a callback.
  void Catch() {
    try {
      throw;
    } catch (const StopParsing&) {
      stopped = true;
    } catch (...) {
      error = std::current_exception();
    }
    Halt();
  }

  Span Current() const {
    auto at = static_cast<std::size_t>(XML_GetCurrentByteIndex(parser));
    auto count = static_cast<std::size_t>(XML_GetCurrentByteCount(parser));
    return {at, at + count};
  }
};

void OnStart(void* data, const XML_Char* name, const XML_Char** attrs) {
  auto* ctx = static_cast<Context*>(data);
  if (ctx->halted) return;
  try {
    StartTag tag;
    SplitName(name, tag.uri, tag.local);
    tag.tag = ctx->Current();
    if (!ctx->streaming) {
      tag.raw = ctx->xml.substr(tag.tag.begin, tag.tag.end - tag.tag.begin);
      tag.empty = tag.raw.size() >= 2 && tag.raw[tag.raw.size() - 2] == '/';
    }
    tag.attrs = attrs;
    ctx->handler->Start(tag);
  } catch (...) {
    ctx->Catch();
  }
}

void OnEnd(void* data, const XML_Char* name) {
  auto* ctx = static_cast<Context*>(data);
  if (ctx->halted) return;
  try {
    EndTag tag;
    SplitName(name, tag.uri, tag.local);
    tag.tag = ctx->Current();
    ctx->handler->End(tag);
  } catch (...) {
    ctx->Catch();
  }
}

void OnText(void* data, const XML_Char* text, int length) {
  auto* ctx = static_cast<Context*>(data);
  if (ctx->halted) return;
  try {
    ctx->handler->Text(std::string_view(text, static_cast<std::size_t>(length)));
  } catch (...) {
    ctx->Catch();
  }
}

// Without a DTD no entity can ever be declared, so none can be expanded.
void OnDoctype(void* data, const XML_Char*, const XML_Char*, const XML_Char*, int) {
  auto* ctx = static_cast<Context*>(data);
  ctx->doctype = true;
  ctx->Halt();
}

void OnEntityDecl(void* data, const XML_Char*, int, const XML_Char*, int, const XML_Char*, const XML_Char*,
                  const XML_Char*, const XML_Char*) {
  auto* ctx = static_cast<Context*>(data);
  ctx->doctype = true;
  ctx->Halt();
}

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

}  // namespace

const char* StartTag::Attr(std::string_view name, std::string_view ns) const {
  // Called for every cell: compared in place, without measuring each name.
  for (const char** a = attrs; a && *a; a += 2) {
    const char* n = *a;
    if (!ns.empty()) {
      if (std::strncmp(n, ns.data(), ns.size()) != 0 || n[ns.size()] != kSeparator) continue;
      n += ns.size() + 1;
    }
    if (std::strncmp(n, name.data(), name.size()) == 0 && n[name.size()] == '\0') return a[1];
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

// Left to itself expat asks the system for fresh randomness for every
// parser, a system call per part; one random salt per thread protects as well.
unsigned long HashSalt() {
  thread_local const unsigned long salt = [] {
    std::random_device source;
    unsigned long value = 0;
    while (value == 0) value = (static_cast<unsigned long>(source()) << 16) ^ source();  // 0 means "make one"
    return value;
  }();
  return salt;
}

namespace {

ParserPtr NewParser(Context& ctx) {
  // A null encoding follows the document's declaration (or its BOM).
  ParserPtr parser(XML_ParserCreateNS(ctx.role == PartRole::Content ? "UTF-8" : nullptr, kSeparator));
  if (!parser) throw std::bad_alloc();
  XML_SetHashSalt(parser.get(), HashSalt());
  ctx.parser = parser.get();
  XML_SetUserData(parser.get(), &ctx);
  XML_SetElementHandler(parser.get(), OnStart, OnEnd);
  XML_SetCharacterDataHandler(parser.get(), OnText);
  XML_SetStartDoctypeDeclHandler(parser.get(), OnDoctype);
  XML_SetEntityDeclHandler(parser.get(), OnEntityDecl);
  XML_SetParamEntityParsing(parser.get(), XML_PARAM_ENTITY_PARSING_NEVER);
  return parser;
}

void CheckStart(std::string_view xml, std::string_view partName) {
  if (xml.size() >= 2 && ((xml[0] == '\xFE' && xml[1] == '\xFF') || (xml[0] == '\xFF' && xml[1] == '\xFE')))
    throw PackageError("UTF-16 XML is not supported (" + std::string(partName) + ")");
}

// Feeds one piece; throws what the handler threw or why the XML is refused.
void FeedPiece(XML_Parser parser, Context& ctx, std::string_view piece, bool last, std::string_view partName) {
  if (ctx.stopped) return;
  // Given a large piece at once, expat copies all of it into a buffer of its
  // own; slices keep that buffer small.
  constexpr std::size_t kSlice = 256 * 1024;
  XML_Status status = XML_STATUS_OK;
  std::size_t at = 0;
  do {
    const std::size_t n = std::min(kSlice, piece.size() - at);
    const bool final = last && at + n == piece.size();
    status = XML_Parse(parser, piece.data() + at, static_cast<int>(n), final ? XML_TRUE : XML_FALSE);
    at += n;
  } while (status == XML_STATUS_OK && at < piece.size());
  if (ctx.error) std::rethrow_exception(ctx.error);
  if (status == XML_STATUS_OK || ctx.stopped) return;
  const std::string malformed = "malformed XML in " + std::string(partName);
  if (ctx.doctype) throw PackageError(malformed + " (document type declarations are not allowed)");
  if (ctx.role == PartRole::Content) throw PackageError(malformed);
  throw PackageError(malformed + " (line " + std::to_string(XML_GetCurrentLineNumber(parser)) + ": " +
                     XML_ErrorString(XML_GetErrorCode(parser)) + ")");
}

}  // namespace

void Parse(std::string_view xml, std::string_view partName, Handler& handler, PartRole role) {
  if (role == PartRole::Content) {
    CheckStart(xml, partName);
    if (xml.size() > static_cast<std::size_t>(std::numeric_limits<int>::max()))
      throw PackageError("part too large: " + std::string(partName));
  }
  Context ctx;
  ctx.xml = xml;
  ctx.handler = &handler;
  ctx.role = role;
  ParserPtr parser = NewParser(ctx);
  FeedPiece(parser.get(), ctx, xml, true, partName);
}

struct StreamParser::State {
  std::string part;
  Context ctx;
  ParserPtr parser;
  bool started = false;
};

StreamParser::StreamParser(std::string_view partName, Handler& handler) : state_(std::make_unique<State>()) {
  state_->part = partName;
  state_->ctx.handler = &handler;
  state_->ctx.streaming = true;
  state_->parser = NewParser(state_->ctx);
}

StreamParser::~StreamParser() = default;

void StreamParser::Feed(std::string_view piece, bool last) {
  if (!state_->started && !piece.empty()) {
    CheckStart(piece, state_->part);  // a BOM split over two pieces is not worth handling
    state_->started = true;
  }
  FeedPiece(state_->parser.get(), state_->ctx, piece, last, state_->part);
}

namespace {

// Calls `each(whole, name)` for every attribute of a raw start tag, until it returns true.
template <typename F>
bool EachAttribute(std::string_view raw, F each) {
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
    if (each(RawAttribute{{wsStart, close + 1}, {i + 1, close}}, name)) return true;
    i = close + 1;
  }
  return false;
}

}  // namespace

bool FindAttribute(std::string_view raw, std::string_view qname, RawAttribute& out) {
  return EachAttribute(raw, [&](const RawAttribute& a, std::string_view name) {
    if (name != qname) return false;
    out = a;
    return true;
  });
}

std::string NamespaceDeclarations(std::string_view raw) {
  std::string out;
  EachAttribute(raw, [&](const RawAttribute& a, std::string_view name) {
    if (name == "xmlns" || name.substr(0, 6) == "xmlns:") out.append(raw.substr(a.whole.begin, a.whole.end - a.whole.begin));
    return false;
  });
  return out;
}

namespace {

std::string Escape(std::string_view text, bool quotes) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"':
        if (quotes) {
          out += "&quot;";
          break;
        }
        [[fallthrough]];
      default: out += c;
    }
  }
  return out;
}

}  // namespace

std::string EscapeText(std::string_view text) { return Escape(text, false); }

std::string EscapeAttribute(std::string_view text) { return Escape(text, true); }

void SpanEditor::Replace(Span span, std::string text) { edits_.push_back({span, std::move(text)}); }

std::string SpanEditor::Apply(std::string_view original) const {
  std::string out;
  out.reserve(original.size() + 64);
  ApplyTo(original, [&](std::string_view piece, bool) { out += piece; }, std::numeric_limits<std::size_t>::max());
  return out;
}

void SpanEditor::ApplyTo(std::string_view original, const std::function<void(std::string_view, bool)>& sink,
                         std::size_t piece) const {
  // Edits mostly arrive in document order already; only then is no index needed.
  auto earlier = [](const Edit& a, const Edit& b) { return a.span.begin < b.span.begin; };
  std::vector<const Edit*> sorted;
  if (!std::is_sorted(edits_.begin(), edits_.end(), earlier)) {
    sorted.reserve(edits_.size());
    for (const auto& e : edits_) sorted.push_back(&e);
    std::stable_sort(sorted.begin(), sorted.end(), [&](const Edit* a, const Edit* b) { return earlier(*a, *b); });
  }
  const std::size_t count = edits_.size();
  auto editAt = [&](std::size_t i) -> const Edit& { return sorted.empty() ? edits_[i] : *sorted[i]; };
  for (std::size_t i = 0; i < count; ++i) {
    const Edit& e = editAt(i);
    if (e.span.end < e.span.begin || e.span.end > original.size() || (i > 0 && e.span.begin < editAt(i - 1).span.end))
      throw std::logic_error("overlapping XML edits");
  }
  // Untouched stretches go out as they are, cut to size; edits are gathered.
  std::string buffer;
  auto put = [&](std::string_view text) {
    if (piece == std::numeric_limits<std::size_t>::max()) {
      if (!text.empty()) sink(text, false);
      return;
    }
    while (!text.empty()) {
      if (buffer.empty() && text.size() >= piece) {
        sink(text.substr(0, piece), false);
        text.remove_prefix(piece);
        continue;
      }
      const std::size_t n = std::min(text.size(), piece - buffer.size());
      buffer.append(text.substr(0, n));
      text.remove_prefix(n);
      if (buffer.size() == piece) {
        sink(buffer, false);
        buffer.clear();
      }
    }
  };
  std::size_t at = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const Edit& e = editAt(i);
    put(original.substr(at, e.span.begin - at));
    put(e.text);
    at = e.span.end;
  }
  put(original.substr(at));
  sink(buffer, true);
}

}  // namespace quorvane::ooxml::xml
