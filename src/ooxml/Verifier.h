#pragma once
// The last check before a broken workbook is written: every edited part is
// read again and must be well-formed, every [n] in it must name a link that
// is still there, and nothing may point at a removed part.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "ooxml/BookNames.h"

namespace quorvane::ooxml {

struct VerifyInput {
  std::string mainPart;  // the workbook part
  std::string relsPart;  // its relationships
  std::uint32_t linkCount = 0;  // links left after the break
  std::vector<std::string> removedParts;
  // Every other relationship part: none may point at a removed part either.
  std::vector<std::string> otherRelsParts;
  BookNames books;  // which books named by file were broken
  const std::map<std::string, std::string>* edited = nullptr;  // part -> new content
  std::vector<std::string> checkedParts;  // edited too, already passed VerifyPart
  // Parts whose formulas name books by file: checked too, edited or not, so
  // that a break that missed one fails rather than leaves the book named.
  std::vector<std::string> namingParts;
  std::function<std::string(const std::string&)> read;          // original content
};

// Throws PackageError("verification failed: ...") naming the first problem.
void Verify(const VerifyInput& input);

// The check Verify makes of each edited part other than the workbook part,
// for one part on its own (safe to run on several threads at once).
void VerifyPart(const std::string& part, std::string_view text, std::uint32_t linkCount, const BookNames& books);

// Calls `use` with the text of every formula of a part, from every place the
// check above reads.
void ForEachFormula(const std::string& part, std::string_view text,
                    const std::function<void(std::string_view)>& use);

// VerifyPart for an XML part whose new text arrives in pieces; Feed throws
// as VerifyPart would, at the latest with the last piece.
class PartVerifier {
 public:
  PartVerifier(const std::string& part, std::uint32_t linkCount, const BookNames& books);
  ~PartVerifier();
  PartVerifier(const PartVerifier&) = delete;
  PartVerifier& operator=(const PartVerifier&) = delete;
  void Feed(std::string_view piece, bool last);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace quorvane::ooxml
