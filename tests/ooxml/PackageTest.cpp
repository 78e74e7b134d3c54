#include "ooxml/Package.h"
#include "ooxml/Relationships.h"
#include "ooxml/ZipWriter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <thread>
#include <tuple>

#ifndef _WIN32
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#endif

#include "ZipTestUtil.h"
#include "support/CompoundFileBuilder.h"
#include "support/ScratchDir.h"

namespace quorvane::ooxml {
namespace {

namespace fs = std::filesystem;
using namespace test;
using tests::ReadBytes;
using tests::ScratchDir;
using Names = std::vector<std::string>;

// One package with what writers leave: a folder entry, a data descriptor,
// stored and deflated parts, extra fields and comments, and entries enough
// for zip64 end records. Another thread reads while this one checks.
TEST(Package, ReadsPartsAndSaveCopiesUntouchedEntriesRawAndWritesEdits) {
  ScratchDir dir;
  auto items = MinimalWorkbook();
  std::string rows;
  for (int i = 0; i < 30000; ++i) rows += "<r n=\"" + std::to_string(i * 7919 % 10007) + "\"/>";
  items.insert(items.end(), {Item("docProps/", "", 0), Item("xl/stored.xml", "<s>stored</s>", 0),
                             Item("xl/stored2.xml", "<s>stored</s>", 0), Item("xl/calcChain.xml", "<calcChain/>"),
                             Item("xl/pieces.xml", rows),  // inflated in several pieces
                             {.name = "xl/vbaProject.bin", .data = std::string(3000, 'v'), .descriptor = true},
                             {.name = "docProps/custom.xml", .data = "<x/>", .flags = 0x0800,
                              .extra = std::string("\x55\x54\x05\x00\x01\x12\x34\x56\x78", 9), .comment = "keep"}});
  for (int i = 0; i < 70000; ++i) items.push_back(Item("x/" + std::to_string(i), std::to_string(i), i % 2 ? 8 : 0));
  const fs::path path = dir.File("b.xlsm", MakeZip(items, "archive comment"));
  const std::string bytes = ReadBytes(path);
  std::map<std::string, RawEntry> before;
  for (auto& e : ReadRawEntries(bytes)) before[e.name] = std::move(e);

  Package pkg = Package::Open(path);
  Names names;
  for (const auto& it : items) names.push_back(it.name);
  EXPECT_EQ(pkg.EntryNames(), names);
  EXPECT_EQ(pkg.MainPart(), "xl/workbook.xml");
  const auto joined = [&](const std::string& name) {
    std::string all;
    pkg.ReadInPieces(name, [&](std::string_view piece) { all += piece; });
    return all;
  };
  std::atomic<int> mismatches{0};
  const auto readAll = [&] {
    for (const auto& it : items) mismatches += pkg.Read(it.name) != it.data || joined(it.name) != it.data;
  };
  std::thread other(readAll);
  readAll();
  other.join();
  EXPECT_EQ(mismatches.load(), 0);
  EXPECT_EQ(pkg.Read("/XL/Workbook.XML"), items[3].data);
  EXPECT_TRUE(pkg.Has("xl/vbaProject.bin"));
  EXPECT_FALSE(pkg.Has("docProps/"));
  EXPECT_EQ(ErrorOf([&] { pkg.Read("xl/missing.xml"); }), "missing part xl/missing.xml");
  EXPECT_FALSE(pkg.Modified());
  const auto written = fs::last_write_time(path);
  pkg.Save();  // nothing staged: the file is not even rewritten
  EXPECT_EQ(fs::last_write_time(path), written);

  const std::string sheet = "<worksheet>frozen</worksheet>";
  pkg.Replace("xl/worksheets/sheet1.xml", sheet);
  pkg.Replace("xl/stored.xml", "<s>edited</s>");
  // Parts compressed beforehand: a stored entry stays stored all the same.
  pkg.ReplaceDeflated("xl/stored2.xml", DeflatePart(rows));
  pkg.Remove("xl/calcChain.xml");
  pkg.Replace("xl/added.xml", "<new/>");
  pkg.ReplaceDeflated("xl/empty.xml", DeflatePart(""));
  EXPECT_EQ(joined("xl/stored2.xml"), rows);
  EXPECT_EQ(pkg.Read("xl/empty.xml"), "");
  EXPECT_TRUE(pkg.Modified());
  EXPECT_FALSE(pkg.Has("xl/calcChain.xml"));
  EXPECT_EQ(ErrorOf([&] { pkg.Remove("xl/calcChain.xml"); }), "missing part xl/calcChain.xml");
  EXPECT_EQ(ErrorOf([&] { pkg.Replace("../outside.xml", "x"); }), "invalid part name \"../outside.xml\"");
  // A failing disk leaves the file as it was and no temporary beside it, and
  // the save may be tried again; our own error type passes through as is.
  for (const std::uint64_t failAt : {std::uint64_t{0}, std::uint64_t{100}, bytes.size() / 2}) {
    const auto disk = [&](std::uint64_t done) { if (done >= failAt) throw std::runtime_error("failing disk"); };
    EXPECT_EQ(ErrorOf([&] { pkg.Save(disk); }), "cannot write: failing disk");
    EXPECT_TRUE(ReadBytes(path) == bytes);
    EXPECT_EQ(dir.Names(), Names({"b.xlsm"}));
  }
  EXPECT_EQ(ErrorOf([&] { pkg.Save([](std::uint64_t) { throw PackageError("disk full"); }); }), "disk full");
  EXPECT_TRUE(pkg.Modified());
  std::uint64_t total = 0;
  pkg.Save([&](std::uint64_t done) { total = done; });
  EXPECT_EQ(total, fs::file_size(path));

  const std::string saved = ReadBytes(path);
  EXPECT_TRUE(saved.ends_with("archive comment"));
  for (const auto& now : ReadRawEntries(saved)) {
    const RawEntry& old = before[now.name];
    if (now.name == "xl/worksheets/sheet1.xml") {
      EXPECT_EQ(now.method, 8);
      EXPECT_EQ(now.central.substr(4, 2), old.central.substr(4, 2)) << "made by";
      EXPECT_EQ(now.central.substr(36, 6), old.central.substr(36, 6)) << "attributes";
    } else if (now.name.starts_with("xl/stored")) {
      EXPECT_EQ(now.method, 0) << now.name;
    } else if (!old.name.empty()) {
      EXPECT_EQ(now.bytes, old.bytes) << now.name << " was not copied raw";
    }
  }
  std::map<std::string, std::string> expected = {{"xl/worksheets/sheet1.xml", sheet}, {"xl/stored2.xml", rows},
                                                 {"xl/stored.xml", "<s>edited</s>"}, {"xl/added.xml", "<new/>"},
                                                 {"xl/empty.xml", ""}};
  for (const auto& it : items) expected.emplace(it.name, it.data);
  expected.erase("xl/calcChain.xml");
  EXPECT_TRUE(testing::ReadPackage(path) == expected);
  // The package now stands for the saved file, entries in their old order.
  std::erase(names, "xl/calcChain.xml");
  names.insert(names.end(), {"xl/added.xml", "xl/empty.xml"});
  EXPECT_EQ(pkg.EntryNames(), names);
  EXPECT_FALSE(pkg.Modified());
  EXPECT_EQ(pkg.Read("xl/added.xml"), "<new/>");
  EXPECT_EQ(dir.Names(), Names({"b.xlsm"}));
}

// The small workbook after `change`; with one entry more; with `from`
// replaced by `to` in one part.
std::string Workbook(const std::function<void(std::vector<ZipItem>&)>& change) {
  auto items = MinimalWorkbook();
  change(items);
  return MakeZip(items);
}
std::string Plus(const std::string& name, const std::string& data = {}) {
  return Workbook([&](auto& i) { i.push_back(Item(name, data)); });
}
std::string Edited(std::string_view part, const std::string& from, const std::string& to) {
  return Workbook([&](auto& items) {
    for (auto& i : items)
      if (i.name == part) i.data.replace(i.data.find(from), from.size(), to);
  });
}
// `bytes` with one byte set, `offset` from the first occurrence of `marker`.
std::string Patched(std::string bytes, const std::string& marker, std::ptrdiff_t offset, char value) {
  bytes.at(static_cast<std::size_t>(static_cast<std::ptrdiff_t>(bytes.find(marker)) + offset)) = value;
  return bytes;
}

// One row per guard: variants that meet the same refusal are left out.
TEST(Package, RefusesWhatItCannotSafelyOpenOrRead) {
  using testing::CompoundFileBytes;
  const std::string zip = MakeZip(MinimalWorkbook());
  const std::string pk12("PK\x01\x02", 4);
  // Two directory records pointing at the same local header.
  std::string overlapping = zip;
  const auto second = overlapping.find(pk12, overlapping.find(pk12) + 4) + 42;
  overlapping.replace(second, 4, overlapping.substr(overlapping.find(pk12) + 42, 4));
  const std::string signatureRel = R"(<Relationship Id="rId9" Target="_xmlsignatures/origin.sigs" )"
                                   R"(Type="http://schemas.openxmlformats.org/package/2006/relationships/)"
                                   R"(digital-signature/origin"/></Relationships>)";
  const std::tuple<const char*, std::string, const char*> cases[] = {  // what, the file, the reason
      {"text file", "just,some,csv\n1,2,3\n", "not a zip file"},
      {"legacy xls", CompoundFileBytes({{u"Workbook", std::string(600, 'w')}}), "needs Microsoft Excel (.xls)"},
      {"password-protected", CompoundFileBytes({{u"EncryptedPackage", "x"}}), "password-protected"},
      {"truncated zip", zip.substr(0, zip.size() / 2), "truncated"},
      {"binary workbook", Plus("xl/workbook.bin", "x"), "needs Microsoft Excel (.xlsb)"},
      {"signature part", Plus("_xmlsignatures/sig1.xml", "<s/>"), "digitally signed"},
      {"signature relationship", Edited("_rels/.rels", "</Relationships>", signatureRel), "digitally signed"},
      {"names differing in case", Plus("XL/Worksheets/Sheet1.xml", "x"), "duplicate entry"},
      {"encrypted entry", Workbook([](auto& i) { i[4].flags = 1; }), "password-protected"},
      {"parent folder name", Plus("xl/../../evil.xml"), "unsafe entry name"},
      {"backslash name", Plus("..\\evil.xml"), "unsafe entry name"},
      {"drive letter name", Plus("C:/evil.xml"), "unsafe entry name"},
      {"empty name", Plus(""), "unsafe entry name"},
      // Another writer's local header that says stored where the directory says deflated.
      {"local method differs", Patched(zip, "xl/workbook.xml", -22, 0), "local and central methods differ"},
      {"descriptor disagrees",
       Patched(Workbook([](auto& i) { i[4].descriptor = true; }), std::string("PK\x07\x08", 4), 4, 0x55),
       "bad data descriptor"},
      {"bzip2 entry", Workbook([](auto& i) { i[4].method = 12; i[4].compressed = "BZh9"; }),
       "unsupported compression method 12"},
      {"no content types", Workbook([](auto& i) { i.erase(i.begin()); }), "[Content_Types].xml"},
      {"word document",
       Edited("[Content_Types].xml", "spreadsheetml.sheet.main+xml", "wordprocessingml.document.main+xml"),
       "not a workbook package"},
      {"overlapping entries", overlapping, "damaged zip package"},
  };
  ScratchDir dir;
  for (const auto& [what, bytes, reason] : cases) {
    const std::string error = ErrorOf([&] { Package::Open(dir.File("w.xlsx", bytes)); });
    EXPECT_NE(error.find(reason), std::string::npos) << what << ": " << error;
  }
#ifndef _WIN32
  // Neither may hang or be read as a file.
  ASSERT_EQ(::mkfifo((dir / "pipe.xlsx").c_str(), 0600), 0);
  EXPECT_EQ(ErrorOf([&] { Package::Open(dir / "pipe.xlsx"); }), "not a workbook package (not a regular file)");
  EXPECT_EQ(ErrorOf([&] { Package::Open(dir.Path()); }), "not a workbook package (a folder)");
#endif

