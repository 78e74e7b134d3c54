// The byte-offset reader and span editor every edit goes through.

#include <gtest/gtest.h>

#include <stdexcept>

#include "ooxml/Package.h"
#include "ooxml/Xml.h"

namespace quorvane::ooxml::xml {
namespace {

TEST(Xml, AttributesAreFoundByExactNameOutsideQuotedValues) {
  struct Case {
    const char* tag;
    const char* name;
    const char* value;  // nullptr: absent
  } cases[] = {
      {R"(<c r="t=x" t="str">)", "t", "str"},
      {R"(<c tt="1" t='e'/>)", "t", "e"},
      {R"(<c  r = "A1"  >)", "r", "A1"},
      {R"(<x:c x:t="n" t="b">)", "t", "b"},
      {R"(<c r="A1">)", "t", nullptr},
      {R"(<c r="A1" cm="1"/>)", "cm", "1"},
  };
  for (const auto& c : cases) {
    std::string_view tag(c.tag);
    RawAttribute raw;
    bool found = FindAttribute(tag, c.name, raw);
    ASSERT_EQ(found, c.value != nullptr) << c.tag;
    if (!found) continue;
    EXPECT_EQ(tag.substr(raw.value.begin, raw.value.end - raw.value.begin), c.value) << c.tag;
    EXPECT_TRUE(tag.substr(raw.whole.begin, 1) == " ") << c.tag;
  }
}

class Spans : public Handler {
 public:
  std::string log;
  std::string_view xml;

  void Start(const StartTag& t) override { Note("<", t.local, t.tag); }
  void End(const EndTag& t) override { Note("</", t.local, t.tag); }

 private:
  void Note(std::string_view open, std::string_view local, Span span) {
    log.append(open).append(local).append("@").append(xml.substr(span.begin, span.end - span.begin)).append(">");
  }
};

TEST(Xml, ReportsByteSpansOfStartAndEndTags) {
  Spans s;
  s.xml = R"(<?xml version="1.0"?><a xmlns:p="urn:p"><p:b k="&amp;"/><c>x</c></a>)";
  Parse(s.xml, "t.xml", s);
  EXPECT_EQ(s.log, R"(<a@<a xmlns:p="urn:p">><b@<p:b k="&amp;"/>></b@><c@<c>></c@</c>></a@</a>>)");
}

TEST(Xml, SpanEditorAppliesInAnyOrderAndRejectsOverlaps) {
  SpanEditor e;
  e.Replace({6, 7}, "X");
  e.Remove({0, 2});
  e.Insert(3, "+");
  EXPECT_EQ(e.Apply("abcdefgh"), "c+defXh");
  e.Replace({1, 3}, "!");
  EXPECT_THROW(e.Apply("abcdefgh"), std::logic_error);
}

TEST(Xml, RefusesDtdsAndMalformedText) {
  Handler h;
  EXPECT_THROW(Parse("<!DOCTYPE a [<!ENTITY e \"x\">]><a>&e;</a>", "p.xml", h), PackageError);
  EXPECT_THROW(Parse("<a><b></a>", "p.xml", h), PackageError);
  EXPECT_THROW(Parse("<a>&undefined;</a>", "p.xml", h), PackageError);
  try {
    Parse("<a>", "xl/worksheets/sheet9.xml", h);
  } catch (const PackageError& e) {
    EXPECT_STREQ(e.what(), "malformed XML in xl/worksheets/sheet9.xml");
  }
}

}  // namespace
}  // namespace quorvane::ooxml::xml
