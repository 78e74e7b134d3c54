#include "ooxml/ZipCheck.h"

#include <zip.h>

#include <algorithm>
#include <new>
#include <optional>

#include "ooxml/Package.h"

namespace quorvane::ooxml::zip {
namespace {

struct LibzipSource {
  const Input* in = nullptr;
  std::optional<WindowReader> window;  // libzip reads each header on its own
  std::uint64_t pos = 0;
  zip_error_t error{};
};

zip_int64_t LibzipCallback(void* state, void* data, zip_uint64_t len, zip_source_cmd_t cmd) {
  auto* s = static_cast<LibzipSource*>(state);
  switch (cmd) {
    case ZIP_SOURCE_OPEN:
      s->pos = 0;
      return 0;
    case ZIP_SOURCE_READ: {
      const std::uint64_t n = std::min<std::uint64_t>(len, s->in->Size() - std::min(s->pos, s->in->Size()));
      try {
        s->window->ReadAt(s->pos, data, static_cast<std::size_t>(n));
      } catch (...) {
        zip_error_set(&s->error, ZIP_ER_READ, 0);
        return -1;
      }
      s->pos += n;
      return static_cast<zip_int64_t>(n);
    }
    case ZIP_SOURCE_CLOSE:
    case ZIP_SOURCE_FREE:
      return 0;
    case ZIP_SOURCE_STAT: {
      auto* st = static_cast<zip_stat_t*>(data);
      zip_stat_init(st);
      st->size = s->in->Size();
      st->valid |= ZIP_STAT_SIZE;
      return sizeof(*st);
    }
    case ZIP_SOURCE_ERROR:
      return zip_error_to_data(&s->error, data, len);
    case ZIP_SOURCE_SEEK: {
      const zip_int64_t to = zip_source_seek_compute_offset(s->pos, s->in->Size(), data, len, &s->error);
      if (to < 0) return -1;
      s->pos = static_cast<std::uint64_t>(to);
      return 0;
    }
    case ZIP_SOURCE_TELL:
      return static_cast<zip_int64_t>(s->pos);
    case ZIP_SOURCE_SUPPORTS:
      return zip_source_make_command_bitmap(ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE,
                                            ZIP_SOURCE_STAT, ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE,
                                            ZIP_SOURCE_SEEK, ZIP_SOURCE_TELL, ZIP_SOURCE_SUPPORTS, -1);
    default:
      zip_error_set(&s->error, ZIP_ER_OPNOTSUPP, 0);
      return -1;
  }
}

}  // namespace

void CheckWithLibzip(const Input& in) {
  LibzipSource state;
  state.in = &in;
  state.window.emplace(in);
  zip_error_init(&state.error);
  zip_error_t error;
  zip_error_init(&error);
  zip_source_t* source = zip_source_function_create(LibzipCallback, &state, &error);
  if (!source) throw std::bad_alloc();
  zip_t* archive = zip_open_from_source(source, ZIP_RDONLY | ZIP_CHECKCONS, &error);
  if (!archive) {
    zip_source_free(source);
    const std::string why = zip_error_strerror(&error);
    zip_error_fini(&error);
    zip_error_fini(&state.error);
    throw PackageError("damaged zip package: " + why);
  }
  zip_discard(archive);
  zip_error_fini(&error);
  zip_error_fini(&state.error);
}

}  // namespace quorvane::ooxml::zip
