#include "ooxml/Verifier.h"

#include <algorithm>
#include <set>

#include "ooxml/Ascii.h"
#include "ooxml/Formula.h"
#include "ooxml/Package.h"
#include "ooxml/Relationships.h"
#include "ooxml/VmlRewrite.h"
#include "ooxml/Xml.h"

namespace quorvane::ooxml {
namespace {


bool IsFormulaElement(std::string_view local) {
  // Asked for every element: the common c, v, row, ... are turned away cheaply.
  if (local.empty()) return false;
  switch (local[0]) {
    case 'f': case 'd': case 'c': case 't': case 'F': case 'n': case 's': break;
    default: return false;
  }
  if (local.size() == 1) return local[0] == 'f';
  // sqref: references of chart series filtered out of view (and cell ranges
  // of rules, which never hold a book).
  static const std::set<std::string_view> kNames = {
      "f",         "nf",        "sqref",     "formula",   "formula1",  "formula2",  "definedName", "calculatedColumnFormula",
      "totalsRowFormula", "FmlaLink", "FmlaRange", "FmlaMacro", "FmlaTxbx",   "FmlaGroup", "FmlaPict"};
  return kNames.count(local) != 0;
}

constexpr std::string_view kFormulaAttributes[] = {"macro",     "textlink",  "fmlaLink", "fmlaRange", "fmlaTxbx",
                                                   "fmlaGroup", "fmlaMacro", "fmlaPict", "link",     "val"};

bool IsFormulaAttribute(const char* name) {
  switch (name[0]) {  // cheap rejection of the common r, s, t, ...
    case 'm': case 't': case 'f': case 'l': case 'v': break;
    default: return false;
  }
  const std::string_view n(name);
  for (auto candidate : kFormulaAttributes)
    if (n == candidate) return true;
  return false;
}

enum class Flavour { None, Transitional, Strict };

// The markup-compatibility and packaging namespaces are the same in both.
Flavour FlavourOf(std::string_view uri) {
  constexpr std::string_view kTransitional = "http://schemas.openxmlformats.org/";
  constexpr std::string_view kStrict = "http://purl.oclc.org/ooxml/";
  if (uri.substr(0, kStrict.size()) == kStrict) return Flavour::Strict;
  if (uri.substr(0, kTransitional.size()) != kTransitional) return Flavour::None;
  const std::string_view rest = uri.substr(kTransitional.size());
  if (rest.substr(0, 8) == "package/" || rest.substr(0, 21) == "markup-compatibility/") return Flavour::None;
  return Flavour::Transitional;
}

class FormulaScan : public xml::Handler {
 public:
  using Use = std::function<void(std::string_view)>;
  FormulaScan(std::string part, std::uint32_t links, const BookNames& books, Use use = {})
      : part_(std::move(part)), links_(links), books_(books), use_(std::move(use)) {}
  std::size_t references = 0;
  std::vector<std::string> referenceIds;

  void Start(const xml::StartTag& tag) override {
    if (tag.uri != lastUri_) CheckNamespace(tag.uri);
    // One pass over the attributes; namespaced ones ("uri local") never match.
    for (const char** a = tag.attrs; a && *a; a += 2) {
      if (!IsFormulaAttribute(*a)) continue;
      Check(a[1]);
    }
    if (tag.local == "externalReference") {
      ++references;
      const char* id = RelationshipId(tag);
      referenceIds.emplace_back(id ? id : "");
    }
    if (IsFormulaElement(tag.local)) {
      collect_ = true;
      text_.clear();
    }
  }
  void End(const xml::EndTag& tag) override {
    if (collect_ && IsFormulaElement(tag.local)) {
      collect_ = false;
      Check(text_);
    }
  }
  void Text(std::string_view t) override {
    if (collect_) text_.append(t);
  }

  // A part is written in the namespaces it came in: a Strict part holds no
  // transitional element, nor the other way round. What the break writes
  // into a part must not mix them.
  void CheckNamespace(std::string_view uri) {
    lastUri_.assign(uri);
    const Flavour flavour = FlavourOf(uri);
    if (flavour == Flavour::None) return;
    if (flavour_ == Flavour::None) flavour_ = flavour;
    if (flavour != flavour_)
      throw PackageError("verification failed: " + part_ + " mixes Strict and transitional namespaces (" +
                         std::string(uri) + ")");
  }

  void Check(std::string_view formula) {
    if (use_) {
      use_(formula);
      return;
    }
    if (formula.find('[') == std::string_view::npos) return;
    if (books_.AnyBroken()) {
      for (const auto& written : formula::FindBookNames(formula))
        if (books_.Broken(written)) throw PackageError("verification failed: " + part_ + " still names " + written);
    }
    for (const auto& ref : formula::FindBookRefs(formula)) {
      if (ref.index > links_)
        throw PackageError("verification failed: " + part_ + " still refers to link [" + std::to_string(ref.index) +
                           "] of " + std::to_string(links_));
    }
  }

 private:
  std::string part_;
  std::uint32_t links_;
  const BookNames& books_;
  Use use_;
  bool collect_ = false;
  std::string text_;
  std::string lastUri_ = "-";  // no namespace is named "-": the first element is always looked at
  Flavour flavour_ = Flavour::None;
};

class Collect : public xml::Handler {
 public:
  Collect(std::string_view element, std::string_view attr) : element_(element), attr_(attr) {}
  std::vector<std::pair<std::string, std::string>> items;  // (Id or PartName, Target)
  void Start(const xml::StartTag& tag) override {
    if (tag.local != element_) return;
    const char* a = tag.Attr(attr_);
    const char* target = tag.Attr("Target");
    const char* mode = tag.Attr("TargetMode");
    if (mode && std::string_view(mode) == "External") target = nullptr;
    items.push_back({a ? a : "", target ? target : ""});
  }

