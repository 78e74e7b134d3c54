#pragma once
// Shared by the engine tests: a scratch folder per test and short helpers to
// build, break and read back a workbook.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "ZipTestUtil.h"
#include "ooxml/Workbook.h"
#include "support/WorkbookBuilder.h"

namespace quorvane::ooxml::test {

namespace fs = std::filesystem;
using quorvane::testing::BookLink;
using quorvane::tests::ReadBytes;
using quorvane::testing::ReadPackage;
using quorvane::testing::WorkbookBuilder;

// One cell using link [1].
inline constexpr const char* kLinkedCell = R"(<row r="1"><c r="A1"><f>[1]S!A1</f><v>1</v></c></row>)";

class EngineTest : public ::testing::Test {
 protected:
  fs::path Write(const WorkbookBuilder& b, const std::string& name = "book.xlsx") {
    fs::path p = dir_ / name;
    b.Write(p);
    return p;
  }

  // Opens, breaks every book link (or the first only), saves; returns the
  // parts afterwards.
  static std::map<std::string, std::string> BreakAll(const fs::path& p, BreakResult* result = nullptr,
                                                     bool firstOnly = false) {
    auto book = Workbook::Open(p);
    auto sources = book.BookSources();
    if (firstOnly) sources.resize(1);
    auto r = book.Break(sources);
    if (result) *result = r;
    book.Save();
    return ReadPackage(p);
  }
  static std::map<std::string, std::string> BreakFirst(const fs::path& p, BreakResult* result = nullptr) {
    return BreakAll(p, result, true);
  }

  static std::string Sheet1(const std::map<std::string, std::string>& parts) {
    return parts.at("xl/worksheets/sheet1.xml");
  }

  quorvane::tests::ScratchDir tmp_{"ooxml"};
  const fs::path dir_ = tmp_.Path();
};

// A book link with a one-sheet cache.
inline BookLink Book(std::string target, std::string cells = {}) {
  BookLink l;
  l.target = std::move(target);
  l.sheetNames = {"S"};
  if (!cells.empty()) l.sheetDataSet = "<sheetData sheetId=\"0\">" + cells + "</sheetData>";
  return l;
}

// Links [1] to Src.xlsx, the one BreakFirst breaks, and [2] to Kept.xlsx.
inline WorkbookBuilder TwoLinkBook() {
  WorkbookBuilder b;
  b.AddBookLink(Book("Src.xlsx")).AddBookLink(Book("Kept.xlsx"));
  return b;
}

// A workbook whose one cell uses its one link, to Src.xlsx.
inline WorkbookBuilder OneLinkBook() {
  WorkbookBuilder b;
  b.AddBookLink(Book("Src.xlsx"));
  b.AddSheet("Main", kLinkedCell);
  return b;
}

inline bool Contains(const std::string& haystack, const std::string& needle) {
  return haystack.find(needle) != std::string::npos;
}

// `after` is `before` with one fragment rewritten.
inline std::string Rewritten(std::string before, const std::string& fragment, const std::string& replacement) {
  const auto at = before.find(fragment);
  if (at == std::string::npos) return "(fragment not found)";
  return before.replace(at, fragment.size(), replacement);
}

// Every part but `edited` and the workbook's own bookkeeping is byte for byte
// what it was.
inline void ExpectOthersUnchanged(const std::map<std::string, std::string>& before,
                                  const std::map<std::string, std::string>& after, std::vector<std::string> edited) {
  edited.insert(edited.end(), {"xl/workbook.xml", "xl/_rels/workbook.xml.rels", "[Content_Types].xml"});
  for (const auto& [name, text] : after) {
    if (std::find(edited.begin(), edited.end(), name) != edited.end()) continue;
    EXPECT_EQ(text, before.count(name) ? before.at(name) : "(new)") << name;
  }
}

// Every part but `changed` is byte for byte as it was; `gone` are gone.
inline void ExpectOnly(const std::map<std::string, std::string>& before, const std::map<std::string, std::string>& after,
                        std::set<std::string> changed, std::set<std::string> gone) {
  EXPECT_EQ(after.size(), before.size() - gone.size());
  for (const auto& [name, text] : before) {
    if (changed.count(name)) continue;
    EXPECT_EQ(after.count(name) ? after.at(name) : "(gone)", gone.count(name) ? "(gone)" : text) << name;
  }
}

}  // namespace quorvane::ooxml::test
