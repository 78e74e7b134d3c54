#include "Package.h"

#include <expat.h>
#include <gtest/gtest.h>
#include <zip.h>

#include <fstream>
#include <random>
#include <sstream>

namespace quorvane::bench::test {

namespace {

struct ZipCloser {
  void operator()(zip_t* z) const { zip_discard(z); }
};
struct ZipFileCloser {
  void operator()(zip_file_t* f) const { zip_fclose(f); }
};
struct ParserFree {
  void operator()(XML_ParserStruct* p) const { XML_ParserFree(p); }
};

struct Builder {
  std::unique_ptr<Node> root;
  std::vector<Node*> open;
};

void OnStart(void* data, const XML_Char* name, const XML_Char** attrs) {
  auto& b = *static_cast<Builder*>(data);
  auto node = std::make_unique<Node>();
  node->name = name;
  for (int i = 0; attrs[i] != nullptr; i += 2) node->attrs[attrs[i]] = attrs[i + 1];
  Node* raw = node.get();
  if (b.open.empty()) {
    b.root = std::move(node);
  } else {
    b.open.back()->children.push_back(std::move(node));
  }
  b.open.push_back(raw);
}

void OnEnd(void* data, const XML_Char*) { static_cast<Builder*>(data)->open.pop_back(); }

void OnText(void* data, const XML_Char* s, int len) {
  auto& b = *static_cast<Builder*>(data);
  if (!b.open.empty()) b.open.back()->text.append(s, static_cast<std::size_t>(len));
}

}  // namespace

std::map<std::string, std::string> ReadParts(const std::filesystem::path& file) {
  std::map<std::string, std::string> parts;
  int err = 0;
  std::unique_ptr<zip_t, ZipCloser> z(zip_open(file.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &err));
  if (!z) {
    ADD_FAILURE() << file << " does not open as a consistent zip (libzip error " << err << ")";
    return parts;
  }
  const zip_int64_t n = zip_get_num_entries(z.get(), 0);
  for (zip_int64_t i = 0; i < n; ++i) {
    zip_stat_t st;
    zip_stat_index(z.get(), static_cast<zip_uint64_t>(i), 0, &st);
    std::string data(st.size, '\0');
    std::unique_ptr<zip_file_t, ZipFileCloser> f(zip_fopen_index(z.get(), static_cast<zip_uint64_t>(i), 0));
    if (!f || zip_fread(f.get(), data.data(), data.size()) != static_cast<zip_int64_t>(data.size())) {
      ADD_FAILURE() << "cannot read " << st.name << " of " << file;
      continue;
    }
    EXPECT_TRUE(parts.emplace(st.name, std::move(data)).second) << "duplicate entry " << st.name;
  }
  return parts;
}

std::string Node::Attr(const std::string& key) const {
  const auto it = attrs.find(key);
  return it == attrs.end() ? std::string() : it->second;
}

const Node* Node::Child(const std::string& childName) const {
  for (const auto& c : children) {
    if (c->name == childName) return c.get();
  }
  return nullptr;
}

std::vector<const Node*> Node::All(const std::string& descendantName) const {
  std::vector<const Node*> found;
  std::function<void(const Node&)> walk = [&](const Node& n) {
    if (n.name == descendantName) found.push_back(&n);
    for (const auto& c : n.children) walk(*c);
  };
  walk(*this);
  return found;
}

std::unique_ptr<Node> ParseXml(const std::string& text) {
  std::unique_ptr<XML_ParserStruct, ParserFree> parser(XML_ParserCreate("UTF-8"));
  Builder b;
  XML_SetUserData(parser.get(), &b);
  XML_SetElementHandler(parser.get(), OnStart, OnEnd);
  XML_SetCharacterDataHandler(parser.get(), OnText);
  if (XML_Parse(parser.get(), text.data(), static_cast<int>(text.size()), 1) != XML_STATUS_OK) return nullptr;
  return std::move(b.root);
}

TempDir::TempDir() {
  std::random_device rd;
  path_ = std::filesystem::temp_directory_path() / ("quorvane-bench-" + std::to_string(rd()));
  std::filesystem::create_directories(path_);
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string ReadFile(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace quorvane::bench::test
