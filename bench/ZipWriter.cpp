#include "ZipWriter.h"

#include <zip.h>

#include <cstring>
#include <optional>
#include <stdexcept>

namespace quorvane::bench {

struct ZipWriter::Source {
  PartFactory factory;
  std::unique_ptr<PartStream> stream;
  std::string chunk;
  std::size_t pos = 0;
  bool done = false;
  std::optional<std::uint64_t> size;
  zip_error_t error{};
  std::string failure;
};

namespace {

// libzip adds a zip64 extra field to the local header of an entry of unknown
// size, which some readers refuse; one counting pass tells it the size.
std::uint64_t MeasuredSize(ZipWriter::Source& s) {
  if (!s.size) {
    auto stream = s.factory();
    std::string chunk;
    std::uint64_t total = 0;
    for (bool more = true; more;) {
      chunk.clear();
      more = stream->Next(chunk);
      total += chunk.size();
    }
    s.size = total;
  }
  return *s.size;
}

zip_int64_t SourceCallback(void* userdata, void* data, zip_uint64_t len, zip_source_cmd_t cmd) {
  auto& s = *static_cast<ZipWriter::Source*>(userdata);
  // An exception must not unwind through libzip's C frames.
  try {
    switch (cmd) {
      case ZIP_SOURCE_OPEN:
        s.stream = s.factory();
        s.chunk.clear();
        s.pos = 0;
        s.done = false;
        return 0;
      case ZIP_SOURCE_READ: {
        std::size_t written = 0;
        auto* out = static_cast<char*>(data);
        while (written < len) {
          if (s.pos == s.chunk.size()) {
            if (s.done) break;
            s.chunk.clear();
            s.pos = 0;
            s.done = !s.stream->Next(s.chunk);
            continue;
          }
          const std::size_t n = std::min<std::size_t>(len - written, s.chunk.size() - s.pos);
          std::memcpy(out + written, s.chunk.data() + s.pos, n);
          s.pos += n;
          written += n;
        }
        return static_cast<zip_int64_t>(written);
      }
      case ZIP_SOURCE_CLOSE:
        s.stream.reset();
        std::string().swap(s.chunk);
        return 0;
      case ZIP_SOURCE_STAT: {
        auto* st = ZIP_SOURCE_GET_ARGS(zip_stat_t, data, len, &s.error);
        if (st == nullptr) return -1;
        zip_stat_init(st);
        st->size = MeasuredSize(s);
        st->valid |= ZIP_STAT_SIZE;
        st->mtime = FixedEntryTime();
        st->valid |= ZIP_STAT_MTIME;
        return sizeof(zip_stat_t);
      }
      case ZIP_SOURCE_ERROR:
        return zip_error_to_data(&s.error, data, len);
      case ZIP_SOURCE_FREE:
        return 0;
      case ZIP_SOURCE_SUPPORTS:
        return ZIP_SOURCE_SUPPORTS_READABLE;
      default:
        zip_error_set(&s.error, ZIP_ER_OPNOTSUPP, 0);
        return -1;
    }
  } catch (const std::exception& e) {
    s.failure = e.what();
  } catch (...) {
    s.failure = "unknown error while producing a part";
  }
  zip_error_set(&s.error, ZIP_ER_INTERNAL, 0);
  return -1;
}

[[noreturn]] void Fail(const std::filesystem::path& file, const std::string& what) {
  throw std::runtime_error(file.string() + ": " + what);
}

}  // namespace

std::time_t FixedEntryTime() {
  // 2024-01-02 12:00 local time; DOS times are local, so build it locally.
  std::tm t{};
  t.tm_year = 124;
  t.tm_mon = 0;
  t.tm_mday = 2;
  t.tm_hour = 12;
  t.tm_isdst = -1;
  return std::mktime(&t);
}

void ZipWriter::Closer::operator()(zip* z) const { zip_discard(z); }

ZipWriter::ZipWriter(const std::filesystem::path& file, int level) : file_(file), level_(level) {
  int err = 0;
  zip_t* z = zip_open(file.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &err);
  if (z == nullptr) {
    zip_error_t e;
    zip_error_init_with_code(&e, err);
    std::string msg = zip_error_strerror(&e);
    zip_error_fini(&e);
    Fail(file, "cannot create: " + msg);
  }
  zip_.reset(z);
}

ZipWriter::~ZipWriter() {
  zip_.reset();
  for (auto& s : sources_) zip_error_fini(&s->error);
}

void ZipWriter::AddSource(const std::string& name, void* source) {
  auto* src = static_cast<zip_source_t*>(source);
  const zip_int64_t index = zip_file_add(zip_.get(), name.c_str(), src, ZIP_FL_ENC_UTF_8);
  if (index < 0) {
    zip_source_free(src);
    Fail(file_, "cannot add " + name + ": " + zip_strerror(zip_.get()));
  }
  const auto i = static_cast<zip_uint64_t>(index);
  if (zip_set_file_compression(zip_.get(), i, ZIP_CM_DEFLATE, static_cast<zip_uint32_t>(level_)) != 0 ||
      zip_file_set_mtime(zip_.get(), i, FixedEntryTime(), 0) != 0) {
    Fail(file_, "cannot set up " + name + ": " + zip_strerror(zip_.get()));
  }
}

void ZipWriter::Add(const std::string& name, std::string content) {
  const std::string& kept = buffers_.emplace_back(std::move(content));
  zip_source_t* src = zip_source_buffer(zip_.get(), kept.data(), kept.size(), 0);
  if (src == nullptr) Fail(file_, "cannot add " + name + ": " + zip_strerror(zip_.get()));
  AddSource(name, src);
}

void ZipWriter::AddStream(const std::string& name, PartFactory factory) {
  auto& s = *sources_.emplace_back(std::make_unique<Source>());
  s.factory = std::move(factory);
  zip_error_init(&s.error);
  zip_source_t* src = zip_source_function(zip_.get(), SourceCallback, &s);
  if (src == nullptr) Fail(file_, "cannot add " + name + ": " + zip_strerror(zip_.get()));
  AddSource(name, src);
}

void ZipWriter::Close() {
  if (zip_close(zip_.get()) != 0) {
    std::string reason = zip_strerror(zip_.get());
    for (const auto& s : sources_) {
      if (!s->failure.empty()) reason = s->failure;
    }
    Fail(file_, "cannot write: " + reason);
  }
  (void)zip_.release();  // zip_close freed it
}

}  // namespace quorvane::bench
