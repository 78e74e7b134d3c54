// Packages built to hurt: bombs, entity tricks, extreme nesting, huge entry
// counts and formulas, book indexes beyond the links. Each is opened, broken and
// saved in a child under memory and time limits: refused with a reason (file
// untouched) or, where a row allows, handled (result verified).

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

// The small linked workbook's package with one part changed, `more` after it.
std::string Patched(const std::string& part, const std::function<void(ZipItem&)>& change,
                    const std::vector<ZipItem>& more = {}) {
  std::vector<ZipItem> items;
  for (auto& [name, data] : LinkedBook().Parts()) {
    items.push_back(Item(name, data));
    if (name == part) change(items.back());
  }
  items.insert(items.end(), more.begin(), more.end());
  return MakeZip(items);
}

std::string WithFormula(const std::string& formula) {
  return Patched(kSheet, [&](ZipItem& sheet) {
    sheet.data.insert(sheet.data.find("</row>"), "<c r=\"D1\"><f>" + formula + "</f><v>1</v></c>");
  });
}

struct Attack {
  std::string what, bytes;
  bool maySave = false;    // else it must be refused
  bool firstOnly = false;  // break the first book link only
  long media = 0;          // xl/media entries a save keeps
};

std::vector<Attack> Attacks() {
  std::vector<Attack> attacks;
  // Bombs, refused without inflating them: an honest size with an extreme
  // ratio, a claim of 4 GiB, a claim of 1 KiB.
  const std::string bomb = ooxml::test::RawDeflate(std::string(200u << 20, '0'));
  for (const std::uint64_t declared : {std::uint64_t{200u << 20}, std::uint64_t{0xFFFFFFF0u}, std::uint64_t{1024}}) {
    attacks.push_back({"bomb declaring " + std::to_string(declared), Patched(kSheet, [&](ZipItem& sheet) {
                         sheet.compressed = bomb;
                         sheet.declaredSize = declared;
                         sheet.crc = 0;
                       })});
  }
  // The one end-to-end check of the DOCTYPE refusal: billion laughs in a
  // part rewritten, an external entity in one read on opening.
  std::string laughs = R"(<!DOCTYPE w [<!ENTITY a "lol">)";
  for (char c = 'b'; c <= 'j'; ++c) {
    laughs += "<!ENTITY " + std::string(1, c) + " \"";
    for (int k = 0; k < 10; ++k) laughs += "&" + std::string(1, static_cast<char>(c - 1)) + ";";
    laughs += "\">";
  }
  const std::string entities[][3] = {
      {laughs + "]>", "&j;", kSheet},
      {R"(<!DOCTYPE w [<!ENTITY x SYSTEM "file:///etc/passwd">]>)", "&x;", "[Content_Types].xml"}};
  for (const auto& [prolog, use, part] : entities) {
    attacks.push_back({use + " in " + part, Patched(part, [&](ZipItem& item) {
                         item.data.insert(item.data.rfind("</"), use);
                         item.data.insert(item.data.starts_with("<?xml") ? item.data.find("?>") + 2 : 0, prolog);
                       })});
  }
  // A million levels of nesting neither overflow the stack nor hang; stored,
  // so that the ratio limit is not what stops them.
  std::string nested;
  for (int i = 0; i < 1000000; ++i) nested += "<a>";
  for (int i = 0; i < 1000000; ++i) nested += "</a>";
  for (const std::string& part : {kSheet, std::string("xl/workbook.xml"), std::string("xl/externalLinks/externalLink1.xml")}) {
    attacks.push_back({"nesting in " + part, Patched(part, [&](ZipItem& item) {
                         item.data.insert(item.data.rfind("</"), "<extLst><ext uri=\"deep\">" + nested + "</ext></extLst>");
                         item.method = 0;
                       }), true});
  }
  std::vector<ZipItem> media;
  for (int i = 0; i < 100000; ++i) media.push_back(Item("xl/media/f" + std::to_string(i) + ".bin", "x", 0));
  attacks.push_back({"100000 entries", Patched("", {}, media), true, false, 100000});
  std::string formula = "[1]S!A1";
  while (formula.size() < (1u << 20)) formula += "+[1]S!A1";
  attacks.push_back({"megabyte formula", WithFormula(formula), true});
  for (const bool firstOnly : {false, true})
    attacks.push_back({"book index beyond the links", WithFormula("[7]S!A1+[4294967295]S!A1"), true, firstOnly});
  return attacks;
}

TEST(HostilePackages, AreRefusedOrHandledWithinBounds) {
  ScratchDir dir("hostile"), capture("capture");
  const fs::path path = dir / "book.xlsx";
  for (const Attack& attack : Attacks()) {
    SCOPED_TRACE(attack.what + (attack.firstOnly ? ", breaking one of two" : ""));
    WriteBytes(path, attack.bytes);
    const ChildResult child = RunFunction(
        [&] {
          try {
            auto book = ooxml::Workbook::Open(path);
            auto sources = book.BookSources();
            if (sources.empty()) return int{kNoLinks};
            if (attack.firstOnly) sources.resize(1);
            book.Break(sources);
            book.Save();
            return int{kSaved};
          } catch (const std::exception& e) {
            std::printf("%s\n", e.what());
            return int{dynamic_cast<const ooxml::PackageError*>(&e) ? kRefused : kOtherError};
          }
        },
        capture.Path(), {.addressSpace = kGiB, .deadline = std::chrono::seconds(60)});
    EXPECT_FALSE(child.timedOut);
    EXPECT_EQ(child.signal, 0) << child.err;
    EXPECT_LT(static_cast<std::uint64_t>(child.maxRssKiB) * 1024, AddressSanitizerActive() ? 3 * kGiB : kGiB);
    EXPECT_EQ(dir.Names(), std::vector<std::string>{"book.xlsx"}) << "left beside the workbook";
    if (child.exit == kRefused) {
      EXPECT_EQ(ReadBytes(path), attack.bytes) << "refused, yet changed";
    } else if (child.exit == kSaved && attack.maySave) {
      const std::string left = LinksLeft(path);
      EXPECT_NE(left.empty(), attack.firstOnly) << left;
      const auto names = testing::PackageEntries(path);
      EXPECT_EQ(std::count_if(names.begin(), names.end(), [](const std::string& n) { return n.starts_with("xl/media/"); }),
                attack.media);
    } else {
      ADD_FAILURE() << "exit " << child.exit << ": " << child.out << child.err;
    }
  }
}

}  // namespace
}  // namespace quorvane::reliability
