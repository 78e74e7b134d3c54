#include <gtest/gtest.h>

#include <stdexcept>

#include "Package.h"
#include "ZipWriter.h"

namespace quorvane::bench {
namespace {

class Counting final : public PartStream {
 public:
  Counting(int chunks, bool failLast) : left_(chunks), failLast_(failLast) {}
  bool Next(std::string& out) override {
    if (--left_ == 0 && failLast_) throw std::runtime_error("producer broke");
    out += "<r>" + std::to_string(left_) + "</r>";
    return left_ > 0;
  }

 private:
  int left_;
  bool failLast_;
};

std::string Expected(int chunks) {
  std::string s;
  for (int i = chunks - 1; i >= 0; --i) s += "<r>" + std::to_string(i) + "</r>";
  return s;
}

TEST(ZipWriter, StreamsPartsWhole) {
  test::TempDir dir;
  const auto file = dir.path() / "p.zip";
  ZipWriter zip(file);
  zip.Add("a.xml", "<a/>");
  zip.AddStream("big.xml", [] { return std::make_unique<Counting>(5000, false); });
  zip.AddStream("one.xml", [] { return std::make_unique<Counting>(1, false); });
  zip.Close();
  auto parts = test::ReadParts(file);
  EXPECT_EQ(parts["a.xml"], "<a/>");
  EXPECT_EQ(parts["big.xml"], Expected(5000));
  EXPECT_EQ(parts["one.xml"], Expected(1));
}

// A failing producer must surface as an error naming the cause, not as a
// truncated part or an unwinding through libzip.
TEST(ZipWriter, ProducerFailureFailsTheWrite) {
  test::TempDir dir;
  const auto file = dir.path() / "p.zip";
  try {
    ZipWriter zip(file);
    zip.AddStream("bad.xml", [] { return std::make_unique<Counting>(3, true); });
    zip.Close();
    FAIL() << "no error";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("producer broke"), std::string::npos) << e.what();
  }
  EXPECT_FALSE(std::filesystem::exists(file));
}

TEST(ZipWriter, UnwritableFolderIsAnError) {
  test::TempDir dir;
  EXPECT_THROW(
      {
        ZipWriter zip(dir.path() / "missing" / "p.zip");
        zip.Add("a.xml", "<a/>");
        zip.Close();
      },
      std::runtime_error);
}

}  // namespace
}  // namespace quorvane::bench
