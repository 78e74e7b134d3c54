#include "ooxml/Package.h"
#include "ooxml/Relationships.h"
#include "ooxml/ZipWriter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <thread>

#ifndef _WIN32
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#endif

#include "ZipTestUtil.h"
#include "support/ScratchDir.h"
#include "support/WorkbookBuilder.h"

namespace quorvane::ooxml {
namespace {

namespace fs = std::filesystem;
using test::FindItem;
using test::Item;
using test::MakeZip;
using test::MinimalWorkbook;
using test::ErrorOf;
using test::ReadRawEntries;
using test::ZipItem;
using tests::ReadBytes;
using tests::ScratchDir;
using tests::WriteBytes;
using quorvane::testing::ReadPackage;
using Names = std::vector<std::string>;

TEST(Package, ReadsPartsAndSaveCopiesUntouchedEntriesRawAndWritesEdits) {
  ScratchDir dir;
  auto items = MinimalWorkbook();
  items.push_back(Item("docProps/", "", 0));
  items.push_back(Item("xl/vbaProject.bin", std::string(3000, 'v'), 8, [](ZipItem& i) { i.descriptor = true; }));
  items.push_back(Item("xl/stored.xml", "<s>stored</s>", 0));
  items.push_back(Item("xl/stored2.xml", "<s>stored</s>", 0));
  items.push_back(Item("xl/calcChain.xml", "<calcChain/>"));
  std::string rows;
  for (int i = 0; i < 30000; ++i) rows += "<r n=\"" + std::to_string(i * 7919 % 10007) + "\"/>";
  items.push_back(Item("xl/pieces.xml", rows));  // inflated in several pieces
  items.push_back(Item("docProps/custom.xml", "<x/>", 8, [](ZipItem& i) {
    i.flags = 0x0800;
    i.extra = std::string("\x55\x54\x05\x00\x01\x12\x34\x56\x78", 9);
    i.comment = "keep me";
  }));
  const fs::path path = dir / "b.xlsm";
  WriteBytes(path, MakeZip(items, "archive comment"));
  const auto before = ReadRawEntries(ReadBytes(path));

  Package pkg = Package::Open(path);
  std::vector<std::string> names;
  for (const auto& it : items) names.push_back(it.name);
  EXPECT_EQ(pkg.EntryNames(), names);
  EXPECT_EQ(pkg.MainPart(), "xl/workbook.xml");
  const auto joined = [&](const std::string& name) {
    std::string all;
    pkg.ReadInPieces(name, [&](std::string_view piece) { all += piece; });
    return all;
  };
  for (const auto& it : items) EXPECT_EQ(pkg.Read(it.name), it.data) << it.name;
  for (const auto& it : items) EXPECT_EQ(joined(it.name), it.data) << it.name;
  EXPECT_EQ(pkg.Read("/XL/Workbook.XML"), FindItem(items, "xl/workbook.xml")->data);
  EXPECT_TRUE(pkg.Has("xl/vbaProject.bin"));
  EXPECT_FALSE(pkg.Has("docProps/"));
  EXPECT_FALSE(pkg.Has("xl/missing.xml"));
  EXPECT_NE(ErrorOf([&] { pkg.Read("xl/missing.xml"); }).find("missing part"), std::string::npos);
  EXPECT_FALSE(pkg.Modified());

  const std::string sheet = "<worksheet>frozen</worksheet>";
  pkg.Replace("xl/worksheets/sheet1.xml", sheet);
  pkg.Replace("xl/stored.xml", "<s>edited</s>");
  // Parts compressed beforehand: a stored entry stays stored all the same.
  std::string big = "<worksheet>";
  for (int i = 0; i < 20000; ++i) big += "<row r=\"" + std::to_string(i) + "\"/>";
  pkg.ReplaceDeflated("xl/stored2.xml", DeflatePart(big));
  pkg.Remove("xl/calcChain.xml");
  pkg.Replace("xl/added.xml", "<new/>");
  pkg.ReplaceDeflated("xl/empty.xml", DeflatePart(""));
  EXPECT_EQ(pkg.Read("xl/stored2.xml"), big);
  EXPECT_EQ(joined("xl/stored2.xml"), big);
  EXPECT_EQ(pkg.Read("xl/empty.xml"), "");
  EXPECT_TRUE(pkg.Modified());
  EXPECT_NE(ErrorOf([&] { pkg.Remove("xl/calcChain.xml"); }).find("missing part"), std::string::npos);
  EXPECT_NE(ErrorOf([&] { pkg.Replace("../outside.xml", "x"); }).find("invalid part name"), std::string::npos);
  EXPECT_EQ(pkg.Read("xl/worksheets/sheet1.xml"), sheet);
  EXPECT_FALSE(pkg.Has("xl/calcChain.xml"));
  pkg.Save();

  const std::string saved = ReadBytes(path);
  EXPECT_EQ(saved.substr(saved.size() - 15), "archive comment");
  const auto after = ReadRawEntries(saved);
  std::vector<std::string> expectedOrder;
  for (const auto& e : before)
    if (e.name != "xl/calcChain.xml") expectedOrder.push_back(e.name);
  expectedOrder.push_back("xl/added.xml");
  expectedOrder.push_back("xl/empty.xml");
  std::vector<std::string> order;
  for (const auto& e : after) order.push_back(e.name);
  EXPECT_EQ(order, expectedOrder);

  for (const auto& old : before) {
    const auto it = std::find_if(after.begin(), after.end(), [&](const auto& e) { return e.name == old.name; });
    if (old.name == "xl/worksheets/sheet1.xml") {
      EXPECT_EQ(it->method, 8);
      EXPECT_EQ(it->central.substr(4, 2), old.central.substr(4, 2)) << "made by";
      EXPECT_EQ(it->central.substr(36, 6), old.central.substr(36, 6)) << "attributes";
    } else if (old.name == "xl/stored.xml" || old.name == "xl/stored2.xml") {
      EXPECT_EQ(it->method, 0);
    } else if (old.name != "xl/calcChain.xml") {
      ASSERT_NE(it, after.end()) << old.name;
      EXPECT_EQ(it->bytes, old.bytes) << old.name << " was not copied raw";
    }
  }

  std::map<std::string, std::string> expected;
  for (const auto& it : items) expected[it.name] = it.data;
  expected.erase("xl/calcChain.xml");
  expected["xl/worksheets/sheet1.xml"] = sheet;
  expected["xl/stored.xml"] = "<s>edited</s>";
  expected["xl/stored2.xml"] = big;
  expected["xl/added.xml"] = "<new/>";
  expected["xl/empty.xml"] = "";
  EXPECT_EQ(ReadPackage(path), expected);

  // The package now stands for the saved file.
  EXPECT_FALSE(pkg.Modified());
  EXPECT_EQ(pkg.EntryNames(), expectedOrder);
  EXPECT_EQ(pkg.Read("xl/added.xml"), "<new/>");
  EXPECT_EQ(Package::Open(path).Read("xl/worksheets/sheet1.xml"), sheet);
  EXPECT_EQ(dir.Names(), Names({"b.xlsm"}));
}

void MakeReadOnly(const fs::path& path, bool readOnly) {
  const auto write = fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
  fs::permissions(path, write, readOnly ? fs::perm_options::remove : fs::perm_options::add);
}

TEST(Package, SaveKeepsPermissionsAndSkipsUnchangedFiles) {
  ScratchDir dir;
  const fs::path path = dir / "c.xlsx";
  WriteBytes(path, MakeZip(MinimalWorkbook()));
  const auto written = fs::last_write_time(path);
#ifndef _WIN32
  ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
  struct stat st1{}, st2{};
  ASSERT_EQ(::stat(path.c_str(), &st1), 0);
#endif

  Package pkg = Package::Open(path);
  pkg.Save();  // nothing staged: the file is not even rewritten
  EXPECT_EQ(fs::last_write_time(path), written);
#ifndef _WIN32
  ASSERT_EQ(::stat(path.c_str(), &st2), 0);
  EXPECT_EQ(st1.st_ino, st2.st_ino);
#endif

#ifndef _WIN32
  // Extended attributes: a user's own, and a POSIX ACL granting one more
  // user read access (version 2; owner rw, user 65534 r, group r, mask r,
  // others none), where the file system has them.
  const std::string acl("\x02\0\0\0" "\x01\0\x06\0\xff\xff\xff\xff" "\x02\0\x04\0\xfe\xff\0\0"
                        "\x04\0\x04\0\xff\xff\xff\xff" "\x10\0\x04\0\xff\xff\xff\xff" "\x20\0\0\0\xff\xff\xff\xff", 44);
  std::map<std::string, std::string> attributes;
  for (const auto& [name, value] : {std::pair<std::string, std::string>{"user.origin", "kept"}, {"system.posix_acl_access", acl}})
    if (::setxattr(path.c_str(), name.c_str(), value.data(), value.size(), 0) == 0) attributes[name] = value;
#endif
  pkg.Remove("xl/worksheets/sheet1.xml");
  pkg.Save();
  EXPECT_FALSE(Package::Open(path).Has("xl/worksheets/sheet1.xml"));
#ifndef _WIN32
  ASSERT_EQ(::stat(path.c_str(), &st2), 0);
  EXPECT_NE(st1.st_ino, st2.st_ino);
  EXPECT_EQ(st2.st_mode & 07777, 0640u);
  for (const auto& [name, value] : attributes) {
    std::string kept(256, '\0');
    const ssize_t n = ::getxattr(path.c_str(), name.c_str(), kept.data(), kept.size());
    EXPECT_EQ(kept.substr(0, n < 0 ? 0 : static_cast<std::size_t>(n)), value) << name;
  }

  // Saved through a symbolic link, the workbook behind it changes and the
  // link stays a link.
  fs::create_directory(dir / "links");
  fs::create_symlink("../c.xlsx", dir / "links" / "link.xlsx");
  Package linked = Package::Open(dir / "links" / "link.xlsx");
  linked.Remove("xl/_rels/workbook.xml.rels");
  linked.Save();
  EXPECT_TRUE(fs::is_symlink(dir / "links" / "link.xlsx"));
  EXPECT_FALSE(Package::Open(path).Has("xl/_rels/workbook.xml.rels"));
  EXPECT_EQ(dir.Names(), Names({"c.xlsx", "links"}));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir / "links"), fs::directory_iterator()), 1);
