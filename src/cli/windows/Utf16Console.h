#pragma once
// Standard output and error on Windows. A console gets UTF-16 through
// WriteConsoleW, so any file name shows whatever the console's code page;
// a pipe or file gets the UTF-8 bytes as they are.

#include <windows.h>

#include <functional>
#include <memory>
#include <ostream>
#include <streambuf>
#include <string>
#include <string_view>

namespace quorvane::cli {

// Collects UTF-8 text and hands it on as UTF-16 on every flush. A sequence
// cut by a flush is held back until its remaining bytes arrive; bytes that
// are not UTF-8 become U+FFFD.
class Utf16Buffer final : public std::streambuf {
 public:
  using Sink = std::function<void(std::wstring_view)>;
  explicit Utf16Buffer(Sink sink) : sink_(std::move(sink)) {}
  ~Utf16Buffer() override;

 protected:
  int_type overflow(int_type ch) override;
  std::streamsize xsputn(const char* text, std::streamsize count) override;
  int sync() override;

 private:
  void Emit(bool all);

  Sink sink_;
  std::string pending_;
};

// True when the handle is a console (not redirected).
bool IsConsole(HANDLE handle);

class StandardStreams {
 public:
  StandardStreams();
  ~StandardStreams();
  StandardStreams(const StandardStreams&) = delete;
  StandardStreams& operator=(const StandardStreams&) = delete;

  std::ostream& Out() { return out_ ? *out_ : *plainOut_; }
  std::ostream& Err() { return err_ ? *err_ : *plainErr_; }
  // Standard error is a console that understands cursor control, so a
  // progress bar can be drawn and wiped.
  bool ErrCanShowProgress() const { return errProgress_; }

 private:
  std::unique_ptr<Utf16Buffer> outBuffer_, errBuffer_;
  std::unique_ptr<std::ostream> out_, err_;
  std::ostream* plainOut_;
  std::ostream* plainErr_;
  bool errProgress_ = false;
  HANDLE errHandle_ = nullptr;
  DWORD errMode_ = 0;  // restored at the end
};

}  // namespace quorvane::cli
