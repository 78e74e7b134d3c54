// Packages built to hurt: bombs, entity tricks, extreme nesting, lying or
// malformed zip structures, huge entry counts and formulas. Each is opened,
// broken and saved in a child process under a memory and time limit; it is
// refused with a reason (file untouched) or handled (result verified).

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "Support.h"
#include "ZipTestUtil.h"
#include "ooxml/Package.h"

namespace quorvane::reliability {
namespace {

using ooxml::test::Item;
using ooxml::test::MakeZip;
using ooxml::test::ZipItem;

constexpr std::uint64_t kGiB = 1ull << 30;
enum Outcome { kSaved = 0, kRefused = 1, kOtherError = 2, kNoLinks = 3 };
const std::string kSheet = "xl/worksheets/sheet1.xml";

std::vector<ZipItem> LinkedItems() {
  std::vector<ZipItem> items;
  for (auto& [name, data] : LinkedBook().Parts()) items.push_back(Item(name, data));
  return items;
}

// The small linked workbook's package with one part changed.
std::string Patched(const std::string& part, const std::function<void(ZipItem&)>& change) {
  auto items = LinkedItems();
  for (auto& item : items)
    if (item.name == part) change(item);
  return MakeZip(items);
}

class HostilePackages : public ::testing::Test {
 protected:
  // Opens, breaks the first or every book link and saves, in a child; the
  // exit is an Outcome. Refused means the file is untouched.
  int Attack(const std::string& bytes, bool firstOnly = false) {
    const fs::path path = dir_ / "book.xlsx";
    WriteBytes(path, bytes);
    const ChildResult child = RunFunction(
        [&] {
          try {
            auto book = ooxml::Workbook::Open(path);
            auto sources = book.BookSources();
            if (sources.empty()) return int{kNoLinks};
            if (firstOnly) sources.resize(1);
            book.Break(sources);
            book.Save();
            return int{kSaved};
          } catch (const ooxml::PackageError& e) {
            std::printf("%s\n", e.what());
            return int{kRefused};
          } catch (const std::exception& e) {
            std::printf("%s\n", e.what());
            return int{kOtherError};
          }
        },
        capture_.Path(), {.addressSpace = kGiB, .deadline = std::chrono::seconds(60)});
    EXPECT_FALSE(child.timedOut);
    EXPECT_EQ(child.signal, 0) << child.err;
    EXPECT_LT(static_cast<std::uint64_t>(child.maxRssKiB) * 1024, AddressSanitizerActive() ? 3 * kGiB : kGiB);
    EXPECT_EQ(dir_.Names(), std::vector<std::string>{"book.xlsx"}) << "left beside the workbook";
    if (child.exit == kRefused) { EXPECT_EQ(ReadBytes(path), bytes) << "refused, yet changed"; }
    if (child.exit != kRefused && child.exit != kSaved) { ADD_FAILURE() << child.out << child.err; }
    return child.exit;
  }

  // Refused, or saved with every book link gone.
  void ExpectRefusedOrBroken(const std::string& bytes) {
    std::string why;
    if (Attack(bytes) == kSaved) { EXPECT_TRUE(OpensWithoutBookLinks(dir_ / "book.xlsx", &why)) << why; }
  }

