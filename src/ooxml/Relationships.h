#pragma once
// How the parts of a package name each other: relationship parts (*.rels)
// and the part names their targets resolve to.

#include <string>
#include <string_view>
#include <vector>

#include "ooxml/Xml.h"

namespace quorvane::ooxml {

// Parts name their relationships (r:id and the like) in one of two
// namespaces: transitional, or ISO/IEC 29500 Strict.
inline constexpr std::string_view kRelationshipsNs = "http://schemas.openxmlformats.org/officeDocument/2006/relationships";
inline constexpr std::string_view kStrictRelationshipsNs = "http://purl.oclc.org/ooxml/officeDocument/relationships";
// The tag's r:id in either namespace, nullptr when it has none.
const char* RelationshipId(const xml::StartTag& tag);

// Relationship parts (*.rels).
struct Relationship {
  std::string id;
  std::string type;
  std::string target;
  bool external = false;
};
// Throws PackageError "malformed XML in <partName>"; DOCTYPEs are refused.
std::vector<Relationship> ParseRelationships(std::string_view xml);
std::vector<Relationship> ParseRelationships(std::string_view xml, std::string_view partName);
// Resolves an internal target against the folder of the part owning the rels.
std::string ResolvePartName(std::string_view sourcePart, std::string_view target);
// The last segment of a relationship type: ".../relationships/worksheet" ->
// "worksheet", whichever namespace it comes from.
std::string RelType(std::string_view type);
// "xl/workbook.xml" -> "xl/_rels/workbook.xml.rels"
std::string RelsPartFor(std::string_view part);

// A part name as the package keeps it: without a leading "/".
std::string_view StripSlash(std::string_view name);

}  // namespace quorvane::ooxml
