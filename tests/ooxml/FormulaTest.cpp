#include "ooxml/Formula.h"

#include "ooxml/BookNames.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace quorvane::ooxml::formula {
namespace {

// Written the way files store them: [n] before the sheet, inside the quotes;
// then brackets that are not book prefixes, and malformed text.
const std::vector<std::pair<std::string, std::vector<std::uint32_t>>> kBookPrefixes = {
    {"[1]Sheet1!A1", {1}}, {"'[1]My Sheet'!A1", {1}}, {"'[1]It''s'!A1", {1}}, {"[1]S1:S3!A1", {1}},
    {"'[1]Jan 1:Dec 31'!A1", {1}}, {"[1]!Rate", {1}}, {"[2]!''''", {2}}, {"[0]!LocalName", {0}},
    {"=[7]Sheet1!$A$1", {7}}, {"[1]Données!A1", {1}}, {"[1]!Table1[Col]", {1}}, {"[4294967295]S!A1", {4294967295u}},
    {"SUM([1]A!A1,[3]B!B2)+[1]A!C3", {1, 3, 1}}, {"'[12]Q''s'!A1+'Plain'!A1+'[2]x'!B1", {12, 2}},
    // Not Excel's spelling, but unambiguous.
    {"[3]'My Sheet'!A1", {3}}, {"[1]#REF!+1", {1}},
    // After every kind of operator and separator.
    {"-[1]S!A1+[2]S!A1*[3]S!A1/[4]S!A1^[5]S!A1", {1, 2, 3, 4, 5}},
    {"\"x\"&[1]S!A1<>[2]S!A1>=[3]S!A1<[4]S!A1", {1, 2, 3, 4}}, {"A1=[1]S!A1+5%+[2]S!A1 [3]S!A1:B2", {1, 2, 3}},
    {"IF(A1,[1]S!A1;[2]S!A1)", {1, 2}}, {"A1\n+\t[1]S!A1", {1}}, {"{1,2}*(([1]S!A1))", {1}},
    // Neighbours that must not hide a prefix.
    {"Table1[Col]+[4]S!A1", {4}}, {"\"[9]S!A1\"&[1]S!A1", {1}}, {"#REF!+[1]S!A1", {1}}, {"#N/A/[1]S!A1", {1}},
    {"A1#+[1]S!A1", {1}}, {"{\"}\",\"[5]S!A1\"}+[1]S!A1", {1}}, {"\"[1]Sheet1!A1\"", {}},
    {"\"a\"\"[1]S!A1\"\"\"", {}}, {"{\"[1]\",1;2,3}", {}}, {"INDIRECT(\"[B.xlsx]S!A1\")", {}},
    // Structured references; ' escapes a bracket inside a column name.
    {"Table1[[#This Row],[1]]", {}}, {"Table1[1]", {}}, {"Table1[[1]:[2]]", {}}, {"Table1['[1']S!A1]", {}},
    {"Table1[a'],[1]S!A1]", {}}, {"Table1[2]x!A1", {}}, {"[@Col]", {}}, {"[@[1]]", {}},
    // [n] without a sheet and "!" after it.
    {"[1]", {}}, {"[1]+1", {}}, {"[1]A1", {}}, {"[1]'x'", {}}, {"[1]'x!", {}}, {"'[1]Sheet1'", {}}, {"#REF!", {}},
    {"'C:\\dir\\[Book.xlsx]Sheet'!A1", {}}, {"'My [2] Sheet'!A1", {}}, {"[]S!A1", {}}, {"[x]S!A1", {}},
    // What lies in an unterminated string, quote, bracket or array is not a
    // reference; an index too large for 32 bits is not one either.
    {"\"[1]S!A1", {}}, {"'[1]S!A1", {}}, {"Table1[Col+[1]S!A1", {}}, {"{1,2+[1]S!A1", {}}, {"[99999999999]S!A1", {}},
    {"[4294967296]S!A1+[2]S!A1", {2}}, {"", {}}, {"[", {}}, {"]", {}}, {"'", {}}, {"\"", {}}, {"''", {}}, {"[1", {}},
    {"#", {}}, {"[1]!", {1}}, {"]]][1]S!A1", {1}},
};

TEST(FormulaBookRefs, FindsEveryPrefixWithItsDigitsAndNothingElse) {
  for (const auto& [text, books] : kBookPrefixes) {
    SCOPED_TRACE(text);
    std::vector<std::uint32_t> got;
    for (const BookRef& ref : FindBookRefs(text)) {
      got.push_back(ref.index);
      // offset/length cover exactly the digits between the brackets.
      ASSERT_LE(ref.offset + ref.length, text.size());
      EXPECT_EQ(text.substr(ref.offset - 1, ref.length + 2), std::string("[") + std::to_string(ref.index) + "]");
    }
    EXPECT_EQ(got, books);
  }
  // Inputs that would cost quadratic time in a scanner that backtracks.
  for (const std::string unit : {"[", "'", "[1]", "[1]a", "[1]a:", "\"", "{", "[1]x!", "''"}) {
    std::string text;
    while (text.size() < (1u << 20)) text += unit;
    SCOPED_TRACE(unit);
    for (const BookRef& ref : FindBookRefs(text)) EXPECT_EQ(ref.index, 1u);
    FindNameRefs(text);
    ParseExternalReference(text);
  }
  EXPECT_EQ(FindBookRefs(std::string(1u << 20, '9').insert(0, "[").append("]S!A1")).size(), 0u);
}

// Books named by file, as scripts write them; the same text in a string, a
// table or without a sheet and "!" names none.
TEST(FormulaBookNames, FindsFileNamesOnlyWhereAReferenceStands) {
  const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
      {"[Source.xlsx]Data!B3", {"Source.xlsx"}}, {"'[My Book.xlsx]Q''s 1'!A1:B2", {"My Book.xlsx"}},
      {"'C:\\Data\\[Source.xlsx]Data'!B2*2", {"C:\\Data\\Source.xlsx"}},
      {"SUM('\\\\srv\\x [old]\\[B.xlsm]S1:S3'!A1)+[1]S!A1", {"\\\\srv\\x [old]\\B.xlsm"}},
      {"'https://h/d/[B.xlsx]S'!A1&[Book1]S!A1", {"https://h/d/B.xlsx", "Book1"}},
      {"[Source.xlsx]!Rate+'[2024.xlsx]S'!A1", {"Source.xlsx", "2024.xlsx"}}, {"=\"[Source.xlsx]\"", {}},
      {"INDIRECT(\"'[Source.xlsx]Data'!B2\")", {}}, {"HYPERLINK(\"[Source.xlsx]Data!A1\",\"open\")", {}},
      {"Table1[Source.xlsx]", {}}, {"[Source.xlsx]", {}}, {"'[Source.xlsx]Data'", {}},
      {"[Source.xlsx]My Data!A1", {}}, {"'[1]S'!A1", {}}, {"[]S!A1+'[]S'!A1+'x]S'!A1", {}},
      {"'[Source.xlsx]Data!A1", {}}, {"[a'b.xlsx]S!A1", {}},
  };
  for (const auto& [text, books] : cases) {
    EXPECT_EQ(FindBookNames(text), books) << text;
    EXPECT_TRUE(FindBookRefs(text).empty() || text.find("[1]") != std::string::npos) << text;
    EXPECT_TRUE(FindNameRefs(text).empty() || books.empty()) << text << ": the other book's name is not ours";
    // Parts are looked through in pieces: a book named anywhere is seen, however the part is cut.
    for (std::size_t cut = 0; cut <= text.size(); ++cut) {
      ooxml::BookNameSniffer sniffer;
      sniffer.Feed(text.substr(0, cut));
      EXPECT_TRUE(sniffer.Feed(text.substr(cut)) || books.empty()) << text << " cut at " << cut;
    }
  }
}

