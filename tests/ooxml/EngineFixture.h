#pragma once
// Shared by the engine tests: a scratch folder per test and short helpers to
// build, break and read back a workbook.

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <set>
#include <chrono>
#include <filesystem>
#include <map>
#include <string>

#include "ooxml/Workbook.h"
#include "support/WorkbookBuilder.h"

namespace quorvane::ooxml::test {

namespace fs = std::filesystem;
using quorvane::testing::BookLink;
using quorvane::testing::WorkbookBuilder;

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static std::atomic<int> counter{0};
    auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    dir_ = fs::temp_directory_path() /
           ("quorvane-engine-" + std::to_string(stamp) + "-" + std::to_string(counter++));
    fs::create_directories(dir_);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  fs::path Write(const WorkbookBuilder& b, const std::string& name = "book.xlsx") {
    fs::path p = dir_ / name;
    b.Write(p);
    return p;
  }

  // Opens, breaks every book link, saves; returns the parts afterwards.
  std::map<std::string, std::string> BreakAll(const fs::path& p, BreakResult* result = nullptr) {
    auto book = Workbook::Open(p);
    auto r = book.Break(book.BookSources());
    if (result) *result = r;
    book.Save();
    return quorvane::testing::ReadPackage(p);
  }

  static std::string Sheet1(const std::map<std::string, std::string>& parts) {
    return parts.at("xl/worksheets/sheet1.xml");
  }

  fs::path dir_;
};

// A book link with a one-sheet cache.
inline BookLink Book(std::string target, std::string cells = {}) {
  BookLink l;
  l.target = std::move(target);
  l.sheetNames = {"S"};
  if (!cells.empty()) l.sheetDataSet = "<sheetData sheetId=\"0\">" + cells + "</sheetData>";
  return l;
}

inline bool Contains(const std::string& haystack, const std::string& needle) {
  return haystack.find(needle) != std::string::npos;
}

}  // namespace quorvane::ooxml::test
