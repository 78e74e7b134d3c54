// Windows file-system faults on the built-in engine: a workbook another
// program holds open without sharing writes, and paths beyond MAX_PATH.

#include <gtest/gtest.h>
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <filesystem>
#include <memory>
#include <string>

#include "ooxml/Package.h"
#include "ooxml/Workbook.h"
#include "support/WorkbookBuilder.h"

namespace {

namespace fs = std::filesystem;
using quorvane::ooxml::PackageError;
using quorvane::ooxml::Workbook;

struct HandleCloser {
  void operator()(HANDLE h) const {
    if (h && h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
};
using Handle = std::unique_ptr<void, HandleCloser>;

// The long form of a path, so that creating folders and files past MAX_PATH
// does not depend on the process's long-path setting.
std::wstring Long(const fs::path& p) { return L"\\\\?\\" + fs::absolute(p).wstring(); }

std::string ReadBytes(const fs::path& p) {
  Handle h(CreateFileW(Long(p).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_EXISTING, 0, nullptr));
  if (h.get() == INVALID_HANDLE_VALUE) return "<unreadable>";
  std::string out;
  char buf[65536];
  DWORD got = 0;
  while (ReadFile(h.get(), buf, sizeof buf, &got, nullptr) && got > 0) out.append(buf, got);
  return out;
}

void WriteBytes(const fs::path& p, const std::string& bytes) {
  Handle h(CreateFileW(Long(p).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  ASSERT_NE(h.get(), INVALID_HANDLE_VALUE);
  DWORD done = 0;
  ASSERT_TRUE(WriteFile(h.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr));
}

std::string LinkedWorkbookBytes(const fs::path& scratch) {
  quorvane::testing::BookLink link;
  link.target = "Src.xlsx";
  link.sheetNames = {"S"};
  quorvane::testing::WorkbookBuilder b;
  b.AddBookLink(link);
  b.AddSheet("Main", R"(<row r="1"><c r="A1"><f>[1]S!A1*2</f><v>8</v></c></row>)");
  b.Write(scratch);
  std::string bytes = ReadBytes(scratch);
  fs::remove(scratch);
  return bytes;
}

class WindowsFileFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("qv-winrel-" + std::to_string(GetCurrentProcessId()) + "-" +
                                        std::to_string(GetTickCount64()));
    fs::create_directories(dir_);
    bytes_ = LinkedWorkbookBytes(dir_ / "scratch.xlsx");
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(Long(dir_), ec);
  }
  // Names in a folder besides `keep`.
  static std::size_t Others(const fs::path& folder, const std::wstring& keep) {
    std::size_t n = 0;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((Long(folder) + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return 0;
    do {
      const std::wstring name = data.cFileName;
      if (name != L"." && name != L".." && name != keep) ++n;
    } while (FindNextFileW(find, &data));
    FindClose(find);
    return n;
  }
  fs::path dir_;
  std::string bytes_;
};

TEST_F(WindowsFileFaults, WorkbookHeldWithoutWriteSharingIsRefusedAndLeftAsItWas) {
  const fs::path path = dir_ / "held.xlsx";
  WriteBytes(path, bytes_);
  // Another program reads it and lets others read, but not write or delete.
  Handle holder(CreateFileW(path.wstring().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_NE(holder.get(), INVALID_HANDLE_VALUE);

  std::string reason;
  try {
    auto book = Workbook::Open(path);
    book.Break(book.BookSources());
    book.Save();
  } catch (const PackageError& e) {
    reason = e.what();
  }
  EXPECT_NE(reason.find("in use by another program"), std::string::npos) << "reason: " << reason;
  holder.reset();
  EXPECT_EQ(ReadBytes(path), bytes_);
  EXPECT_EQ(Others(dir_, L"held.xlsx"), 0u) << "temporary file left";
}

TEST_F(WindowsFileFaults, PathsBeyondMaxPathAreBrokenOrRefusedWhole) {
  fs::path folder = dir_;
  while (folder.wstring().size() < 300) {
    folder /= std::string(40, 'd');
    ASSERT_TRUE(CreateDirectoryW(Long(folder).c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
  }
  const fs::path path = folder / "a workbook with a long name.xlsx";
  ASSERT_GT(path.wstring().size(), 260u);
  WriteBytes(path, bytes_);

  std::string reason;
  try {
    auto book = Workbook::Open(path);
    ASSERT_EQ(book.BookSources().size(), 1u);
    book.Break(book.BookSources());
    book.Save();
  } catch (const PackageError& e) {
    reason = e.what();
  }
  if (reason.empty()) {
    auto again = Workbook::Open(path);
    EXPECT_TRUE(again.BookSources().empty());
  } else {
    EXPECT_EQ(ReadBytes(path), bytes_) << "refused (" << reason << ") but changed";
  }
  EXPECT_EQ(Others(folder, L"a workbook with a long name.xlsx"), 0u) << "temporary file left";
  std::printf("[ long path ] %zu characters: %s\n", path.wstring().size(), reason.empty() ? "broken" : reason.c_str());
}

}  // namespace