 private:
  std::string element_, attr_;
};

// "xl/worksheets/_rels/sheet1.xml.rels" -> "xl/worksheets/sheet1.xml";
// "_rels/.rels" -> "" (the package itself).
std::string SourceOfRels(std::string_view rels) {
  auto at = rels.rfind("_rels/");
  if (at == std::string_view::npos) return {};
  std::string_view file = rels.substr(at + 6);
  if (file.size() >= 5 && file.substr(file.size() - 5) == ".rels") file.remove_suffix(5);
  return std::string(rels.substr(0, at)) + std::string(file);
}

}  // namespace

namespace {

void Scan(const std::string& part, std::string_view text, FormulaScan& scan) {
  if (part.size() > 4 && Lower(part.substr(part.size() - 4)) == ".vml") {
    for (const auto& f : detail::ScanVmlFormulas(text)) scan.Check(f.text);
    return;
  }
  xml::Parse(text, part, scan);
}

}  // namespace

void VerifyPart(const std::string& part, std::string_view text, std::uint32_t linkCount, const BookNames& books) {
  FormulaScan scan(part, linkCount, books);
  Scan(part, text, scan);
}

void ForEachFormula(const std::string& part, std::string_view text,
                    const std::function<void(std::string_view)>& use) {
  const BookNames none;
  FormulaScan scan(part, 0, none, use);
  Scan(part, text, scan);
}

struct PartVerifier::State {
  FormulaScan scan;
  xml::StreamParser parser;
  State(const std::string& part, std::uint32_t links, const BookNames& books)
      : scan(part, links, books), parser(part, scan) {}
};

PartVerifier::PartVerifier(const std::string& part, std::uint32_t linkCount, const BookNames& books)
    : state_(std::make_unique<State>(part, linkCount, books)) {}

PartVerifier::~PartVerifier() = default;

void PartVerifier::Feed(std::string_view piece, bool last) { state_->parser.Feed(piece, last); }

void Verify(const VerifyInput& in) {
  auto content = [&](const std::string& part) -> std::string {
    auto it = in.edited->find(part);
    return it != in.edited->end() ? it->second : in.read(part);
  };
  std::set<std::string> removed;  // lower case: part names ignore case
  for (const auto& part : in.removedParts) removed.insert(Lower(part));
  for (const auto& part : in.checkedParts)
    if (removed.count(Lower(part))) throw PackageError("verification failed: " + part + " is both edited and removed");
  for (const auto& part : in.namingParts) {
    const bool checked = std::find(in.checkedParts.begin(), in.checkedParts.end(), part) != in.checkedParts.end();
    if (!checked && !in.edited->count(part) && !removed.count(Lower(part)))
      VerifyPart(part, in.read(part), in.linkCount, in.books);
  }
  for (const auto& [part, text] : *in.edited) {
    if (removed.count(Lower(part))) throw PackageError("verification failed: " + part + " is both edited and removed");
    if (part != in.mainPart) {
      VerifyPart(part, text, in.linkCount, in.books);
      continue;
    }
    FormulaScan scan(part, in.linkCount, in.books);
    xml::Parse(text, part, scan);
    if (scan.references != in.linkCount)
      throw PackageError("verification failed: " + std::to_string(scan.references) +
                         " external references left where " + std::to_string(in.linkCount) + " were expected");
  }

  FormulaScan book(in.mainPart, in.linkCount, in.books);
  xml::Parse(content(in.mainPart), in.mainPart, book);
  Collect rels("Relationship", "Id");
  xml::Parse(content(in.relsPart), in.relsPart, rels);
  for (const auto& [id, target] : rels.items) {
    if (target.empty()) continue;
    std::string part = ResolvePartName(in.mainPart, target);
    if (!part.empty() && part[0] == '/') part.erase(0, 1);
    if (removed.count(Lower(part)))
      throw PackageError("verification failed: a relationship of " + in.mainPart + " still points at " + part);
  }
  for (const auto& relsPart : in.otherRelsParts) {
    if (relsPart == in.relsPart || removed.count(Lower(relsPart))) continue;
    Collect items("Relationship", "Id");
    xml::Parse(content(relsPart), relsPart, items);
    const std::string source = SourceOfRels(relsPart);
    for (const auto& [id, target] : items.items) {
      if (target.empty()) continue;
      std::string part = ResolvePartName(source, target);
      if (!part.empty() && part[0] == '/') part.erase(0, 1);
      if (removed.count(Lower(part)))
        throw PackageError("verification failed: a relationship of " + (source.empty() ? "the package" : source) +
                           " still points at " + part);
    }
  }
  for (const auto& id : book.referenceIds) {
    bool found = false;
    for (const auto& item : rels.items) found = found || item.first == id;
    if (!found) throw PackageError("verification failed: external reference " + id + " has no relationship");
  }
  Collect types("Override", "PartName");
  xml::Parse(content("[Content_Types].xml"), "[Content_Types].xml", types);
  for (const auto& [name, unused] : types.items) {
    std::string part = name.empty() || name[0] != '/' ? name : name.substr(1);
    if (removed.count(Lower(part))) throw PackageError("verification failed: content type left for removed " + part);
  }
}

}  // namespace quorvane::ooxml