TEST(FormulaRenumber, RewritesOnlyTheDigitsOfKnownBooks) {
  // Book 2 of [1][2][3] removed: [3] becomes [2], [1] stays; text and tables keep theirs.
  const std::vector<std::uint32_t> drop2 = {0, 1, 0, 2};
  EXPECT_EQ(Renumber("[1]A!A1+[3]C!C1&'[3]It''s'!A1&\"[3]x\"&Table1[3]", drop2),
            "[1]A!A1+[2]C!C1&'[2]It''s'!A1&\"[3]x\"&Table1[3]");
  // Book 1 removed: everything moves down.
  EXPECT_EQ(Renumber("[3]C!A1*[2]B!A1+SUM([2]!Rate,[3]!", {0, 0, 1, 2}), "[2]C!A1*[1]B!A1+SUM([1]!Rate,[2]!");
  // Width changes in either direction.
  const std::vector<std::uint32_t> wide = {0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 9, 11, 12};
  EXPECT_EQ(Renumber("[10]S!A1+[9]S!A1+[1]S!A1", wide), "[9]S!A1+[12]S!A1+[1]S!A1");
  EXPECT_EQ(Renumber("[01]S!A1", {0, 1}), "[01]S!A1") << "odd digits survive an identity map";
  // The workbook itself is never renumbered, whatever the map.
  EXPECT_EQ(Renumber("[0]!Name+[0]S!A1+Table1[1]", {}), "[0]!Name+[0]S!A1+Table1[1]");
  // A prefix of a removed or unknown book is the caller's fault.
  for (const char* wrong : {"[1]A!A1+[2]B!A1", "[4]D!A1", "'[2]My Sheet'!A1"})
    EXPECT_THROW(Renumber(wrong, drop2), std::invalid_argument) << wrong;
  EXPECT_THROW(Renumber("[1]S!A1", {}), std::invalid_argument);
  EXPECT_NO_THROW(Renumber("\"[2]B!A1\"&Table1[2]", drop2));
}