  ScratchDir dir_{"hostile"}, capture_{"capture"};
};

TEST_F(HostilePackages, ZipBombsAreRefusedWithoutInflatingThem) {
  constexpr std::uint64_t kInflated = 200u << 20;
  const std::string bomb = ooxml::test::RawDeflate(std::string(kInflated, '0'));
  // An honest size with an extreme ratio, a claim of 4 GiB, a claim of 1 KiB.
  for (const std::uint64_t declared : {kInflated, std::uint64_t{0xFFFFFFF0u}, std::uint64_t{1024}}) {
    SCOPED_TRACE(declared);
    EXPECT_EQ(Attack(Patched(kSheet, [&](ZipItem& sheet) {
                sheet.compressed = bomb;
                sheet.declaredSize = declared;
                sheet.crc = 0;
              })),
              kRefused);
  }
}

// The one end-to-end check of the DOCTYPE refusal: billion laughs and an
// external entity, in the sheet, the workbook and the content types.
TEST_F(HostilePackages, EntityTricksAreRefused) {
  std::string laughs = R"(<?xml version="1.0"?><!DOCTYPE w [<!ENTITY a "lol">)";
  for (char c = 'b'; c <= 'j'; ++c) {
    laughs += "<!ENTITY " + std::string(1, c) + " \"";
    for (int k = 0; k < 10; ++k) laughs += "&" + std::string(1, static_cast<char>(c - 1)) + ";";
    laughs += "\">";
  }
  laughs += "]>";
  const std::string external = R"(<?xml version="1.0"?><!DOCTYPE w [<!ENTITY x SYSTEM "file:///etc/passwd">]>)";
  for (const auto& [prolog, use] : {std::pair{laughs, std::string("&j;")}, std::pair{external, std::string("&x;")}}) {
    for (const std::string& part : {kSheet, std::string("xl/workbook.xml"), std::string("[Content_Types].xml")}) {
      SCOPED_TRACE(part);
      EXPECT_EQ(Attack(Patched(part, [&](ZipItem& item) {
                  std::string& data = item.data;
                  if (data.starts_with("<?xml")) data.erase(0, data.find("?>") + 2);
                  data = prolog + data;
                  data.insert(data.rfind("</"), part == kSheet ? "<extLst><ext uri=\"x\">" + use + "</ext></extLst>" : "");
                })),
                kRefused);
    }
  }
}

TEST_F(HostilePackages, MillionLevelNestingNeitherOverflowsTheStackNorHangs) {
  const std::string nested = [] {
    std::string text;
    for (int i = 0; i < 1000000; ++i) text += "<a>";
    for (int i = 0; i < 1000000; ++i) text += "</a>";
    return text;
  }();
  for (const std::string& part : {kSheet, std::string("xl/workbook.xml"), std::string("xl/externalLinks/externalLink1.xml")}) {
    SCOPED_TRACE(part);
    ExpectRefusedOrBroken(Patched(part, [&](ZipItem& item) {
      item.data.insert(item.data.rfind("</"), "<extLst><ext uri=\"deep\">" + nested + "</ext></extLst>");
      item.method = 0;  // stored: the ratio limit must not be what saves us
    }));
  }
}

// The full table of damaged zips is the engine's (tests/ooxml/PackageTest);
// here the names that would leave the package: nothing lands outside.
TEST_F(HostilePackages, EntryNamesLeavingThePackageAreRefused) {
  for (const std::string name : {"../evil.xml", "/etc/evil.xml", "xl\\..\\..\\evil.xml", "XL/Worksheets/Sheet1.xml"}) {
    SCOPED_TRACE(name);
    auto items = LinkedItems();
    items.push_back(Item(name, "<worksheet/>"));
    EXPECT_EQ(Attack(MakeZip(items)), kRefused);
  }
  EXPECT_FALSE(fs::exists(dir_.Path().parent_path() / "evil.xml"));
}

TEST_F(HostilePackages, HugeEntryCountsAndFormulasAreCarriedThroughWithinBounds) {
  auto items = LinkedItems();
  for (int i = 0; i < 100000; ++i) items.push_back(Item("xl/media/f" + std::to_string(i) + ".bin", "x", 0));
  if (Attack(MakeZip(items)) == kSaved) {
    const auto names = testing::PackageEntries(dir_ / "book.xlsx");
    EXPECT_EQ(std::count_if(names.begin(), names.end(), [](const std::string& n) { return n.starts_with("xl/media/"); }),
              100000);
    EXPECT_TRUE(OpensWithoutBookLinks(dir_ / "book.xlsx"));
  }
  // A megabyte formula is frozen or refused.
  std::string formula = "[1]S!A1";
  while (formula.size() < (1u << 20)) formula += "+[1]S!A1";
  ExpectRefusedOrBroken(Patched(kSheet, [&](ZipItem& sheet) {
    sheet.data.insert(sheet.data.find("</row>"), "<c r=\"D1\"><f>" + formula + "</f><v>1</v></c>");
  }));
}

TEST_F(HostilePackages, BookIndexBeyondTheLinksIsRefusedOrCleared) {
  for (const bool firstOnly : {false, true}) {
    SCOPED_TRACE(firstOnly ? "breaking one of two" : "breaking all");
    const int outcome = Attack(Patched(kSheet, [](ZipItem& sheet) {
      sheet.data.insert(sheet.data.find("</row>"), R"(<c r="D1"><f>[7]S!A1+[4294967295]S!A1</f><v>1</v></c>)");
    }), firstOnly);
    if (outcome == kSaved) { EXPECT_EQ(ooxml::Workbook::Open(dir_ / "book.xlsx").BookSources().size(), firstOnly ? 1u : 0u); }
  }
}

}  // namespace
}  // namespace quorvane::reliability
