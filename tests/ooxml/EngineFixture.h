#pragma once
// Shared by the engine tests: a scratch folder per test and short helpers to
// build, break and read back a workbook.

#include <gtest/gtest.h>

#include <cstddef>
#include <filesystem>
#include <map>
#include <set>
#include <string>

#include "ZipTestUtil.h"
#include "ooxml/Workbook.h"
#include "support/WorkbookBuilder.h"

namespace quorvane::ooxml::test {

namespace fs = std::filesystem;
using Parts = std::map<std::string, std::string>;
using quorvane::testing::BookLink;
using quorvane::testing::ReadPackage;
using quorvane::testing::WorkbookBuilder;
using quorvane::tests::ReadBytes;

inline const std::string kSheet1 = "xl/worksheets/sheet1.xml";

class EngineTest : public ::testing::Test {
 protected:
  fs::path Write(const WorkbookBuilder& b, const std::string& name = "book.xlsx") {
    b.Write(tmp_ / name);
    return tmp_ / name;
  }

  // Opens, breaks the first `count` book links (all by default), saves;
  // returns the parts afterwards.
  static Parts Break(const fs::path& p, BreakResult* result = nullptr, std::size_t count = 99) {
    auto book = Workbook::Open(p);
    auto sources = book.BookSources();
    if (sources.size() > count) sources.resize(count);
    const auto r = book.Break(sources);
    if (result) *result = r;
    book.Save();
    return ReadPackage(p);
  }

  quorvane::tests::ScratchDir tmp_{"ooxml"};
};

// A book link to one sheet S, with its cells cached when given.
inline BookLink Book(std::string target, const std::string& cells = {}) {
  return {std::move(target), {"S"}, cells.empty() ? "" : "<sheetData sheetId=\"0\">" + cells + "</sheetData>"};
}

// Links [1] to Src.xlsx, the one Break(p, r, 1) breaks, and [2] to Kept.xlsx.
inline WorkbookBuilder TwoLinkBook(const std::string& srcCells = {}) {
  WorkbookBuilder b;
  b.AddBookLink(Book("Src.xlsx", srcCells)).AddBookLink(Book("Kept.xlsx"));
  return b;
}

inline bool Contains(const std::string& haystack, const std::string& needle) {
  return haystack.find(needle) != std::string::npos;
}

// `before` with one fragment rewritten.
inline std::string Rewritten(std::string before, const std::string& fragment, const std::string& replacement) {
  const auto at = before.find(fragment);
  if (at == std::string::npos) return "(fragment not found)";
  return before.replace(at, fragment.size(), replacement);
}

// Every part but `changed` and the three that list links is byte for byte as
// it was; `gone` are gone (by default link [1]), and nothing was added.
inline void ExpectOnly(const Parts& before, const Parts& after, std::set<std::string> changed,
                       const std::set<std::string>& gone = {"xl/externalLinks/externalLink1.xml",
                                                            "xl/externalLinks/_rels/externalLink1.xml.rels"}) {
  changed.insert({"xl/workbook.xml", "xl/_rels/workbook.xml.rels", "[Content_Types].xml"});
  EXPECT_EQ(after.size(), before.size() - gone.size());
  for (const auto& [name, text] : before) {
    if (changed.count(name)) continue;
    EXPECT_EQ(after.count(name) ? after.at(name) : "(gone)", gone.count(name) ? "(gone)" : text) << name;
  }
}

}  // namespace quorvane::ooxml::test
