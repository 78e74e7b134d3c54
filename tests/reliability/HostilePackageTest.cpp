// Packages built to hurt: bombs, entity tricks, extreme nesting, lying or
// malformed zip structures, huge entry counts and formulas. Each is opened,
// broken and saved in a child process under a memory and time limit; it is
// refused with a reason (file untouched) or handled (result verified).

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <functional>
#include <map>

#include "Support.h"
#include "ZipTestUtil.h"
#include "ooxml/Package.h"
#include "ooxml/Workbook.h"
#include "support/WorkbookBuilder.h"

namespace quorvane::reliability {
namespace {

using ooxml::test::Item;
using ooxml::test::MakeZip;
using ooxml::test::ZipItem;

constexpr std::uint64_t kGiB = 1ull << 30;
constexpr auto kTimeLimit = std::chrono::seconds(60);


enum Outcome { kSaved = 0, kRefused = 1, kOtherError = 2, kNoLinks = 3 };

std::vector<ZipItem> LinkedItems() {
  std::vector<ZipItem> items;
  for (auto& [name, data] : LinkedWorkbookParts()) items.push_back(Item(name, data));
  return items;
}

const std::string kSheet = "xl/worksheets/sheet1.xml";

// The small linked workbook's package with one part changed.
std::string Patched(const std::string& part, const std::function<void(ZipItem&)>& change) {
  auto items = LinkedItems();
  for (auto& item : items)
    if (item.name == part) change(item);
  return MakeZip(items);
}

struct Attempt {
  ChildResult child;
  bool untouched = false;
};

class HostilePackages : public ::testing::Test {
 protected:
  // Opens, breaks the first or every book link and saves, in a child.
  Attempt Attack(const std::string& bytes, bool firstOnly = false) {
    const fs::path path = dir_ / "book.xlsx";
    WriteFile(path, bytes);
    Attempt run;
    run.child = RunChild(
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
        {.addressSpace = kGiB, .deadline = kTimeLimit}, capture_.Path());
    run.untouched = ReadFile(path) == bytes;
    const std::uint64_t rssBound = AddressSanitizerActive() ? 3 * kGiB : kGiB;
    EXPECT_FALSE(run.child.timedOut) << "over " << kTimeLimit.count() << " s";
    EXPECT_EQ(run.child.signal, 0) << "killed by signal " << run.child.signal << ": " << run.child.err;
    EXPECT_LT(static_cast<std::uint64_t>(run.child.maxRssKiB) * 1024, rssBound);
    EXPECT_EQ(dir_.Names(), std::vector<std::string>{"book.xlsx"}) << "left beside the workbook";
    std::printf("[ bounds ] %s: exit %d in %.2f s, peak %ld MiB: %s\n",
                ::testing::UnitTest::GetInstance()->current_test_info()->name(), run.child.exit,
                run.child.seconds, run.child.maxRssKiB / 1024,
                run.child.out.empty() ? "saved" : run.child.out.substr(0, run.child.out.find('\n')).c_str());
    return run;
  }

  void ExpectRefused(const Attempt& run) {
    EXPECT_EQ(run.child.exit, kRefused) << run.child.out << run.child.err;
    EXPECT_TRUE(run.untouched);
  }

  // Refused with the file untouched, or saved with every book link gone.
  void ExpectRefusedOrBroken(const Attempt& run) {
    if (run.child.exit == kRefused) {
      EXPECT_TRUE(run.untouched);
      return;
    }
    EXPECT_EQ(run.child.exit, kSaved) << run.child.out << run.child.err;
    std::string why;
    EXPECT_TRUE(OpensWithoutBookLinks(dir_ / "book.xlsx", &why)) << why;
  }