TEST(FormulaNames, FindsDefinedNameUsesAndSkipsOtherWords) {
  const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
      {"Rate", {"Rate"}}, {"=Rate*2+Rate", {"Rate"}}, {"Sheet1!Rate", {"Sheet1!Rate"}},
      {"'My Sheet'!Rate", {"My Sheet!Rate"}}, {"'It''s'!Rate", {"It's!Rate"}},
      {"_xlnm.Print_Area", {"_xlnm.Print_Area"}}, {"SUM(A1:B2)+Rate", {"Rate"}},
      {"SUM(Tax,Rate_2,my.name,\\back,Q?)", {"Tax", "Rate_2", "my.name", "\\back", "Q?"}},
      {"XFE1+ABCD1+A1048577", {"XFE1", "ABCD1", "A1048577"}},  // outside the grid
      {"[0]!LocalName", {"LocalName"}}, {"'[0]My Sheet'!Rate", {"My Sheet!Rate"}},
      {"_xlfn.LET(_xlpm.x,1,_xlpm.x+Rate)", {"Rate"}}, {"Données!Taux+Émission", {"Données!Taux", "Émission"}},
      {"Rate:Other", {"Rate", "Other"}}, {"1.5E+10*Rate%", {"Rate"}}, {"Rate A1:B2", {"Rate"}},
      {"[1]!Ext+Local", {"Local"}}, {"Sheet1!A1+Sheet1!Rate", {"Sheet1!Rate"}},
      // Words that are not names.
      {"A1+$A$1+XFD1048576+a1+A$1", {}}, {"A:A", {}}, {"$A:$C", {}}, {"1:1", {}}, {"SUM(B:B)", {}},
      {"Sheet1!A:C", {}}, {"XFD:XFD", {}}, {"TRUE+FALSE+true", {}}, {"#REF!+#N/A+#NAME?+#DIV/0!", {}},
      {"[1]!Name+[1]Sheet1!Name2+'[2]S'!N3+[3]S1:S2!N4+[4]'My Sheet'!N5", {}},
      {"Table1[Col]+Table1[[#This Row],[x]]+MyTable[#All]", {}}, {"[@Col]*2", {}}, {"\"Rate\"&{\"Rate\",1}", {}},
      {"INDIRECT(\"Rate\")", {}}, {"[2]!''''", {}}, {"_xlfn.XLOOKUP(A1,B:B,C:C)", {}},
      {"_xlfn._xlws.SORT(A1:A3)+_xludf.MyFn(1)", {}}, {"_xlfn.BYROW(A1:B3,_xleta.SUM)", {}},
      {"Sheet1:Sheet3!A1+S1:S3!Rate", {}}, {"Sheet1!$A$1:$B$2", {}}, {"", {}}, {"'unterminated!Rate", {}},
  };
  for (const auto& [text, names] : cases) EXPECT_EQ(FindNameRefs(text), names) << text;
  // Calls count only when asked.
  const std::string calls = "SUM(MyFn(2),Sheet1!Fact(1),Table1[Col])+Rate+_xlfn.LAMBDA(_xlpm.x,1)(2)";
  EXPECT_EQ(FindNameRefs(calls), std::vector<std::string>{"Rate"});
  EXPECT_EQ(FindNameRefs(calls, true), (std::vector<std::string>{"SUM", "MyFn", "Sheet1!Fact", "Rate"}));
}

