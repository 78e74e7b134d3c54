#pragma once
// A streaming XML reader over one part that reports byte offsets, and a span
// editor. Parts are edited by replacing byte ranges of the original text, so
// everything that is not edited stays exactly as it was written.

#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane::ooxml::xml {

struct Span {
  std::size_t begin = 0;
  std::size_t end = 0;  // one past the last byte
  bool Empty() const { return begin == end; }
};

// The raw text of an attribute inside a start tag.
struct RawAttribute {
  Span whole;  // from the whitespace before the name to the closing quote
  Span value;  // between the quotes, still escaped
};

struct StartTag {
  std::string_view uri;    // namespace URI, empty when none
  std::string_view local;  // local name
  Span tag;                // the whole start tag (the whole element when empty)
  bool empty = false;      // written as <x/>
  std::string_view raw;    // text of the start tag
  const char** attrs = nullptr;  // expat's name/value pairs, names as "uri local"

  // Decoded value of an attribute without namespace, or of one in `uri`.
  const char* Attr(std::string_view local, std::string_view uri = {}) const;
  // The same, "" when absent.
  std::string_view Value(std::string_view name, std::string_view ns = {}) const {
    const char* value = Attr(name, ns);
    return value ? std::string_view(value) : std::string_view();
  }
  // Prefix the tag was written with, colon included ("" when none), for
  // writing siblings.
  std::string_view Prefix() const;
};

struct EndTag {
  std::string_view uri;
  std::string_view local;
  Span tag;  // the end tag; empty (at the start tag's end) for <x/>
};

class Handler {
 public:
  virtual ~Handler() = default;
  virtual void Start(const StartTag&) {}
  virtual void End(const EndTag&) {}
  virtual void Text(std::string_view) {}
};

// Thrown by a handler that has read all it needs: the parse ends quietly.
struct StopParsing {};

// Parts the engine edits are addressed by byte offsets into the text as
// stored, so they are read as UTF-8 only (UTF-16 is refused). The package's
// own parts ([Content_Types].xml, relationships, the main part's root) are
// only read for their values: they may use any encoding their declaration
// names, and a fault there names its line and expat's reason.
enum class PartRole { Content, Structure };

// Parses a whole part; this is the one place any XML is parsed. DTDs are
// refused outright (no entity expansion can happen); anything not
// well-formed throws PackageError naming the part. Exceptions thrown by the
// handler propagate unchanged.
void Parse(std::string_view xml, std::string_view partName, Handler& handler,
           PartRole role = PartRole::Content);

// Parses a part that arrives in pieces, with the same checks as Parse. Byte
// offsets count from the first piece; StartTag::raw is empty and
// StartTag::empty false, as the text is no longer at hand. Feed throws what
// Parse would; after a throw the parser is spent.
class StreamParser {
 public:
  StreamParser(std::string_view partName, Handler& handler);
  ~StreamParser();
  StreamParser(const StreamParser&) = delete;
  StreamParser& operator=(const StreamParser&) = delete;
  void Feed(std::string_view piece, bool last);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// A random, non-zero salt for expat's hash tables (which protects them
// against crafted names), made once per thread: XML_SetHashSalt.
unsigned long HashSalt();

// Finds an attribute by its qualified name as written (e.g. "t", "r:id").
bool FindAttribute(std::string_view rawTag, std::string_view qname, RawAttribute& out);
// The namespace declarations a start tag makes, as written (" xmlns:a=..."),
// for an element written in its place.
std::string NamespaceDeclarations(std::string_view rawTag);

std::string EscapeText(std::string_view text);       // & < >
std::string EscapeAttribute(std::string_view text);  // & < > "

// Collects replacements of byte ranges and applies them in one pass.
class SpanEditor {
 public:
  void Replace(Span span, std::string text);
  void Insert(std::size_t at, std::string text) { Replace({at, at}, std::move(text)); }
  void Remove(Span span) { Replace(span, {}); }
  bool Empty() const { return edits_.empty(); }
  std::size_t Count() const { return edits_.size(); }
  // Throws std::logic_error when two edits overlap.
  std::string Apply(std::string_view original) const;
  // The same text handed out in pieces of at most about `piece` bytes, the
  // last one flagged; never built whole.
  void ApplyTo(std::string_view original, const std::function<void(std::string_view, bool last)>& sink,
               std::size_t piece = 256 * 1024) const;

 private:
  struct Edit {
    Span span;
    std::string text;
  };
  std::deque<Edit> edits_;  // grows without copying: large parts carry many edits
};

}  // namespace quorvane::ooxml::xml
