#include "win32/DirectoryListing.h"

#include <windows.h>

#include <utility>

#include "win32/Error.h"
#include "win32/Resource.h"
#include "win32/Strings.h"

namespace quorvane::win32 {

filelist::FileAttributes ToFileAttributes(unsigned long attributes) {
  filelist::FileAttributes out;
  out.directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  out.hidden = (attributes & FILE_ATTRIBUTE_HIDDEN) != 0;
  out.system = (attributes & FILE_ATTRIBUTE_SYSTEM) != 0;
  out.link = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  return out;
}

namespace {

class FindScan final : public filelist::DirectoryScan {
 public:
  FindScan(UniqueFind find, const WIN32_FIND_DATAW& first) : find_(std::move(find)), data_(first), pending_(true) {}

  std::optional<filelist::DirectoryEntry> Next() override {
    if (!find_) return std::nullopt;
    if (!pending_) {
      if (!::FindNextFileW(find_.get(), &data_)) {
        const DWORD error = ::GetLastError();
        find_.reset();
        if (error == ERROR_NO_MORE_FILES) return std::nullopt;
        ThrowWin32(error, "folder listing");
      }
    }
    pending_ = false;
    filelist::DirectoryEntry entry;
    entry.name = Narrow(data_.cFileName);
    entry.attributes = ToFileAttributes(data_.dwFileAttributes);
    return entry;
  }

 private:
  UniqueFind find_;
  WIN32_FIND_DATAW data_;
  bool pending_;
};

}  // namespace

std::unique_ptr<filelist::DirectoryScan> Win32DirectoryListing::Open(const std::string& folder) {
  const std::wstring pattern = Widen(Join(folder, "*"));
  WIN32_FIND_DATAW data{};
  UniqueFind find(::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr,
                                     FIND_FIRST_EX_LARGE_FETCH));
  if (!find) {
    const DWORD error = ::GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_NO_MORE_FILES)
      return std::make_unique<FindScan>(UniqueFind(), data);
    ThrowWin32(error, "list " + folder);
  }
  return std::make_unique<FindScan>(std::move(find), data);
}

}  // namespace quorvane::win32
