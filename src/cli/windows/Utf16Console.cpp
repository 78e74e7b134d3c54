#include "cli/windows/Utf16Console.h"

#include <algorithm>
#include <iostream>
#include <limits>

namespace quorvane::cli {
namespace {

// Above this the text is passed on without waiting for a flush.
constexpr std::size_t kChunk = 16 * 1024;

// How many bytes at the end of `text` start a UTF-8 sequence that is not
// complete yet (0 when the text ends on a boundary).
std::size_t IncompleteTail(const std::string& text) {
  const std::size_t size = text.size();
  for (std::size_t back = 1; back <= 3 && back <= size; ++back) {
    const auto byte = static_cast<unsigned char>(text[size - back]);
    if ((byte & 0xC0) == 0x80) continue;  // continuation byte: look further back
    std::size_t length = 1;  // also for bytes that never start a sequence
    if (byte >= 0xF8) length = 1;
    else if (byte >= 0xF0) length = 4;
    else if (byte >= 0xE0) length = 3;
    else if (byte >= 0xC0) length = 2;
    return length > back ? back : 0;
  }
  return 0;
}

void WriteConsoleText(HANDLE console, std::wstring_view text) {
  while (!text.empty()) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(text.size(), 8192));
    DWORD written = 0;
    if (!::WriteConsoleW(console, text.data(), chunk, &written, nullptr) || written == 0) return;
    text.remove_prefix(written);
  }
}

}  // namespace

Utf16Buffer::~Utf16Buffer() { Emit(true); }

Utf16Buffer::int_type Utf16Buffer::overflow(int_type ch) {
  if (traits_type::eq_int_type(ch, traits_type::eof())) return traits_type::not_eof(ch);
  pending_.push_back(traits_type::to_char_type(ch));
  if (pending_.size() >= kChunk) Emit(false);
  return ch;
}

std::streamsize Utf16Buffer::xsputn(const char* text, std::streamsize count) {
  pending_.append(text, static_cast<std::size_t>(count));
  if (pending_.size() >= kChunk) Emit(false);
  return count;
}

int Utf16Buffer::sync() {
  Emit(false);
  return 0;
}

void Utf16Buffer::Emit(bool all) {
  const std::size_t keep = all ? 0 : IncompleteTail(pending_);
  const std::size_t length = pending_.size() - keep;
  if (length == 0) return;
  if (length > static_cast<std::size_t>(std::numeric_limits<int>::max())) return;  // never buffered that much
  const int bytes = static_cast<int>(length);
  const int wide = ::MultiByteToWideChar(CP_UTF8, 0, pending_.data(), bytes, nullptr, 0);
  std::wstring text(static_cast<std::size_t>(wide), L'\0');
  if (wide > 0) ::MultiByteToWideChar(CP_UTF8, 0, pending_.data(), bytes, text.data(), wide);
  pending_.erase(0, length);
  if (sink_) sink_(text);
}

bool IsConsole(HANDLE handle) {
  DWORD mode = 0;
  return handle != nullptr && handle != INVALID_HANDLE_VALUE && ::GetConsoleMode(handle, &mode) != 0;
}

StandardStreams::StandardStreams() : plainOut_(&std::cout), plainErr_(&std::cerr) {
  const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
  if (IsConsole(out)) {
    outBuffer_ = std::make_unique<Utf16Buffer>([out](std::wstring_view text) { WriteConsoleText(out, text); });
    out_ = std::make_unique<std::ostream>(outBuffer_.get());
  }
  const HANDLE err = ::GetStdHandle(STD_ERROR_HANDLE);
  if (IsConsole(err)) {
    errBuffer_ = std::make_unique<Utf16Buffer>([err](std::wstring_view text) { WriteConsoleText(err, text); });
    err_ = std::make_unique<std::ostream>(errBuffer_.get());
    // The bar is wiped with an escape sequence; consoles that cannot take
    // one get plain lines only.
    if (::GetConsoleMode(err, &errMode_) &&
        ::SetConsoleMode(err, errMode_ | ENABLE_PROCESSED_OUTPUT | ENABLE_VIRTUAL_TERMINAL_PROCESSING)) {
      errHandle_ = err;
      errProgress_ = true;
    }
  }
}

StandardStreams::~StandardStreams() {
  if (out_) out_->flush();
  if (err_) err_->flush();
  if (errHandle_) ::SetConsoleMode(errHandle_, errMode_);
}

}  // namespace quorvane::cli
