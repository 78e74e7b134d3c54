#pragma once
// The system's file-open dialog behind the core's OpenFileDialog.

#include <windows.h>
// winbase.h defines Yield() away; the core's MessagePump has a member of that name.
#undef Yield

#include <string>

#include "filelist/AddFiles.h"

namespace quorvane::win32 {

class Win32OpenDialog final : public filelist::OpenFileDialog {
 public:
  // owner: the window the dialog is modal to; read at every showing, since
  // the dialog can be made before the window exists.
  explicit Win32OpenDialog(const HWND& owner) : owner_(owner) {}

  void SetFileName(const std::string& fileName) override { fileName_ = fileName; }
  void SetFlags(long flags) override { flags_ = flags; }
  void SetDialogTitle(const std::string& title) override { title_ = title; }
  void SetFilter(const std::string& filter) override { filter_ = filter; }
  ShowResult ShowOpen() override;
  std::string FileName() const override { return fileName_; }

 private:
  const HWND& owner_;
  std::string fileName_;
  long flags_ = 0;
  std::string title_;
  std::string filter_;
};

// "Desc|*.x|" -> "Desc\0*.x\0\0", the form lpstrFilter takes.
std::wstring DialogFilter(const std::wstring& barSeparated);
// The buffer the dialog filled -> the result text: one path, or the folder
// and the names with one NUL between them (the closing double NUL dropped).
std::wstring DialogResult(const wchar_t* buffer, std::size_t size);

}  // namespace quorvane::win32