#endif
}

struct Refusal {
  const char* what;
  std::function<std::string()> bytes;
  const char* reason;
};

std::string Ole(std::string_view streamName) {
  std::string f(4096, '\0');
  const unsigned char sig[] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
  f.replace(0, 8, reinterpret_cast<const char*>(sig), 8);
  f[0x1E] = 9;  // 512-byte sectors, directory in sector 1
  f[0x30] = 1;
  std::size_t at = 1024 + 128;
  for (const char c : streamName) {
    f[at++] = c;
    f[at++] = '\0';
  }
  return f;
}

std::string Workbook(const std::function<void(std::vector<ZipItem>&)>& change) {
  auto items = MinimalWorkbook();
  change(items);
  return MakeZip(items);
}

// The small workbook with one entry more.
std::function<std::string()> Plus(const std::string& name, const std::string& data = {}) {
  return [=] { return Workbook([&](auto& i) { i.push_back(Item(name, data)); }); };
}

// `bytes` with one byte set, `offset` from the first occurrence of `marker`.
std::string Patched(std::string bytes, const std::string& marker, std::ptrdiff_t offset, char value) {
  bytes.at(static_cast<std::size_t>(static_cast<std::ptrdiff_t>(bytes.find(marker)) + offset)) = value;
  return bytes;
}

