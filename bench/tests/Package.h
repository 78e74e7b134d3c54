#pragma once
// Test helpers: a package's parts read back through libzip, and a small XML
// tree built with expat.

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace quorvane::bench::test {

// Every entry, inflated, by name. Opens with ZIP_CHECKCONS; fails the calling
// test (and returns what it has) when the archive is unsound.
std::map<std::string, std::string> ReadParts(const std::filesystem::path& file);

struct Node {
  std::string name;
  std::map<std::string, std::string> attrs;
  std::string text;
  std::vector<std::unique_ptr<Node>> children;

  std::string Attr(const std::string& key) const;
  const Node* Child(const std::string& childName) const;
  // Every descendant (and this node) with the given name, in document order.
  std::vector<const Node*> All(const std::string& descendantName) const;
};

// Null when the text is not well-formed XML.
std::unique_ptr<Node> ParseXml(const std::string& text);

// A folder under the system temp folder, removed with the object.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

std::string ReadFile(const std::filesystem::path& file);

}  // namespace quorvane::bench::test
