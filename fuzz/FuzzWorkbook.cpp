// Arbitrary bytes as a workbook file: open, list, break every book link, save.
// Refusals are fine; crashes, hangs, leaks and broken promises are not:
// a refused save leaves the bytes as they were, and a finished save gives a
// package that opens again without book links.

#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

#include "ooxml/Package.h"
#include "ooxml/Workbook.h"

namespace fs = std::filesystem;
using quorvane::ooxml::Workbook;

namespace {

// One folder per fuzzing process, on tmpfs when there is one: every finished
// save syncs the file and its folder.
fs::path WorkFolder() {
  const char* base = std::getenv("QUORVANE_FUZZ_TMP");
  std::string pattern = std::string(base ? base : (fs::exists("/dev/shm") ? "/dev/shm" : "/tmp")) + "/qvfuzz.XXXXXX";
  if (!::mkdtemp(pattern.data())) {
    std::perror("mkdtemp");
    std::abort();
  }
  return pattern;
}

struct Folder {
  fs::path path = WorkFolder();
  ~Folder() {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
};

std::string ReadAll(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "fuzz_workbook: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Folder folder;
  const fs::path file = folder.path / "input.xlsx";
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(input.data(), static_cast<std::streamsize>(input.size()));
  }

  bool saved = false;
  try {
    auto book = Workbook::Open(file);
    (void)book.Links();
    (void)book.Usage();
    const auto sources = book.BookSources();
    if (!sources.empty()) {
      book.Break(sources);
      book.Save();
      saved = true;
    }
  } catch (const std::exception&) {
    // A refusal with a reason; what matters is what it left on disk.
  }

  for (const auto& entry : fs::directory_iterator(folder.path)) {
    if (entry.path() != file) Fail("a file was left beside the workbook");
  }
  if (!saved) {
    if (ReadAll(file) != input) Fail("a refused workbook was changed");
    return 0;
  }
  try {
    auto again = Workbook::Open(file);
    if (!again.BookSources().empty()) Fail("book links left after a finished save");
  } catch (const std::exception& e) {
    std::fprintf(stderr, "fuzz_workbook: the saved workbook does not open again: %s\n", e.what());
    std::abort();
  }
  return 0;
}