TEST(Package, RefusesWhatItCannotSafelyEditAndLeavesTheFile) {
  const std::vector<Refusal> cases = {
      {"text file", [] { return std::string("just,some,csv\n1,2,3\n"); }, "not a zip file"},
      {"empty file", [] { return std::string(); }, "not a zip file"},
      {"legacy xls", [] { return Ole("Workbook"); }, "needs Microsoft Excel (.xls)"},
      {"password-protected", [] { return Ole("EncryptedPackage"); }, "password-protected"},
      {"truncated zip", [] { const auto z = MakeZip(MinimalWorkbook()); return z.substr(0, z.size() / 2); },
       "truncated"},
      {"binary workbook", Plus("xl/workbook.bin", "x"), "needs Microsoft Excel (.xlsb)"},
      {"signature part", Plus("_xmlsignatures/sig1.xml", "<s/>"), "digitally signed"},
      {"signature relationship",
       [] {
         return Workbook([](auto& i) {
           auto& rels = FindItem(i, "_rels/.rels")->data;
           rels.insert(rels.find("</Relationships>"),
                       R"(<Relationship Id="rId9" Type="http://schemas.openxmlformats.org/package/2006/relationships/digital-signature/origin" Target="_xmlsignatures/origin.sigs"/>)");
         });
       },
       "digitally signed"},
      {"duplicate names", [] { return Workbook([](auto& i) { i.push_back(i[4]); }); }, "duplicate entry"},
      {"names differing in case", Plus("XL/Worksheets/Sheet1.xml", "x"), "duplicate entry"},
      {"encrypted entry", [] { return Workbook([](auto& i) { i[4].flags = 1; }); }, "password-protected"},
      {"parent folder name", Plus("xl/../../evil.xml"), "unsafe entry name"},
      {"absolute name", Plus("/etc/evil.xml"), "unsafe entry name"},
      {"backslash name", Plus("..\\evil.xml"), "unsafe entry name"},
      {"drive letter name", Plus("C:/evil.xml"), "unsafe entry name"},
      {"empty name", Plus(""), "unsafe entry name"},
      // Another writer's local header that says stored where the directory says deflated.
      {"local method differs", [] { return Patched(MakeZip(MinimalWorkbook()), "xl/workbook.xml", -22, 0); },
       "local and central methods differ"},
      {"descriptor disagrees",
       [] {
         return Patched(Workbook([](auto& i) { i[4].descriptor = true; }), std::string("PK\x07\x08", 4), 4, 0x55);
       },
       "bad data descriptor"},
      {"bzip2 entry",
       [] { return Workbook([](auto& i) { i[4].method = 12; i[4].compressed = "BZh9"; }); },
       "unsupported compression method 12"},
      {"no content types", [] { return Workbook([](auto& i) { i.erase(i.begin()); }); }, "[Content_Types].xml"},
      {"word document",
       [] {
         return Workbook([](auto& i) {
           auto& types = i[0].data;
           const auto at = types.find("spreadsheetml.sheet.main+xml");
           types.replace(at, 28, "wordprocessingml.document.main+xml");
         });
       },
       "not a workbook package"},
      {"overlapping entries",
       [] {
         // Two directory records pointing at the same local header.
         auto z = MakeZip(MinimalWorkbook());
         const auto cd = z.find(std::string("PK\x01\x02", 4));
         const auto second = z.find(std::string("PK\x01\x02", 4), cd + 4);
         for (int k = 0; k < 4; ++k) z[second + 42 + k] = z[cd + 42 + k];
         return z;
       },
       "damaged zip package"},
  };

  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ScratchDir dir;
    const fs::path path = dir / "w.xlsx";
    const std::string bytes = c.bytes();
    WriteBytes(path, bytes);
    const std::string error = ErrorOf([&] { Package::Open(path); });
    EXPECT_NE(error.find(c.reason), std::string::npos) << error;
    EXPECT_TRUE(ReadBytes(path) == bytes);
    EXPECT_EQ(dir.Names(), Names({"w.xlsx"}));
  }
#ifndef _WIN32
  // Neither may hang or be read as a file.
  ScratchDir dir;
  ASSERT_EQ(::mkfifo((dir / "pipe.xlsx").c_str(), 0600), 0);
  EXPECT_EQ(ErrorOf([&] { Package::Open(dir / "pipe.xlsx"); }), "not a workbook package (not a regular file)");
  EXPECT_EQ(ErrorOf([&] { Package::Open(dir.Path()); }), "not a workbook package (a folder)");
#endif
}

