#include "ooxml/WorkbookPart.h"

#include <algorithm>
#include <cstdlib>

#include "ooxml/Ascii.h"
#include "ooxml/Package.h"

namespace quorvane::ooxml::detail {
namespace {

constexpr std::string_view kRelNs = "http://schemas.openxmlformats.org/officeDocument/2006/relationships";
constexpr std::string_view kStrictPrefix = "http://purl.oclc.org/ooxml/";

class WorkbookReader : public xml::Handler {
 public:
  WorkbookPart part;
  bool strict = false;

  void Start(const xml::StartTag& tag) override {
    if (depth_++ == 0 && tag.uri.substr(0, kStrictPrefix.size()) == kStrictPrefix) strict = true;
    if (tag.local == "sheet") {
      const char* name = tag.Attr("name");
      const char* id = tag.Attr("id", kRelNs);
      part.sheetNames.emplace_back(name ? name : "");
      part.sheetRelIds.emplace_back(id ? id : "");
    } else if (tag.local == "definedName") {
      WorkbookPart::Name n;
      const char* name = tag.Attr("name");
      const char* local = tag.Attr("localSheetId");
      n.entry.name = name ? name : "";
      n.entry.key = Lower(n.entry.name);
      n.entry.localSheet = local ? std::atoi(local) : -1;
      n.content = {tag.tag.end, tag.tag.end};
      part.names.push_back(std::move(n));
      inName_ = !tag.empty;
      text_.clear();
    } else if (tag.local == "externalReferences") {
      part.referencesElement.begin = tag.tag.begin;
    } else if (tag.local == "externalReference") {
      const char* id = tag.Attr("id", kRelNs);
      part.references.push_back({id ? id : "", {tag.tag.begin, tag.tag.end}});
    }
  }
  void End(const xml::EndTag& tag) override {
    --depth_;
    if (tag.local == "definedName" && inName_) {
      inName_ = false;
      part.names.back().content.end = std::max(part.names.back().content.begin, tag.tag.begin);
      part.names.back().entry.text = text_;
    } else if (tag.local == "externalReferences") {
      part.referencesElement.end = tag.tag.end;
    } else if (tag.local == "externalReference") {
      part.references.back().element.end = tag.tag.end;
    }
  }
  void Text(std::string_view t) override {
    if (inName_) text_.append(t);
  }

 private:
  int depth_ = 0;
  bool inName_ = false;
  std::string text_;
};

}  // namespace

WorkbookPart ReadWorkbookPart(std::string_view xml, std::string_view partName) {
  WorkbookReader reader;
  xml::Parse(xml, partName, reader);
  if (reader.strict) throw PackageError("strict Open XML is not supported");
  return std::move(reader.part);
}

}  // namespace quorvane::ooxml::detail
