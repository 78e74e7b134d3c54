// The look before Excel opens a workbook: what would make Excel ask a
// question is found in files written the way Excel and Office write them,
// and nothing else is taken for an obstacle.

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <functional>

#include "ZipTestUtil.h"
#include "base/Utf8Path.h"
#include "ooxml/CompoundFile.h"
#include "ooxml/ObstacleFinder.h"
#include "ooxml/Package.h"
#include "support/CompoundFileBuilder.h"
#include "support/WorkbookBuilder.h"

namespace quorvane::ooxml::test {
namespace {

namespace fs = std::filesystem;
using base::OpeningObstacle;
using quorvane::testing::BiffRecord;
using quorvane::testing::Biff8WorkbookStream;
using quorvane::testing::CompoundFileBytes;
using quorvane::testing::LegacyWorkbookFile;

std::string Le16(std::uint16_t v) { return std::string{static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)}; }

// FILEPASS as Excel 97-2003 writes it for RC4: type, version 1.1, salt,
// verifier and its hash.
std::string FilePass() { return BiffRecord(0x002F, Le16(1) + Le16(1) + Le16(1) + std::string(48, '\x5A')); }
std::string WriteProtect() { return BiffRecord(0x0086); }
// Read-only recommended, the password's hash (0: none), the user who set it.
std::string FileSharing(std::uint16_t readOnly, std::uint16_t hash) {
  return BiffRecord(0x005B, Le16(readOnly) + Le16(hash) + Le16(6) + std::string(1, '\0') + "Tester");
}

std::string Xlsx(const std::string& fileSharing) {
  testing::WorkbookBuilder book;
  book.AddSheet("Sheet1", R"(<row r="1"><c r="A1"><v>1</v></c></row>)");
  auto parts = book.Parts();
  std::string& workbook = parts["xl/workbook.xml"];
  // Excel writes fileVersion, then fileSharing, before workbookPr and sheets.
  workbook.insert(workbook.find("<sheets>"),
                  R"(<fileVersion appName="xl" lastEdited="7" lowestEdited="7" rupBuild="27425"/>)" + fileSharing +
                      R"(<workbookPr defaultThemeVersion="166925"/>)");
  const fs::path scratch = fs::temp_directory_path() / "quorvane-obstacle-scratch.xlsx";
  testing::WritePackage(scratch, parts);
  std::string bytes = testing::ReadFileBytes(scratch);
  fs::remove(scratch);
  return bytes;
}

// Agile encryption keeps the package in one stream and its parameters in another.
std::string EncryptedPackage() {
  return CompoundFileBytes({{u"EncryptionInfo", Le16(4) + Le16(4) + std::string(300, '<')},
                            {u"EncryptedPackage", std::string(8, '\0') + std::string(6000, '\x33')}});
}

struct Case {
  const char* name;
  std::function<std::string()> bytes;
  OpeningObstacle expected;
};

TEST(ObstacleFinder, FindsWhatExcelWouldAskAboutInBuiltFiles) {
  const std::string plain = Biff8WorkbookStream({}, {});
  const Case cases[] = {
      {"legacy workbook", [&] { return LegacyWorkbookFile(plain); }, OpeningObstacle::None},
      {"encrypted legacy workbook", [] { return LegacyWorkbookFile(Biff8WorkbookStream({FilePass()}, {})); },
       OpeningObstacle::PasswordToOpen},
      {"encrypted, with a password to modify too",
       [] { return LegacyWorkbookFile(Biff8WorkbookStream({WriteProtect(), FilePass()}, {})); },
       OpeningObstacle::PasswordToOpen},
      {"write-protected legacy workbook",
       [] { return LegacyWorkbookFile(Biff8WorkbookStream({WriteProtect()}, {FileSharing(0, 0xCC3D)})); },
       OpeningObstacle::PasswordToModify},
      {"password hash without the write-protect record",
       [] { return LegacyWorkbookFile(Biff8WorkbookStream({}, {FileSharing(1, 0xCC3D)})); },
       OpeningObstacle::PasswordToModify},
      {"read-only recommended only", [] { return LegacyWorkbookFile(Biff8WorkbookStream({}, {FileSharing(1, 0)})); },
       OpeningObstacle::None},
      // A small stream lives in the mini stream.
      {"encrypted stream under 4096 bytes",
       [] { return CompoundFileBytes({{u"Workbook", Biff8WorkbookStream({FilePass()}, {}, 0)}}); },
       OpeningObstacle::PasswordToOpen},
      {"Excel 5 names its stream Book",
       [] { return CompoundFileBytes({{u"Book", Biff8WorkbookStream({FilePass()}, {})}}); },
       OpeningObstacle::PasswordToOpen},
      {"a FILEPASS in another stream counts for nothing",
       [&] { return CompoundFileBytes({{u"Workbook", plain}, {u"Ctls", Biff8WorkbookStream({FilePass()}, {})}}); },
       OpeningObstacle::None},
      {"Excel 4 worksheet", [] { return BiffRecord(0x0409, std::string(6, '\0')) + FilePass() + BiffRecord(0x000A); },
       OpeningObstacle::PasswordToOpen},
      {"encrypted package", [] { return EncryptedPackage(); }, OpeningObstacle::PasswordToOpen},
      {"workbook package", [] { return Xlsx(""); }, OpeningObstacle::None},
      {"legacy password hash", [] { return Xlsx(R"(<fileSharing userName="Tester" reservationPassword="CC3D"/>)"); },
       OpeningObstacle::PasswordToModify},
      {"salted password hash",
       [] {
         return Xlsx(R"(<fileSharing readOnlyRecommended="1" userName="Tester" algorithmName="SHA-512" )"
                     R"(hashValue="hd6T3B0nXHUzXKxTg4Vj2g==" saltValue="G5Hj8v0q1Ht6aQmsX0yDhw==" spinCount="100000"/>)");
       },
       OpeningObstacle::PasswordToModify},
      {"read-only recommended package", [] { return Xlsx(R"(<fileSharing readOnlyRecommended="1"/>)"); },
       OpeningObstacle::None},
      {"text", [] { return std::string("a,b\n1,2\n"); }, OpeningObstacle::None},
      {"truncated compound file", [&] { return LegacyWorkbookFile(plain).substr(0, 1500); }, OpeningObstacle::None},
  };
  TempDir dir;
  EngineObstacleFinder obstacleFinder;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path file = dir.Path() / "Bücher.xls";
    std::ofstream(file, std::ios::binary | std::ios::trunc) << c.bytes();
    EXPECT_EQ(obstacleFinder.Look(base::ToUtf8(file)), c.expected);
  }
  EXPECT_EQ(obstacleFinder.Look(base::ToUtf8(dir.Path() / "missing.xlsx")), OpeningObstacle::None);
  EXPECT_EQ(obstacleFinder.Look(base::ToUtf8(dir.Path())), OpeningObstacle::None);
}