// A single reference as "book sheet first last name" (cells as row:column,
// "-" when not set); anything else is refused.
TEST(FormulaExternalReference, ParsesSingleReferencesAndRejectsAnythingElse) {
  const std::vector<std::pair<std::string, std::string>> parsed = {
      {"[1]Sheet1!$A$1", "1 Sheet1 1:1 - "}, {"[1]Sheet1!A1:B3", "1 Sheet1 1:1 3:2 "},
      {"='[12]It''s'!$XFD$1048576:XFD1048576", "12 It's 1048576:16384 1048576:16384 "},
      {"[3]S!c1:a5", "3 S 1:1 5:3 "},  // corners put in order
      {"[1]!Name", "1  - - Name"}, {"[2]Sheet1!Rate.2", "2 Sheet1 - - Rate.2"},
      {"'[1]My Sheet'!Rate", "1 My Sheet - - Rate"},
      {"[1]S!XFE1", "1 S - - XFE1"},  // beyond the grid: a name
      {"[1]S!A1048577", "1 S - - A1048577"},
  };
  const auto cell = [](const std::optional<CellAddress>& a) {
    return a ? std::to_string(a->row) + ":" + std::to_string(a->column) : std::string("-");
  };
  for (const auto& [text, expected] : parsed) {
    const auto r = ParseExternalReference(text);
    ASSERT_TRUE(r) << text;
    EXPECT_EQ(std::to_string(r->book) + " " + r->sheet + " " + cell(r->first) + " " + cell(r->last) + " " + r->name,
              expected);
  }
  for (const std::string text : {
           "SUM([1]S!A1)", "[1]S!A1+[1]S!A2", "[1]S1:S3!A1", "'[1]Jan 1:Dec 31'!A1", "[1]S!A:A", "[1]S!1:1",
           "[1]S!XFE1:XFE2", "[1]S!A1:A1048577", "[0]!Name", "[0]S!A1", "Sheet1!A1", "'My Sheet'!A1", "[1]!A1",
           "[1]!''''", "[1]S!#REF!", "[1]S!A1:", "[1]S!", "[1]", "", "=", "[1]S!A1 ", " [1]S!A1", "[99999999999]S!A1",
           "'[1]S!A1", "'[1]'!A1", "[1]S!TRUE", "[1]S!A1:B2:C3", "\"[1]S!A1\"", "[1]S!Name(1)", "[1]S!$A",
           "Table1[1]"})
    EXPECT_FALSE(ParseExternalReference(text)) << text;
}

}  // namespace
}  // namespace quorvane::ooxml::formula
