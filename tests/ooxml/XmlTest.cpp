// The byte-offset reader and span editor every edit goes through. Parsing,
// checking and compressing a part in pieces must give exactly what the
// whole-text operations give.
#include <gtest/gtest.h>

#include <array>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "ZipTestUtil.h"
#include "ooxml/Deflate.h"
#include "ooxml/Package.h"
#include "ooxml/Verifier.h"
#include "ooxml/Xml.h"

namespace quorvane::ooxml::xml {
namespace {

using test::ErrorOf;

// Feeds `text` in pieces of `size`; empty text is one empty last piece.
template <typename Sink>
void FeedAll(Sink& sink, std::string_view text, std::size_t size) {
  do {
    const std::string piece(text.substr(0, size));
    text.remove_prefix(piece.size());
    sink.Feed(piece, text.empty());
  } while (!text.empty());
}

// Rows: tag, name, the attribute's whole span and its value ("" when absent).
TEST(Xml, AttributesAreFoundByExactNameOutsideQuotedValues) {
  const std::array<std::array<const char*, 3>, 6> cases = {{
      {R"(<c r="t=x" t="str">)", "t", R"( t="str"|str)"}, {R"(<c tt="1" t='e'/>)", "t", " t='e'|e"},
      {R"(<c  r = "A1"  >)", "r", R"(  r = "A1"|A1)"},      {R"(<x:c x:t="n" t="b">)", "t", R"( t="b"|b)"},
      {R"(<c r="A1">)", "t", ""},                          {R"(<c r="A1" cm="1"/>)", "cm", R"( cm="1"|1)"},
  }};
  for (const auto& [text, name, expected] : cases) {
    const std::string_view tag(text);
    RawAttribute raw;
    const auto span = [&](Span s) { return std::string(tag.substr(s.begin, s.end - s.begin)); };
    EXPECT_EQ(FindAttribute(tag, name, raw) ? span(raw.whole) + "|" + span(raw.value) : "", expected) << text;
  }
}

// Parts the engine edits are UTF-8 only; the package's own parts follow their
// declaration and name the line of a fault. A handler may end any parse early.
TEST(Xml, RolesDecideEncodingAndFaultTextAndStopEndsQuietly) {
  struct FirstElement : Handler {
    std::string seen;
    void Start(const StartTag& tag) override {
      seen = std::string(tag.local) + " " + std::string(tag.Value("v"));
      throw StopParsing();
    }
  };
  std::string utf16 = "\xFF\xFE";
  for (char c : std::string(R"(<Types v="1"/>)")) utf16 += std::string{c, '\0'};
  const std::string latin1 = "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><T v=\"caf\xE9\"/>";
  const std::string broken = "<?xml version=\"1.0\"?>\n<a\n<b/>";
  // The text, its role, and the first element and its v, or the error.
  const std::tuple<std::string, PartRole, std::string> cases[] = {
      {utf16, PartRole::Structure, "Types 1"}, {utf16, PartRole::Content, "UTF-16 XML is not supported (p.xml)"},
      {latin1, PartRole::Structure, "T caf\xC3\xA9"}, {latin1, PartRole::Content, "malformed XML in p.xml"},
      {"<a v=\"x\">\n<b></a>", PartRole::Content, "a x"},  // stopped before the fault
      {broken, PartRole::Structure, "malformed XML in p.xml (line 3: not well-formed (invalid token))"},
      {"<!DOCTYPE a [<!ENTITY e \"x\">]><a v=\"&e;\"/>", PartRole::Structure,
       "malformed XML in p.xml (document type declarations are not allowed)"},
  };
  for (const auto& [text, role, result] : cases) {
    FirstElement first;
    const std::string error = ErrorOf([&] { Parse(text, "p.xml", first, role); });
    EXPECT_EQ(error == test::kNoError ? first.seen : error, result);
  }
}

// The pieces go on to be compressed, as a rewritten part is on its way out.
TEST(Xml, EditsAppliedInAnyOrderAndInPiecesMatchTheWholeTextAndDeflateAlike) {
  const std::string tail(100000, '.');
  const std::string original = "0123456789abcdefghijklmnopqrstuvwxyz" + tail;
  SpanEditor editor;
  editor.Replace({30, 32}, "<long replacement text>");
  editor.Insert(0, "^");
  editor.Remove({5, 10});
  editor.Insert(36, "$");
  editor.Replace({10, 11}, "");
  const std::string whole = editor.Apply(original);
  EXPECT_TRUE(whole == "^01234bcdefghijklmnopqrst<long replacement text>wxyz$" + tail);
  for (std::size_t size : {1u, 4u, 1000u, 1u << 22}) {
    std::string joined;  // "|" marks the last piece
    zip::Deflater deflater;
    editor.ApplyTo(
        original,
        [&](std::string_view piece, bool last) {
          EXPECT_LE(piece.size(), size);
          joined += std::string(piece) + (last ? "|" : "");
          deflater.Feed(piece, last);
        },
        size);
    EXPECT_TRUE(joined == whole + "|") << size;
    EXPECT_EQ(deflater.Size(), whole.size());
    EXPECT_EQ(deflater.Crc(), zip::Crc(whole));
    EXPECT_LT(deflater.Output().size(), whole.size() / 4);
    EXPECT_TRUE(zip::Inflate(deflater.Output(), whole.size()) == whole);
  }
  // Overlapping spans and spans past the end are the caller's fault.
  SpanEditor overlapping, beyond;
  overlapping.Replace({4, 8}, "x");
  overlapping.Replace({2, 5}, "y");
  beyond.Remove({30, original.size() + 1});
  EXPECT_THROW(overlapping.Apply(original), std::logic_error);
  EXPECT_THROW(beyond.Apply(original), std::logic_error);
  // A wrong size is refused, not padded or cut.
  EXPECT_EQ(zip::Inflate(DeflatePart("").data, 0), "");
  const std::string abc = DeflatePart("abc").data;
  for (const auto& [data, size] : {std::pair{abc, 2}, {abc, 4}, {abc.substr(0, abc.size() - 1), 3}})
    EXPECT_THROW(zip::Inflate(data, size), PackageError) << size;
}

TEST(Xml, PartCheckedInPiecesFindsWhatTheWholeCheckFinds) {
  BookNames books("/books/book.xlsx");
  books.Add("C:\\x\\Src.xlsx", 2, true);
  auto sheet = [](const std::string& formula) {
    return "<worksheet><sheetData><row><c r=\"A1\"><f>" + formula + "</f><v>1</v></c></row></sheetData>"
           "<x14:dataValidation xmlns:x14=\"urn:x\"><x14:formula1>1</x14:formula1></x14:dataValidation></worksheet>";
  };
  const std::pair<std::string, bool> cases[] = {  // the part, whether it passes
      {sheet("[1]Data!B2+SUM(A1:A9)"), true},
      {sheet("[2]Data!B2"), false},                  // beyond the one link left
      {sheet("'C:\\x\\[SRC.xlsx]Data'!B2"), false},  // the removed book by name
      {sheet("\"[2] is only text\""), true},
      {sheet("[1]Data!B2") + "<", false},            // not well-formed
      {"<w><c fmlaLink=\"[3]S!A1\"/></w>", false},   // formula attributes too
      {"<w><pr title=\"[3]S!A1\" macro=\"\"/></w>", true},  // only those
      {"<!DOCTYPE w [<!ENTITY e \"x\">]><w>&e;</w>", false},  // no document types
      {"<w>", false},                                          // only the last piece can tell
  };
  const std::string part = "xl/worksheets/sheet1.xml";
  for (const auto& [text, ok] : cases) {
    for (std::size_t size : {0u, 1u, 5u, 64u}) {  // 0: whole
      PartVerifier pieces(part, 1, books);
      const std::string error = ErrorOf([&] { size ? FeedAll(pieces, text, size) : VerifyPart(part, text, 1, books); });
      EXPECT_EQ(error == test::kNoError, ok) << text << " in pieces of " << size << ": " << error;
      EXPECT_TRUE(ok || error.find(part) != std::string::npos) << error;
    }
  }
}

}  // namespace
}  // namespace quorvane::ooxml::xml