TEST(Package, ReadStopsAtLimitsAndCatchesLies) {
  ScratchDir dir;
  const std::string zeros(3 << 20, '\0');
  const std::pair<ZipItem, const char*> hostile[] = {
      {Item("bomb.xml", zeros), "compressed suspiciously well"},  // ratio about 1000
      {Item("big.xml", std::string(5 << 20, 'x'), 0), "too large"},
      {Item("liar.xml", zeros, 8, [](ZipItem& i) { i.declaredSize = 1000; }), "larger than declared"},
      {Item("short.xml", "abc", 8, [](ZipItem& i) { i.declaredSize = 4; }), "smaller than declared"},
      {Item("crc.xml", "abc", 8, [](ZipItem& i) { i.crc = 1234; }), "checksum"},
      {Item("garbage.xml", "abc", 8, [](ZipItem& i) { i.compressed = std::string(4, '\xff'); }), "bad compressed data"},
      {Item("claims4g.xml", "abc", 8, [](ZipItem& i) { i.declaredSize = 0xFFFFFFF0u; }), "too large"},
  };
  auto items = MinimalWorkbook();
  for (const auto& h : hostile) items.push_back(h.first);
  // Sizes in a zip64 field, as streaming writers put them.
  items.push_back(Item("zip64.xml", "<z/>", 8, [](ZipItem& i) {
    i.declaredSize = 0xFFFFFFFFu;
    i.extra = std::string("\x01\x00\x08\x00\x04\0\0\0\0\0\0\0", 12);
  }));
  const fs::path path = dir / "d.xlsx";
  const std::string bytes = MakeZip(items);
  WriteBytes(path, bytes);

  PackageLimits limits;
  limits.maxPartSize = 4 << 20;
  limits.maxCompressionRatio = 100;
  const Package pkg = Package::Open(path, limits);
  for (const auto& h : hostile) {
    EXPECT_NE(ErrorOf([&] { pkg.Read(h.first.name); }).find(h.second), std::string::npos) << h.first.name;
    const std::string inPieces = ErrorOf([&] { pkg.ReadInPieces(h.first.name, [](std::string_view) {}); });
    EXPECT_NE(inPieces.find(h.second), std::string::npos) << h.first.name << ": " << inPieces;
  }
  EXPECT_EQ(pkg.Read("zip64.xml"), "<z/>");
  EXPECT_TRUE(Package::Open(path).Read("big.xml") == std::string(5 << 20, 'x'));
  PackageLimits few;
  few.maxEntries = 4;
  EXPECT_EQ(ErrorOf([&] { Package::Open(path, few); }), "too many entries in the package (13)");
  EXPECT_TRUE(ReadBytes(path) == bytes);
}