// Damaged containers end the look without reading outside the file or looping.
TEST(CompoundFile, RefusesDamagedStructures) {
  const std::string good = LegacyWorkbookFile(Biff8WorkbookStream({}, {}));
  const auto with = [&](std::size_t at, std::uint32_t value) {
    std::string bytes = good;
    for (int i = 0; i < 4; ++i) bytes[at + static_cast<std::size_t>(i)] = static_cast<char>((value >> (8 * i)) & 0xFF);
    return bytes;
  };
  const auto at32 = [&](std::size_t at) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(good[at + static_cast<std::size_t>(i)]);
    return v;
  };
  // The directory's own entry in the allocation table, pointing back at itself.
  const std::uint32_t directory = at32(0x30);
  const std::size_t directoryLink = (at32(0x4C) + 1) * 512 + directory * 4;
  const std::pair<const char*, std::string> damaged[] = {
      {"allocation table beyond the file", with(0x2C, 0x7FFFFFFF)},
      {"directory in a missing sector", with(0x30, 0x00FFFFFF)},
      {"allocation sector beyond the file", with(0x4C, 0x00FFFFFF)},
      {"unknown sector size", with(0x1C, 0x000AFFFE)},
      {"directory chain in a loop", with(directoryLink, directory)},
  };
  TempDir dir;
  for (const auto& [name, bytes] : damaged) {
    SCOPED_TRACE(name);
    const fs::path file = dir.Path() / "damaged.xls";
    std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
    const zip::Input in(file);
    EXPECT_THROW(cfb::CompoundFile{in}.Read(u"Workbook", 4096), PackageError);
  }
}

const char* Shared() {
  const char* shared = std::getenv("QUORVANE_SHARED");
  return shared && fs::is_directory(fs::path(shared) / "corpus") ? shared : nullptr;
}

// Real files: none of the corpus has a password, and a real .xls whose one
// interface record is turned into WRITEPROT in place has one to modify.
TEST(ObstacleFinder, RealWorkbooksFromOtherProducers) {
  const char* shared = Shared();
  if (!shared) GTEST_SKIP() << "no shared corpus";
  EngineObstacleFinder obstacleFinder;
  int seen = 0;
  for (const char* folder : {"excel", "needs_excel", "lo_from_xls", "derived"}) {
    for (const auto& entry : fs::directory_iterator(fs::path(shared) / "corpus" / folder)) {
      SCOPED_TRACE(entry.path().string());
      EXPECT_EQ(obstacleFinder.Look(base::ToUtf8(entry.path())), OpeningObstacle::None);
      ++seen;
    }
  }
  EXPECT_GT(seen, 40);

  std::string bytes = testing::ReadFileBytes(fs::path(shared) / "corpus" / "needs_excel" / "poi_XRefCalc.xls");
  const std::string interfaceEnd("\xE2\x00\x00\x00\x5C\x00", 6);  // INTERFACEEND before WRITEACCESS
  const std::size_t at = bytes.find(interfaceEnd);
  ASSERT_NE(at, std::string::npos);
  bytes[at] = '\x86';
  TempDir dir;
  const fs::path file = dir.Path() / "protected.xls";
  std::ofstream(file, std::ios::binary) << bytes;
  EXPECT_EQ(obstacleFinder.Look(base::ToUtf8(file)), OpeningObstacle::PasswordToModify);
}

}  // namespace
}  // namespace quorvane::ooxml::test