  ScratchDir dir_{"hostile"};
  ScratchDir capture_{"capture"};
};

TEST_F(HostilePackages, ZipBombsAreRefusedWithoutInflatingThem) {
  constexpr std::uint64_t kInflated = 200u << 20;
  const std::string bomb = ooxml::test::RawDeflate(std::string(kInflated, '0'));
  struct Case {
    const char* what;
    std::uint64_t declared;
  } cases[] = {{"honest size, extreme ratio", kInflated},
               {"claims 4 GiB", 0xFFFFFFF0u},
               {"claims 1 KiB, inflates to 200 MiB", 1024}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ExpectRefused(Attack(Patched(kSheet, [&](ZipItem& sheet) {
      sheet.compressed = bomb;
      sheet.declaredSize = c.declared;
      sheet.crc = 0;
    })));
  }
}

TEST_F(HostilePackages, EntityTricksAreRefused) {
  std::string laughs = R"(<?xml version="1.0"?><!DOCTYPE w [<!ENTITY a "lol">)";
  for (int i = 1; i < 10; ++i) {
    laughs += "<!ENTITY " + std::string(1, static_cast<char>('a' + i)) + " \"";
    for (int k = 0; k < 10; ++k) laughs += "&" + std::string(1, static_cast<char>('a' + i - 1)) + ";";
    laughs += "\">";
  }
  laughs += "]>";
  const std::string external = R"(<?xml version="1.0"?><!DOCTYPE w [<!ENTITY x SYSTEM "file:///etc/passwd">]>)";
  for (const auto& [prolog, use] : {std::pair{laughs, std::string("&j;")}, std::pair{external, std::string("&x;")}}) {
    for (const std::string& part : {kSheet, std::string("xl/workbook.xml"), std::string("[Content_Types].xml")}) {
      SCOPED_TRACE(part);
      ExpectRefused(Attack(Patched(part, [&](ZipItem& item) {
        std::string& data = item.data;
        if (data.starts_with("<?xml")) data.erase(0, data.find("?>") + 2);
        data = prolog + data;
        data.insert(data.rfind("</"), part == kSheet ? "<extLst><ext uri=\"x\">" + use + "</ext></extLst>" : "");
      })));
    }
  }
}

TEST_F(HostilePackages, MillionLevelNestingNeitherOverflowsTheStackNorHangs) {
  std::string nested;
  nested.reserve(8u << 20);
  for (int i = 0; i < 1000000; ++i) nested += "<a>";
  for (int i = 0; i < 1000000; ++i) nested += "</a>";
  for (const std::string& part : {kSheet, std::string("xl/workbook.xml"), std::string("xl/externalLinks/externalLink1.xml")}) {
    SCOPED_TRACE(part);
    ExpectRefusedOrBroken(Attack(Patched(part, [&](ZipItem& item) {
      item.data.insert(item.data.rfind("</"), "<extLst><ext uri=\"deep\">" + nested + "</ext></extLst>");
      item.method = 0;  // stored: the ratio limit must not be what saves us
    })));
  }
}

TEST_F(HostilePackages, MalformedZipStructuresAreRefused) {
  struct Case {
    std::string what, zip;
  };
  std::vector<Case> cases;
  // Duplicates (also differing in case only), and names leaving the package.
  for (const std::string& name : {kSheet, std::string("XL/Worksheets/Sheet1.xml"), std::string("../evil.xml"),
                                 std::string("/etc/evil.xml"), std::string("xl/../../evil.xml"),
                                 std::string("C:/evil.xml"), std::string("xl\\..\\..\\evil.xml")}) {
    auto items = LinkedItems();
    items.push_back(Item(name, LinkedWorkbookParts().at(kSheet)));
    cases.push_back({"extra entry " + name, MakeZip(items)});
  }
  const std::string whole = MakeZip(LinkedItems());
  for (const std::size_t cut : {std::size_t{10}, std::size_t{30}, std::size_t{200}}) {
    cases.push_back({"truncated end", whole.substr(0, whole.size() - cut)});
  }
  cases.push_back({"empty file", ""});
  cases.push_back({"not a zip", std::string(4096, '\x7f')});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ExpectRefused(Attack(c.zip));
  }
  EXPECT_FALSE(fs::exists(dir_.Path().parent_path() / "evil.xml"));
}

TEST_F(HostilePackages, HugeEntryCountsAndFormulasAreCarriedThroughWithinBounds) {
  auto items = LinkedItems();
  for (int i = 0; i < 100000; ++i) items.push_back(Item("xl/media/f" + std::to_string(i) + ".bin", "x", 0));
  const Attempt run = Attack(MakeZip(items));
  ExpectRefusedOrBroken(run);
  if (run.child.exit == kSaved) {
    const auto names = testing::PackageEntries(dir_ / "book.xlsx");
    EXPECT_EQ(std::count_if(names.begin(), names.end(), [](const std::string& n) { return n.starts_with("xl/media/"); }),
              100000);
  }

  // A megabyte formula is frozen or refused.
  std::string formula = "[1]S!A1";
  while (formula.size() < (1u << 20)) formula += "+[1]S!A1";
  ExpectRefusedOrBroken(Attack(Patched(kSheet, [&](ZipItem& sheet) {
    sheet.data.insert(sheet.data.find("</row>"), "<c r=\"D1\"><f>" + formula + "</f><v>1</v></c>");
  })));
}

TEST_F(HostilePackages, BookIndexBeyondTheLinksIsRefusedOrCleared) {
  for (const bool firstOnly : {false, true}) {
    SCOPED_TRACE(firstOnly ? "breaking one of two" : "breaking all");
    const Attempt run = Attack(Patched(kSheet, [](ZipItem& sheet) {
      sheet.data.insert(sheet.data.find("</row>"), R"(<c r="D1"><f>[7]S!A1+[4294967295]S!A1</f><v>1</v></c>)");
    }), firstOnly);
    if (run.child.exit == kRefused) {
      EXPECT_TRUE(run.untouched);
      continue;
    }
    ASSERT_EQ(run.child.exit, kSaved) << run.child.out << run.child.err;
    const auto book = ooxml::Workbook::Open(dir_ / "book.xlsx");
    EXPECT_EQ(book.BookSources().size(), firstOnly ? 1u : 0u);
  }
}

}  // namespace
}  // namespace quorvane::reliability
