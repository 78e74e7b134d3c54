#include "ooxml/Relationships.h"

#include <algorithm>

#include "ooxml/Ascii.h"
#include "ooxml/Package.h"
#include "ooxml/Xml.h"

namespace quorvane::ooxml {
namespace {

constexpr std::string_view kPackageRels = "_rels/.rels";

class RelationshipsReader : public xml::Handler {
 public:
  std::vector<Relationship> rels;
  void Start(const xml::StartTag& tag) override {
    if (++depth_ != 2 || tag.local != "Relationship") return;
    Relationship r;
    r.id = tag.Value("Id");
    r.type = tag.Value("Type");
    r.target = tag.Value("Target");
    r.external = Lower(tag.Value("TargetMode")) == "external";
    rels.push_back(std::move(r));
  }
  void End(const xml::EndTag&) override { --depth_; }

 private:
  int depth_ = 0;
};

}  // namespace

const char* RelationshipId(const xml::StartTag& tag) {
  const char* id = tag.Attr("id", kRelationshipsNs);
  return id ? id : tag.Attr("id", kStrictRelationshipsNs);
}

std::string_view StripSlash(std::string_view name) {
  if (!name.empty() && name.front() == '/') name.remove_prefix(1);
  return name;
}

std::vector<Relationship> ParseRelationships(std::string_view xml, std::string_view partName) {
  RelationshipsReader reader;
  xml::Parse(xml, partName, reader, xml::PartRole::Structure);
  return std::move(reader.rels);
}

std::vector<Relationship> ParseRelationships(std::string_view xml) {
  return ParseRelationships(xml, "a relationships part");
}

std::string ResolvePartName(std::string_view sourcePart, std::string_view target) {
  std::string t(target);
  std::replace(t.begin(), t.end(), '\\', '/');
  std::string joined;
  if (!t.empty() && t.front() == '/') {
    joined = t;
  } else {
    const std::string_view source = StripSlash(sourcePart);
    const auto slash = source.rfind('/');
    if (slash != std::string_view::npos) joined.assign(source.substr(0, slash + 1));
    joined += t;
  }
  std::vector<std::string_view> segments;
  const std::string_view all(joined);
  std::size_t start = 0;
  while (start <= all.size()) {
    std::size_t slash = all.find('/', start);
    if (slash == std::string_view::npos) slash = all.size();
    const std::string_view seg = all.substr(start, slash - start);
    if (seg == "..") {
      if (!segments.empty()) segments.pop_back();
    } else if (!seg.empty() && seg != ".") {
      segments.push_back(seg);
    }
    start = slash + 1;
  }
  std::string out;
  for (const auto seg : segments) {
    if (!out.empty()) out += '/';
    out += seg;
  }
  return out;
}

std::string RelType(std::string_view type) {
  auto slash = type.rfind('/');
  return std::string(slash == std::string_view::npos ? type : type.substr(slash + 1));
}

std::string RelsPartFor(std::string_view part) {
  const std::string_view p = StripSlash(part);
  if (p.empty()) return std::string(kPackageRels);
  const auto slash = p.rfind('/');
  const std::string_view folder = slash == std::string_view::npos ? std::string_view{} : p.substr(0, slash + 1);
  const std::string_view file = slash == std::string_view::npos ? p : p.substr(slash + 1);
  return std::string(folder) + "_rels/" + std::string(file) + ".rels";
}

}  // namespace quorvane::ooxml