TEST(Package, FailedSaveLeavesTheOriginalAndCanBeRetried) {
  ScratchDir dir;
  const fs::path path = dir / "e.xlsx";
  auto items = MinimalWorkbook();
  items.push_back(Item("xl/media/big.bin", std::string(3 << 20, 'm'), 0));
  const std::string bytes = MakeZip(items);
  WriteBytes(path, bytes);
  // The same save on a copy tells how many bytes a full write takes.
  fs::copy_file(path, dir / "copy.xlsx");
  std::uint64_t total = 0;
  {
    Package copy = Package::Open(dir / "copy.xlsx");
    copy.Replace("xl/worksheets/sheet1.xml", "<worksheet/>");
    copy.Save([&](std::uint64_t written) { total = written; });
    EXPECT_EQ(total, fs::file_size(dir / "copy.xlsx"));
    fs::remove(dir / "copy.xlsx");
  }

  Package pkg = Package::Open(path);
  pkg.Replace("xl/worksheets/sheet1.xml", "<worksheet/>");
  for (const std::uint64_t failAt : {std::uint64_t{0}, std::uint64_t{100}, total / 2, total}) {
    SCOPED_TRACE(failAt);
    const std::string error = ErrorOf([&] {
      pkg.Save([&](std::uint64_t written) {
        if (written >= failAt) throw std::runtime_error("simulated disk failure");
      });
    });
    EXPECT_EQ(error, "cannot write: simulated disk failure");
    EXPECT_TRUE(ReadBytes(path) == bytes);
    EXPECT_EQ(dir.Names(), Names({"e.xlsx"}));
    EXPECT_TRUE(pkg.Modified());
  }
  // A failing disk that answers with our own error type passes through as is.
  EXPECT_EQ(ErrorOf([&] { pkg.Save([](std::uint64_t) { throw PackageError("disk full"); }); }), "disk full");

  pkg.Save();
  EXPECT_EQ(Package::Open(path).Read("xl/worksheets/sheet1.xml"), "<worksheet/>");
}

