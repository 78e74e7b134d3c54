// The look before Excel opens a workbook: what would make Excel ask a
// question is found in files written the way Excel and Office write them,
// and nothing else is taken for an obstacle.

#include <gtest/gtest.h>

#include <algorithm>

#include "ZipTestUtil.h"
#include "base/Utf8Path.h"
#include "ooxml/CompoundFile.h"
#include "ooxml/ObstacleFinder.h"
#include "ooxml/Package.h"
#include "support/CompoundFileBuilder.h"
#include "support/ScratchDir.h"

namespace quorvane::ooxml::test {
namespace {

namespace fs = std::filesystem;
using base::OpeningObstacle;
using quorvane::testing::BiffRecord;
using quorvane::testing::Biff8WorkbookStream;
using quorvane::testing::CompoundFileBytes;
using quorvane::testing::LegacyWorkbookFile;
using tests::ScratchDir;

std::string Le16(std::uint16_t v) { return testing::Le(v, 2); }

// FILEPASS as Excel 97-2003 writes it for RC4: type, version 1.1, salt,
// verifier and its hash.
std::string FilePass() { return BiffRecord(0x002F, Le16(1) + Le16(1) + Le16(1) + std::string(48, '\x5A')); }
std::string WriteProtect() { return BiffRecord(0x0086); }
// Read-only recommended, the password's hash (0: none), the user who set it.
std::string FileSharing(std::uint16_t readOnly, std::uint16_t hash) {
  return BiffRecord(0x005B, Le16(readOnly) + Le16(hash) + Le16(6) + std::string(1, '\0') + "Tester");
}

std::string Xlsx(const std::string& fileSharing) {
  auto items = MinimalWorkbook();
  std::string& workbook = std::ranges::find(items, "xl/workbook.xml", &ZipItem::name)->data;
  // Excel writes fileVersion, then fileSharing, before workbookPr and sheets.
  workbook.insert(workbook.find("<sheets>"),
                  R"(<fileVersion appName="xl" lastEdited="7" lowestEdited="7" rupBuild="27425"/>)" + fileSharing +
                      R"(<workbookPr defaultThemeVersion="166925"/>)");
  return MakeZip(items);
}

TEST(ObstacleFinder, FindsWhatExcelWouldAskAboutInBuiltFiles) {
  const std::string plain = Biff8WorkbookStream({}, {});
  constexpr auto kOpen = OpeningObstacle::PasswordToOpen, kModify = OpeningObstacle::PasswordToModify;
  const struct {
    const char* name;
    std::string bytes;
    OpeningObstacle expected;
  } cases[] = {
      {"legacy workbook", LegacyWorkbookFile(plain), OpeningObstacle::None},
      {"encrypted legacy workbook", LegacyWorkbookFile(Biff8WorkbookStream({FilePass()}, {})), kOpen},
      {"encrypted, with a password to modify too",
       LegacyWorkbookFile(Biff8WorkbookStream({WriteProtect(), FilePass()}, {})), kOpen},
      {"write-protected legacy workbook",
       LegacyWorkbookFile(Biff8WorkbookStream({WriteProtect()}, {FileSharing(0, 0xCC3D)})), kModify},
      {"password hash without the write-protect record",
       LegacyWorkbookFile(Biff8WorkbookStream({}, {FileSharing(1, 0xCC3D)})), kModify},
      {"read-only recommended only", LegacyWorkbookFile(Biff8WorkbookStream({}, {FileSharing(1, 0)})),
       OpeningObstacle::None},
      // A small stream lives in the mini stream.
      {"encrypted stream under 4096 bytes", CompoundFileBytes({{u"Workbook", Biff8WorkbookStream({FilePass()}, {}, 0)}}),
       kOpen},
      {"Excel 5 names its stream Book", CompoundFileBytes({{u"Book", Biff8WorkbookStream({FilePass()}, {})}}), kOpen},
      {"a FILEPASS in another stream counts for nothing",
       CompoundFileBytes({{u"Workbook", plain}, {u"Ctls", Biff8WorkbookStream({FilePass()}, {})}}),
       OpeningObstacle::None},
      {"Excel 4 worksheet", BiffRecord(0x0409, std::string(6, '\0')) + FilePass() + BiffRecord(0x000A), kOpen},
      // Agile encryption keeps the package in one stream and its parameters in another.
      {"encrypted package",
       CompoundFileBytes({{u"EncryptionInfo", Le16(4) + Le16(4) + std::string(300, '<')},
                          {u"EncryptedPackage", std::string(8, '\0') + std::string(6000, '\x33')}}),
       kOpen},
      {"workbook package", Xlsx(""), OpeningObstacle::None},
      {"legacy password hash", Xlsx(R"(<fileSharing userName="Tester" reservationPassword="CC3D"/>)"), kModify},
      {"salted password hash",
       Xlsx(R"(<fileSharing readOnlyRecommended="1" userName="Tester" algorithmName="SHA-512" )"
            R"(hashValue="hd6T3B0nXHUzXKxTg4Vj2g==" saltValue="G5Hj8v0q1Ht6aQmsX0yDhw==" spinCount="100000"/>)"),
       kModify},
      {"read-only recommended package", Xlsx(R"(<fileSharing readOnlyRecommended="1"/>)"), OpeningObstacle::None},
      {"truncated compound file", LegacyWorkbookFile(plain).substr(0, 1500), OpeningObstacle::None},
  };
  ScratchDir dir;
  EngineObstacleFinder obstacleFinder;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path file = dir.File("Bücher.xls", c.bytes);
    EXPECT_EQ(obstacleFinder.Look(base::ToUtf8(file)), c.expected);
  }
  EXPECT_EQ(obstacleFinder.Look(base::ToUtf8(dir.Path() / "missing.xlsx")), OpeningObstacle::None);
  EXPECT_EQ(obstacleFinder.Look(base::ToUtf8(dir.Path())), OpeningObstacle::None);
}

// Damaged containers end the look without reading outside the file or looping.
TEST(CompoundFile, RefusesDamagedStructures) {
  // Over 109 allocation sectors' worth, so that some are listed outside the header.
  const std::string good = LegacyWorkbookFile(Biff8WorkbookStream({}, {}, 70000));
  const auto with = [&](std::size_t at, std::uint32_t value) {
    return std::string(good).replace(at, 4, testing::Le(value, 4));
  };
  const auto at32 = [&](std::size_t at) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(good[at + static_cast<std::size_t>(i)]);
    return v;
  };
  // The directory's own entry in the allocation table, pointing back at itself.
  const std::uint32_t directory = at32(0x30);
  const std::size_t directoryLink = (at32(0x4C) + 1) * 512 + directory * 4;
  const auto lastSector = static_cast<std::uint32_t>(good.size() / 512 - 2);
  const struct {
    const char* name;
    std::string bytes;
    const char* reason;
  } damaged[] = {
      {"allocation table beyond the file", with(0x2C, 0x7FFFFFFF), "allocation table larger than the file"},
      {"allocation list ends early", with(0x2C, 110), "broken allocation list"},
      {"directory one sector past the end", with(0x30, lastSector + 1), "sector outside the file"},
      {"allocation sector beyond the file", with(0x4C, 0x00FFFFFF), "damaged compound file"},
      {"unknown sector size", with(0x1C, 0x000AFFFE), "damaged compound file"},
      {"directory chain in a loop", with(directoryLink, directory), "damaged compound file"},
  };
  ScratchDir dir;
  for (const auto& c : damaged) {
    SCOPED_TRACE(c.name);
    const zip::Input in(dir.File("damaged.xls", c.bytes));
    EXPECT_NE(ErrorOf([&] { cfb::CompoundFile{in}.Read(u"Workbook", 4096); }).find(c.reason), std::string::npos);
  }
}

}  // namespace
}  // namespace quorvane::ooxml::test
