// Producing, parsing, checking and compressing a part's new text in pieces
// must give exactly what the whole-text operations give.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ooxml/Package.h"
#include "ooxml/Verifier.h"
#include "ooxml/Xml.h"
#include "ooxml/ZipArchive.h"

namespace quorvane::ooxml {
namespace {

using xml::Span;

// Records events with their offsets.
class Recorder : public xml::Handler {
 public:
  std::vector<std::string> events;
  void Start(const xml::StartTag& tag) override {
    std::string e = "<" + std::string(tag.local) + "@" + std::to_string(tag.tag.begin) + "-" +
                    std::to_string(tag.tag.end);
    for (const char** a = tag.attrs; *a; a += 2) e += std::string(" ") + a[0] + "=" + a[1];
    events.push_back(e);
  }
  void End(const xml::EndTag& tag) override {
    events.push_back("/" + std::string(tag.local) + "@" + std::to_string(tag.tag.begin));
  }
  void Text(std::string_view t) override {
    if (!events.empty() && events.back()[0] == '#') {
      events.back() += t;
    } else {
      events.push_back("#" + std::string(t));
    }
  }
};

std::vector<std::string> PiecesOf(std::string_view text, std::size_t size) {
  std::vector<std::string> out;
  for (std::size_t at = 0; at < text.size(); at += size) out.emplace_back(text.substr(at, size));
  if (out.empty()) out.emplace_back();
  return out;
}

void FeedAll(xml::StreamParser& parser, std::string_view text, std::size_t size) {
  auto pieces = PiecesOf(text, size);
  for (std::size_t i = 0; i < pieces.size(); ++i) parser.Feed(pieces[i], i + 1 == pieces.size());
}

TEST(Streaming, PiecesParseLikeTheWholeText) {
  const std::string xml =
      "<?xml version=\"1.0\"?><x:ws xmlns:x=\"urn:a\" xmlns:r=\"urn:r\"><row r=\"1\"><c r=\"A1\" t=\"s\">"
      "<f>[1]Sheet!A1&amp;\"x\"</f><v>1</v></c><c r:id=\"rId1\"/></row></x:ws>";
  Recorder whole;
  xml::Parse(xml, "p.xml", whole);
  for (std::size_t size : {1u, 3u, 7u, 1000u}) {
    SCOPED_TRACE(size);
    Recorder pieces;
    xml::StreamParser parser("p.xml", pieces);
    FeedAll(parser, xml, size);
    EXPECT_EQ(pieces.events, whole.events);
  }

  const std::pair<std::string, std::string> refused[] = {
      {"<a><b></a>", "malformed XML in p.xml"},
      {"<a>", "malformed XML in p.xml"},  // only the last piece can tell
      {"<!DOCTYPE a [<!ENTITY e \"x\">]><a>&e;</a>", "document type declarations"},
  };
  for (const auto& [text, reason] : refused) {
    SCOPED_TRACE(text);
    Recorder r;
    xml::StreamParser parser("p.xml", r);
    try {
      FeedAll(parser, text, 2);
      ADD_FAILURE() << "accepted";
    } catch (const PackageError& e) {
      EXPECT_NE(std::string(e.what()).find(reason), std::string::npos) << e.what();
    }
  }
}

TEST(Streaming, EditsAppliedInPiecesMatchTheWholeText) {
  const std::string original = "0123456789abcdefghijklmnopqrstuvwxyz";
  xml::SpanEditor editor;
  editor.Replace({30, 32}, "<long replacement text>");
  editor.Insert(0, "^");
  editor.Remove({5, 10});
  editor.Insert(36, "$");
  editor.Replace({10, 11}, "");
  const std::string whole = editor.Apply(original);
  EXPECT_EQ(whole, "^01234bcdefghijklmnopqrst<long replacement text>wxyz$");
  for (std::size_t size : {1u, 4u, 16u, 1000u}) {
    SCOPED_TRACE(size);
    std::string joined;
    int lasts = 0;
    editor.ApplyTo(
        original,
        [&](std::string_view piece, bool last) {
          EXPECT_EQ(lasts, 0) << "a piece after the last";
          EXPECT_LE(piece.size(), size);
          joined += piece;
          lasts += last;
        },
        size);
    EXPECT_EQ(lasts, 1);
    EXPECT_EQ(joined, whole);
  }

  xml::SpanEditor overlapping;
  overlapping.Replace({4, 8}, "x");
  overlapping.Replace({2, 5}, "y");
  EXPECT_THROW(overlapping.ApplyTo(original, [](std::string_view, bool) {}, 4), std::logic_error);
  xml::SpanEditor beyond;
  beyond.Remove({30, 40});
  EXPECT_THROW(beyond.Apply(original), std::logic_error);
}

TEST(Streaming, PartCheckedInPiecesFindsWhatTheWholeCheckFinds) {
  const std::vector<std::string> broken = {"src.xlsx"};
  auto sheet = [](const std::string& formula) {
    return "<worksheet><sheetData><row><c r=\"A1\"><f>" + formula + "</f><v>1</v></c></row></sheetData>"
           "<x14:dataValidation xmlns:x14=\"urn:x\"><x14:formula1>1</x14:formula1></x14:dataValidation></worksheet>";
  };
  const struct {
    std::string text;
    bool ok;
  } cases[] = {
      {sheet("[1]Data!B2+SUM(A1:A9)"), true},
      {sheet("[2]Data!B2"), false},                     // beyond the one link left
      {sheet("'C:\\x\\[SRC.xlsx]Data'!B2"), false},     // the removed book by name
      {sheet("\"[2] is only text\""), true},
      {sheet("[1]Data!B2") + "<", false},               // not well-formed
      {"<w><c fmlaLink=\"[3]S!A1\"/></w>", false},      // formula attributes too
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    bool wholeOk = true;
    try {
      VerifyPart("xl/worksheets/sheet1.xml", c.text, 1, broken);
    } catch (const PackageError&) {
      wholeOk = false;
    }
    EXPECT_EQ(wholeOk, c.ok);
    for (std::size_t size : {1u, 5u, 64u}) {
      bool ok = true;
      try {
        PartVerifier verifier("xl/worksheets/sheet1.xml", 1, broken);
        auto pieces = PiecesOf(c.text, size);
        for (std::size_t i = 0; i < pieces.size(); ++i) verifier.Feed(pieces[i], i + 1 == pieces.size());
      } catch (const PackageError& e) {
        ok = false;
        EXPECT_NE(std::string(e.what()).find("xl/worksheets/sheet1.xml"), std::string::npos) << e.what();
      }
      EXPECT_EQ(ok, c.ok) << "pieces of " << size;
    }
  }
}

TEST(Streaming, DeflatedInPiecesInflatesToTheSameBytes) {
  std::string text;
  for (int i = 0; i < 50000; ++i) text += "<c r=\"A" + std::to_string(i) + "\"><v>" + std::to_string(i * 7) + "</v></c>";
  for (std::size_t size : {1000u, 65536u, 1u << 22}) {
    SCOPED_TRACE(size);
    zip::Deflater d;
    auto pieces = PiecesOf(text, size);
    for (std::size_t i = 0; i < pieces.size(); ++i) d.Feed(pieces[i], i + 1 == pieces.size());
    EXPECT_EQ(d.Size(), text.size());
    EXPECT_EQ(d.Crc(), zip::Crc(text));
    EXPECT_LT(d.Output().size(), text.size() / 4);
    EXPECT_EQ(zip::Inflate(d.Output(), text.size()), text);
  }
  const auto empty = DeflatePart("");
  EXPECT_EQ(zip::Inflate(empty.data, 0), "");
  // A wrong size is refused, not padded or cut.
  const auto small = DeflatePart("abc");
  EXPECT_THROW(zip::Inflate(small.data, 2), PackageError);
  EXPECT_THROW(zip::Inflate(small.data, 4), PackageError);
  EXPECT_THROW(zip::Inflate(small.data.substr(0, small.data.size() - 1), 3), PackageError);
}

}  // namespace
}  // namespace quorvane::ooxml
