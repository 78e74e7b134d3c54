#pragma once
// "Add All Excel File(s) In Folder": the folder picker, the walk over every
// folder below the chosen one, and the workbooks found in each.

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/Controls.h"
#include "base/Path.h"
#include "filelist/FileList.h"

namespace quorvane::filelist {

inline constexpr const char* kFolderPrompt = "Please select folder to add:";
inline constexpr const char* kWorkbookPattern = "*.xl*";

class FolderPicker {
 public:
  virtual ~FolderPicker() = default;
  // The chosen folder's path; empty when the user cancelled, chose something
  // without a file-system path, or the picker could not be shown.
  virtual std::string BrowseForFolder(const std::string& prompt) = 0;
};

struct FileAttributes {
  bool directory = false;  // also for a link to a folder
  bool hidden = false;
  bool system = false;
  bool link = false;  // symbolic link or junction: it may lead back into an ancestor
};

struct DirectoryEntry {
  std::string name;
  std::optional<FileAttributes> attributes;  // empty when they could not be read
};

// One folder's entries, in the order the file system yields them.
class DirectoryScan {
 public:
  virtual ~DirectoryScan() = default;
  // The next entry, or nothing at the end. Throws std::exception when the
  // listing breaks off.
  virtual std::optional<DirectoryEntry> Next() = 0;
};

class DirectoryListing {
 public:
  virtual ~DirectoryListing() = default;
  // Throws std::exception when the folder cannot be listed.
  virtual std::unique_ptr<DirectoryScan> Open(const std::string& folder) = 0;
  // How this file system puts a folder and a name together.
  virtual std::string Join(std::string_view folder, std::string_view name) const {
    return base::JoinPath(folder, name);
  }
};

class MessagePump {
 public:
  virtual ~MessagePump() = default;
  // Lets waiting window messages run; false once the program is ending.
  virtual bool Yield() = 0;
};

// Wildcard match, "*" for any run and "?" for one character, ignoring the
// case of ASCII letters.
bool MatchesPattern(std::string_view name, std::string_view pattern);

// The names of the files in one folder that match the pattern, hidden and
// system files included, in listing order. An unlistable folder gives none.
std::vector<std::string> ListFiles(DirectoryListing& listing, const std::string& folder,
                                   std::string_view pattern);

// Appends to `folders` every folder below those already in it, level by
// level: all children of the first level grouped by parent, then theirs, and
// so on (only one level unless `recurse`). Hidden, system and linked folders
// are not entered; folders that cannot be listed are passed over. Returns
// false when the pump reports that the program is ending; the walk then
// stops at once.
bool AddSubFolders(DirectoryListing& listing, MessagePump& pump, std::vector<std::string>& folders,
                   bool recurse);

// Every workbook in folder and below it: the folders level by level as
// AddSubFolders gives them, in each the files matching kWorkbookPattern
// except names beginning with "~" (the lock files of open workbooks) and
// the backups this tool wrote (base::IsBackupName).
// Nothing when the pump reports that the program is ending.
std::optional<std::vector<std::string>> FindWorkbooks(DirectoryListing& listing, MessagePump& pump,
                                                      const std::string& folder);

// Asks for a folder and appends every workbook FindWorkbooks finds there.
// The window pointer shows the hourglass while it works; a cancelled picker
// changes nothing.
void AddFolder(FolderPicker& picker, DirectoryListing& listing, MessagePump& pump, FileList& list,
               base::Property<int>& windowPointer);

}  // namespace quorvane::filelist