// Whatever stops a save, the file stays as it was and no temporary is left.
TEST(Package, RefusedSavesLeaveTheFileAsItWas) {
  using Prepare = std::function<bool(Package&, const fs::path&)>;  // false: not possible here
  const auto locked = [](std::function<bool(const fs::path&)> lock) -> Prepare {
    return [lock](Package& pkg, const fs::path& f) { return pkg.Replace("xl/worksheets/sheet1.xml", "<worksheet/>"), lock(f); };
  };
  const struct {
    const char* what;
    Prepare prepare;
    const char* reason;
  } cases[] = {
      {"read-only file", locked([](const fs::path& f) { return MakeReadOnly(f, true), true; }),
       "cannot write: the workbook is read-only"},
#ifndef _WIN32
      // An administrator may write into any folder; chattr may be missing.
      {"read-only folder",
       locked([](const fs::path& f) { return ::geteuid() != 0 && ::chmod(f.parent_path().c_str(), 0555) == 0; }),
       "cannot write: permission denied"},
      {"immutable file",
       locked([](const fs::path& f) { return std::system(("chattr +i '" + f.string() + "' 2>/dev/null").c_str()) == 0; }),
       "cannot write: permission denied"},
#endif
      {"changed by another program",
       locked([](const fs::path& f) {
         auto items = MinimalWorkbook();
         items[4].data = "<worksheet>someone else's edit</worksheet>";
         return WriteBytes(f, MakeZip(items)), true;
       }),
       "changed by another program"},
      {"no content types left", [](Package& pkg, const fs::path&) { return pkg.Remove("[Content_Types].xml"), true; },
       "failed its check"},
      {"part name too long for a zip",
       [](Package& pkg, const fs::path&) { return pkg.Replace("xl/" + std::string(70000, 'n'), "x"), true; },
       "part name too long"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ScratchDir dir;
    const fs::path path = dir / "g.xlsx";
    WriteBytes(path, MakeZip(MinimalWorkbook()));
    Package pkg = Package::Open(path);
    if (!c.prepare(pkg, path)) continue;
    const std::string bytes = ReadBytes(path);
    const std::string error = ErrorOf([&] { pkg.Save(); });
#ifndef _WIN32
    if (std::system(("chattr -i '" + path.string() + "' 2>/dev/null").c_str()) != 0) ::chmod(dir.Path().c_str(), 0755);
#endif
    MakeReadOnly(path, false);
    EXPECT_NE(error.find(c.reason), std::string::npos) << error;
    EXPECT_EQ(ReadBytes(path), bytes);
    EXPECT_EQ(dir.Names(), Names({"g.xlsx"}));
  }
}

// Concurrent reads agree, too.
TEST(Package, ManyEntriesNeedZip64AndSurviveASave) {
  ScratchDir dir;
  auto items = MinimalWorkbook();
  for (int i = 0; i < 20; ++i)
    items.push_back(Item("xl/worksheets/s" + std::to_string(i) + ".xml",
                         std::string(20000 + i * 1000, static_cast<char>('a' + i)), i % 2 ? 8 : 0));
  const std::size_t checked = items.size();
  for (int i = 0; i < 70000; ++i)
    items.push_back(Item("x/" + std::to_string(i), std::to_string(i), 0));
  const fs::path path = dir / "k.xlsx";
  WriteBytes(path, MakeZip(items));

  Package pkg = Package::Open(path);
  std::atomic<int> mismatches{0};
  auto work = [&](std::size_t offset) {
    for (int round = 0; round < 30; ++round)
      for (std::size_t k = 0; k < checked; ++k) {
        const auto& it = items[(k + offset) % checked];
        if (pkg.Read(it.name) != it.data) ++mismatches;
      }
  };
  std::thread a(work, 0), b(work, 7);
  a.join();
  b.join();
  EXPECT_EQ(mismatches.load(), 0);
  EXPECT_EQ(pkg.EntryNames().size(), items.size());
  EXPECT_EQ(pkg.Read("x/69999"), "69999");
  pkg.Replace("x/123", "changed");
  pkg.Remove("x/124");
  pkg.Save();

  const auto contents = ReadPackage(path);
  EXPECT_EQ(contents.size(), items.size() - 1);
  EXPECT_EQ(contents.at("x/123"), "changed");
  EXPECT_EQ(contents.at("x/69999"), "69999");
  EXPECT_EQ(contents.count("x/124"), 0u);
  EXPECT_EQ(Package::Open(path).EntryNames().size(), items.size() - 1);
}

// Past 4 GiB offsets move into zip64 fields: a record copied raw keeps its
// other extra fields, a new one gets a field of its own. A sparse file stands
// in for the first 4 GiB.
TEST(ZipWriter, OffsetsPast4GiBMoveIntoZip64Fields) {
#ifdef _WIN32
  GTEST_SKIP() << "NTFS files are not sparse unless asked to be";
#endif
  ScratchDir dir;
  const std::uint64_t big = (std::uint64_t{1} << 32) + 64;
  fs::resize_file(dir.File("big.bin", ""), big);
  const zip::Input input(dir / "big.bin");
  zip::WindowReader in(input);
  const auto le = [](std::uint64_t v, int bytes) {
    std::string s;
    for (int i = 0; i < bytes; ++i) s += static_cast<char>(i < 8 ? (v >> (8 * i)) & 0xFF : 0);
    return s;
  };
  // Records as a streaming writer leaves them: made on Unix, version 2.0 needed, descriptor and UTF-8 flags.
  const auto record = [&](int needed, std::uint64_t usize, const std::string& name, const std::string& extra,
                          std::uint64_t offset) {
    return "PK\x01\x02" + le(0x031E, 2) + le(needed, 2) + le(0x0808, 2) + le(0, 14) + le(usize, 4) +
           le(name.size(), 2) + le(extra.size(), 2) + le(0, 10) + le(offset, 4) + name + extra;
  };
  const std::string timestamps("\x55\x54\x05\x00\x01\x12\x34\x56\x78", 9);
  zip::Entry first, copied;
  first.name = "big.xml";
  first.end = big;
  first.central = record(20, 0, "big.xml", "", 0);
  copied.name = "old.xml";
  copied.end = copied.compressedSize = 10;
  copied.size = 5;
  copied.central = record(20, 0xFFFFFFFF, "old.xml", le(1, 2) + le(8, 2) + le(5, 8) + timestamps, 0);
  std::string tail;
  zip::Writer writer([&](const char* data, std::size_t n) { tail.append(data, n < (1u << 20) ? n : 0); });
  writer.CopyRaw(in, first);
  writer.CopyRaw(in, copied);
  writer.Add("new.xml", "x", nullptr);
  writer.Finish("");
  const std::string old =
      record(45, 0xFFFFFFFF, "old.xml", le(1, 2) + le(16, 2) + le(5, 8) + le(big, 8) + timestamps, 0xFFFFFFFF);
  EXPECT_NE(tail.find(old), std::string::npos);
  EXPECT_NE(tail.find("new.xml" + le(1, 2) + le(8, 2) + le(big + 10, 8)), std::string::npos);
}

TEST(Relationships, ParsesResolvesAndRefuses) {
  const auto rels = ParseRelationships(
      R"(<?xml version="1.0"?><Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">)"
      R"(<Relationship Id="rId2" Type="t/externalLinkPath" Target="file:///C:\Books\A%20B.xlsx" TargetMode="External"/>)"
      R"(<Relationship Target="../x&amp;y.xml" Id="rId1" Type="t/sheet"/></Relationships>)");
  ASSERT_EQ(rels.size(), 2u);
  EXPECT_EQ(rels[0].id, "rId2");
  EXPECT_EQ(rels[0].target, "file:///C:\\Books\\A%20B.xlsx");
  EXPECT_TRUE(rels[0].external);
  EXPECT_EQ(rels[1].target, "../x&y.xml");
  EXPECT_EQ(rels[1].type, "t/sheet");
  EXPECT_FALSE(rels[1].external);

  EXPECT_NE(ErrorOf([] { ParseRelationships("<Relationships><Relationship></Relationships>", "xl/_rels/a.rels"); })
                .find("malformed XML in xl/_rels/a.rels"),
            std::string::npos);
  const std::vector<std::array<std::string_view, 3>> resolve = {
      {"xl/workbook.xml", "worksheets/sheet1.xml", "xl/worksheets/sheet1.xml"},
      {"xl/worksheets/sheet1.xml", "../drawings/drawing1.xml", "xl/drawings/drawing1.xml"},
      {"xl/workbook.xml", "/xl/externalLinks/externalLink1.xml", "xl/externalLinks/externalLink1.xml"},
      {"", "xl/workbook.xml", "xl/workbook.xml"},
      {"/xl/workbook.xml", "./styles.xml", "xl/styles.xml"},
      {"xl/a.xml", "../../../etc/passwd", "etc/passwd"},
      {"xl/a.xml", "media/My%20Pic.png", "xl/media/My%20Pic.png"},
      {"xl/charts/chart1.xml", "..\\embeddings\\e.bin", "xl/embeddings/e.bin"},
  };
  for (const auto& [source, target, expected] : resolve)
    EXPECT_EQ(ResolvePartName(source, target), expected) << source << " + " << target;

  EXPECT_EQ(RelsPartFor("xl/workbook.xml"), "xl/_rels/workbook.xml.rels");
  EXPECT_EQ(RelsPartFor("/xl/worksheets/sheet1.xml"), "xl/worksheets/_rels/sheet1.xml.rels");
  EXPECT_EQ(RelsPartFor("book.xml"), "_rels/book.xml.rels");
  EXPECT_EQ(RelsPartFor(""), "_rels/.rels");
}

}  // namespace
}  // namespace quorvane::ooxml