  // Reading stops at the limits and catches lies.
  const std::string zeros(3 << 20, '\0');
  const std::pair<ZipItem, const char*> hostile[] = {
      {Item("bomb.xml", zeros), "compressed suspiciously well"},  // ratio about 1000
      {Item("big.xml", std::string(5 << 20, 'x'), 0), "too large"},
      {{.name = "liar.xml", .data = zeros, .declaredSize = 1000}, "larger than declared"},
      {{.name = "short.xml", .data = "abc", .declaredSize = 4}, "smaller than declared"},
      {{.name = "crc.xml", .data = "abc", .crc = 1234}, "checksum"},
      {{.name = "garbage.xml", .data = "abc", .compressed = std::string(4, '\xff')}, "bad compressed data"},
  };
  auto items = MinimalWorkbook();
  for (const auto& h : hostile) items.push_back(h.first);
  // Sizes in a zip64 field, as streaming writers put them.
  items.push_back({.name = "zip64.xml", .data = "<z/>", .extra = std::string("\x01\x00\x08\x00\x04\0\0\0\0\0\0\0", 12),
                   .declaredSize = 0xFFFFFFFFu});
  const fs::path path = dir.File("d.xlsx", MakeZip(items));

  const Package pkg = Package::Open(path, {.maxPartSize = 4 << 20, .maxCompressionRatio = 100});
  for (const auto& [item, reason] : hostile)
    for (const auto& error : {ErrorOf([&] { pkg.Read(item.name); }),
                              ErrorOf([&] { pkg.ReadInPieces(item.name, [](std::string_view) {}); })})
      EXPECT_NE(error.find(reason), std::string::npos) << item.name << ": " << error;
  EXPECT_EQ(pkg.Read("zip64.xml"), "<z/>");
  EXPECT_TRUE(Package::Open(path).Read("big.xml") == std::string(5 << 20, 'x'));
  EXPECT_EQ(ErrorOf([&] { Package::Open(path, {.maxEntries = 4}); }), "too many entries in the package (12)");
}

// The file's mode and the extended attributes SetAttributes sets, where the
// file system keeps them.
std::string Attributes(const fs::path& path) {
  std::string out = std::to_string(static_cast<int>(fs::status(path).permissions()));
#ifndef _WIN32
  for (const char* name : {"user.origin", "system.posix_acl_access"}) {
    std::string value(256, '\0');
    value.resize(static_cast<std::size_t>(std::max<ssize_t>(0, ::getxattr(path.c_str(), name, value.data(), 256))));
    out += std::string(" ") + name + "=" + value;
  }
#endif
  return out;
}

// A user's own attribute, a POSIX ACL granting one more user read access
// (version 2; owner rw, user 65534 r, group r, mask r, others none) and an
// unusual mode.
bool SetAttributes(const fs::path& path) {
#ifndef _WIN32
  const std::string acl("\x02\0\0\0" "\x01\0\x06\0\xff\xff\xff\xff" "\x02\0\x04\0\xfe\xff\0\0"
                        "\x04\0\x04\0\xff\xff\xff\xff" "\x10\0\x04\0\xff\xff\xff\xff" "\x20\0\0\0\xff\xff\xff\xff", 44);
  ::setxattr(path.c_str(), "user.origin", "kept", 4, 0);
  ::setxattr(path.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0);
#endif
  fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  return true;
}

// A save replaces the file whole, keeping its mode and extended attributes
// and a symbolic link to it a link; whatever stops a save (the reason; none
// for the first row), the file stays as it was and no temporary is left.
// Rows whose preparation is not possible here return false.
TEST(Package, SavesReplaceTheWholeFileOrLeaveItAsItWas) {
  using Prepare = std::function<bool(Package&, const fs::path&)>;
  const std::tuple<const char*, Prepare, const char*> cases[] = {
      {"mode and attributes", [](Package&, const fs::path& f) { return SetAttributes(f); }, ""},
      {"read-only file", [](Package&, const fs::path& f) { return fs::permissions(f, fs::perms::owner_read), true; },
       "cannot write: the workbook is read-only"},
#ifndef _WIN32
      // An administrator may write into any folder; chattr may be missing.
      {"read-only folder",
       [](Package&, const fs::path& f) { return ::geteuid() != 0 && ::chmod(f.parent_path().c_str(), 0555) == 0; },
       "cannot write: permission denied"},
      {"immutable file",
       [](Package&, const fs::path& f) { return std::system(("chattr +i '" + f.string() + "' 2>/dev/null").c_str()) == 0; },
       "cannot write: permission denied"},
#endif
      {"changed by another program",
       [](Package&, const fs::path& f) { return tests::WriteBytes(f, Plus("xl/other.xml", "theirs")), true; },
       "changed by another program"},
      {"no content types left", [](Package& pkg, const fs::path&) { return pkg.Remove("[Content_Types].xml"), true; },
       "failed its check"},
      {"part name too long for a zip",
       [](Package& pkg, const fs::path&) { return pkg.Replace("xl/" + std::string(70000, 'n'), "x"), true; },
       "part name too long"},
  };
  for (const auto& [what, prepare, reason] : cases) {
    SCOPED_TRACE(what);
    ScratchDir dir;
    const fs::path path = dir.File("g.xlsx", MakeZip(MinimalWorkbook()));
    fs::path opened = path;
#ifndef _WIN32
    opened = dir / "link.xlsx";  // saved through the link, the workbook behind it changes
    fs::create_symlink("g.xlsx", opened);
#endif
    Package pkg = Package::Open(opened);
    pkg.Replace("xl/worksheets/sheet1.xml", "<worksheet/>");
    if (!prepare(pkg, path)) continue;
    const std::string bytes = ReadBytes(path), attributes = Attributes(path);
    const Names names = dir.Names();
    const std::string error = ErrorOf([&] { pkg.Save(); });
#ifndef _WIN32
    if (std::system(("chattr -i '" + path.string() + "' 2>/dev/null").c_str()) != 0) ::chmod(dir.Path().c_str(), 0755);
#endif
    EXPECT_EQ(dir.Names(), names);
    EXPECT_TRUE(fs::is_symlink(opened) || opened == path);
    if (*reason) {
      EXPECT_NE(error.find(reason), std::string::npos) << error;
      EXPECT_EQ(ReadBytes(path), bytes);
    } else {
      EXPECT_EQ(error, kNoError);
      EXPECT_EQ(Attributes(path), attributes);
      EXPECT_EQ(Package::Open(path).Read("xl/worksheets/sheet1.xml"), "<worksheet/>");
    }
  }
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
  using testing::Le;
  // Records as a streaming writer leaves them: made on Unix, version 2.0 needed, descriptor and UTF-8 flags.
  const auto record = [&](int needed, std::uint64_t usize, const std::string& name, const std::string& extra,
                          std::uint64_t offset) {
    return "PK\x01\x02" + Le(0x031E, 2) + Le(needed, 2) + Le(0x0808, 2) + Le(0, 14) + Le(usize, 4) +
           Le(name.size(), 2) + Le(extra.size(), 2) + Le(0, 10) + Le(offset, 4) + name + extra;
  };
  const std::string timestamps("\x55\x54\x05\x00\x01\x12\x34\x56\x78", 9);
  const zip::Entry first{.name = "big.xml", .end = big, .central = record(20, 0, "big.xml", "", 0)};
  const zip::Entry copied{.name = "old.xml", .compressedSize = 10, .size = 5, .end = 10,
                          .central = record(20, 0xFFFFFFFF, "old.xml", Le(1, 2) + Le(8, 2) + Le(5, 8) + timestamps, 0)};
  std::string tail;
  zip::Writer writer([&](const char* data, std::size_t n) { tail.append(data, n < (1u << 20) ? n : 0); });
  writer.CopyRaw(in, first);
  writer.CopyRaw(in, copied);
  writer.Add("new.xml", "x", nullptr);
  writer.Finish("");
  const std::string old =
      record(45, 0xFFFFFFFF, "old.xml", Le(1, 2) + Le(16, 2) + Le(5, 8) + Le(big, 8) + timestamps, 0xFFFFFFFF);
  EXPECT_NE(tail.find(old), std::string::npos);
  EXPECT_NE(tail.find("new.xml" + Le(1, 2) + Le(8, 2) + Le(big + 10, 8)), std::string::npos);
}

// Targets resolve against their source part; ".." never climbs out of the
// package, backslashes are folder separators, escapes stay as written.
TEST(Relationships, TargetsResolveWithinThePackage) {
  const std::vector<std::array<std::string_view, 3>> resolve = {
      {"xl/workbook.xml", "/xl/externalLinks/externalLink1.xml", "xl/externalLinks/externalLink1.xml"},
      {"/xl/workbook.xml", "./styles.xml", "xl/styles.xml"}, {"xl/a.xml", "../../../etc/passwd", "etc/passwd"},
      {"xl/a.xml", "media/My%20Pic.png", "xl/media/My%20Pic.png"},
      {"xl/charts/chart1.xml", "..\\embeddings\\e.bin", "xl/embeddings/e.bin"},
  };
  for (const auto& [source, target, expected] : resolve)
    EXPECT_EQ(ResolvePartName(source, target), expected) << source << " + " << target;
}

}  // namespace
}  // namespace quorvane::ooxml
