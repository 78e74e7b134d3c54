#include "Floor.h"

#include <zip.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace quorvane::bench {

namespace {

[[noreturn]] void Fail(const std::filesystem::path& file, const std::string& what) {
  throw std::runtime_error(file.string() + ": " + what);
}

struct ZipCloser {
  void operator()(zip_t* z) const { zip_discard(z); }
};
struct ZipFileCloser {
  void operator()(zip_file_t* f) const { zip_fclose(f); }
};
struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

enum class Role { Copy, Read, Rewrite, Drop, ReadMaybeRewrite };

Role RoleOf(std::string_view name) {
  if (name == "[Content_Types].xml" || name == "xl/workbook.xml" || name == "xl/_rels/workbook.xml.rels") {
    return Role::Rewrite;
  }
  if (name.starts_with("xl/externalLinks/")) return Role::Drop;
  const bool xml = name.ends_with(".xml") && name.find("/_rels/") == std::string_view::npos;
  if (xml && name.starts_with("xl/worksheets/")) return Role::ReadMaybeRewrite;
  if (xml && name.starts_with("xl/charts/")) return Role::Read;
  return Role::Copy;
}

struct Meta {
  std::string name;
  std::uint16_t method = 0;
  std::uint16_t dosTime = 0;
  std::uint16_t dosDate = 0;
  std::uint32_t crc = 0;
  std::uint64_t compressedSize = 0;
  std::uint64_t size = 0;
};

void DosTime(std::time_t t, Meta& m) {
  std::tm tm{};
  localtime_r(&t, &tm);
  m.dosTime = static_cast<std::uint16_t>(tm.tm_hour << 11 | tm.tm_min << 5 | tm.tm_sec / 2);
  m.dosDate = static_cast<std::uint16_t>(std::max(tm.tm_year - 80, 0) << 9 | (tm.tm_mon + 1) << 5 | tm.tm_mday);
}

// A plain zip writer: sizes are known before each entry is written, so no
// data descriptors and no seeking.
class ZipOut {
 public:
  explicit ZipOut(const std::filesystem::path& file) : file_(file) {
    out_.reset(std::fopen(file.c_str(), "wb"));
    if (!out_) Fail(file, "cannot create");
    std::setvbuf(out_.get(), nullptr, _IOFBF, 1 << 20);
  }

  void Add(const Meta& m, const char* data, std::size_t n) {
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint32_t>::max();
    if (m.compressedSize > kMax || m.size > kMax || offset_ > kMax || entries_ == 0xffff) {
      Fail(file_, "needs zip64, which this writer leaves out");
    }
    std::string h;
    Put32(h, 0x04034b50);
    Common(h, m);
    Put16(h, 0);  // extra
    h += m.name;
    Write(h.data(), h.size());
    Write(data, n);

    Put32(central_, 0x02014b50);
    Put16(central_, 20);  // made by
    Common(central_, m);
    Put16(central_, 0);  // extra
    Put16(central_, 0);  // comment
    Put16(central_, 0);  // disk
    Put16(central_, 0);  // internal attributes
    Put32(central_, 0);  // external attributes
    Put32(central_, static_cast<std::uint32_t>(offset_));
    central_ += m.name;
    offset_ += h.size() + n;
    ++entries_;
  }

  std::uint64_t Finish() {
    std::string end;
    Put32(end, 0x06054b50);
    Put16(end, 0);
    Put16(end, 0);
    Put16(end, static_cast<std::uint16_t>(entries_));
    Put16(end, static_cast<std::uint16_t>(entries_));
    Put32(end, static_cast<std::uint32_t>(central_.size()));
    Put32(end, static_cast<std::uint32_t>(offset_));
    Put16(end, 0);
    Write(central_.data(), central_.size());
    Write(end.data(), end.size());
    if (std::fclose(out_.release()) != 0) Fail(file_, "cannot finish writing");
    return offset_ + central_.size() + end.size();
  }

 private:
  static void Put16(std::string& s, std::uint16_t v) {
    s += static_cast<char>(v & 0xff);
    s += static_cast<char>(v >> 8);
  }
  static void Put32(std::string& s, std::uint32_t v) {
    Put16(s, static_cast<std::uint16_t>(v & 0xffff));
    Put16(s, static_cast<std::uint16_t>(v >> 16));
  }
  static void Common(std::string& s, const Meta& m) {
    Put16(s, 20);  // version needed
    Put16(s, 0);   // flags
    Put16(s, m.method);
    Put16(s, m.dosTime);
    Put16(s, m.dosDate);
    Put32(s, m.crc);
    Put32(s, static_cast<std::uint32_t>(m.compressedSize));
    Put32(s, static_cast<std::uint32_t>(m.size));
    Put16(s, static_cast<std::uint16_t>(m.name.size()));
  }
  void Write(const char* data, std::size_t n) {
    if (n > 0 && std::fwrite(data, 1, n, out_.get()) != n) Fail(file_, "cannot write");
  }

  std::filesystem::path file_;
  std::unique_ptr<std::FILE, FileCloser> out_;
  std::string central_;
  std::uint64_t offset_ = 0;
  std::uint32_t entries_ = 0;
};

std::uint32_t Crc(const std::string& data) {
  uLong crc = crc32(0L, Z_NULL, 0);
  const char* p = data.data();
  for (std::size_t left = data.size(); left > 0;) {
    const auto n = static_cast<uInt>(std::min<std::size_t>(left, 1u << 30));
    crc = crc32(crc, reinterpret_cast<const Bytef*>(p), n);
    p += n;
    left -= n;
  }
  return static_cast<std::uint32_t>(crc);
}

std::string Inflate(const std::filesystem::path& file, const Meta& m, const std::string& raw) {
  if (m.method == ZIP_CM_STORE) return raw;
  if (m.method != ZIP_CM_DEFLATE) Fail(file, m.name + " uses an unsupported compression method");
  // One spare byte tells a part longer than declared from an exact one.
  std::string out(m.size + 1, '\0');
  z_stream z{};
  if (inflateInit2(&z, -MAX_WBITS) != Z_OK) Fail(file, "zlib cannot start inflating");
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(raw.data()));
  z.avail_in = static_cast<uInt>(raw.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  const int rc = inflate(&z, Z_FINISH);
  const auto produced = z.total_out;
  inflateEnd(&z);
  if (rc != Z_STREAM_END || produced != m.size) Fail(file, m.name + " does not inflate to its declared size");
  out.resize(m.size);
  if (Crc(out) != m.crc) Fail(file, m.name + " fails its CRC check");
  return out;
}

std::string Deflate(const std::string& data, int level) {
  z_stream z{};
  if (deflateInit2(&z, level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    throw std::runtime_error("zlib cannot start deflating");
  }
  std::string out(deflateBound(&z, static_cast<uLong>(data.size())), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  const int rc = deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  if (rc != Z_STREAM_END) throw std::runtime_error("zlib failed to deflate");
  return out;
}

}  // namespace

FloorStats& FloorStats::operator+=(const FloorStats& o) {
  files += o.files;
  partsRead += o.partsRead;
  partsRewritten += o.partsRewritten;
  partsCopied += o.partsCopied;
  partsDropped += o.partsDropped;
  inflatedBytes += o.inflatedBytes;
  deflatedBytes += o.deflatedBytes;
  largestPartBytes = std::max(largestPartBytes, o.largestPartBytes);
  outputBytes += o.outputBytes;
  return *this;
}

bool MentionsOtherWorkbook(std::string_view xml) {
  for (std::size_t i = xml.find('['); i != std::string_view::npos; i = xml.find('[', i + 1)) {
    if (i + 1 < xml.size() && xml[i + 1] >= '1' && xml[i + 1] <= '9') return true;
  }
  return false;
}

FloorStats RunFloor(const std::filesystem::path& in, const std::filesystem::path& out, int level) {
  int err = 0;
  std::unique_ptr<zip_t, ZipCloser> archive(zip_open(in.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &err));
  if (!archive) {
    zip_error_t e;
    zip_error_init_with_code(&e, err);
    const std::string msg = zip_error_strerror(&e);
    zip_error_fini(&e);
    Fail(in, "cannot open: " + msg);
  }
  FloorStats st;
  st.files = 1;
  ZipOut writer(out);
  const zip_int64_t count = zip_get_num_entries(archive.get(), 0);
  std::string raw;
  for (zip_int64_t i = 0; i < count; ++i) {
    const auto index = static_cast<zip_uint64_t>(i);
    zip_stat_t zs;
    if (zip_stat_index(archive.get(), index, 0, &zs) != 0) Fail(in, zip_strerror(archive.get()));
    Meta m;
    m.name = zs.name;
    m.method = static_cast<std::uint16_t>(zs.comp_method);
    m.crc = zs.crc;
    m.compressedSize = zs.comp_size;
    m.size = zs.size;
    DosTime(zs.mtime, m);

    raw.resize(zs.comp_size);
    {
      std::unique_ptr<zip_file_t, ZipFileCloser> f(zip_fopen_index(archive.get(), index, ZIP_FL_COMPRESSED));
      if (!f) Fail(in, "cannot read " + m.name + ": " + zip_strerror(archive.get()));
      if (zip_fread(f.get(), raw.data(), raw.size()) != static_cast<zip_int64_t>(raw.size())) {
        Fail(in, "cannot read " + m.name);
      }
    }

    Role role = RoleOf(m.name);
    if (role == Role::Copy) {
      writer.Add(m, raw.data(), raw.size());
      ++st.partsCopied;
      continue;
    }
    const std::string text = Inflate(in, m, raw);
    ++st.partsRead;
    st.inflatedBytes += text.size();
    st.largestPartBytes = std::max<std::uint64_t>(st.largestPartBytes, text.size());
    if (role == Role::ReadMaybeRewrite) role = MentionsOtherWorkbook(text) ? Role::Rewrite : Role::Read;
    switch (role) {
      case Role::Drop:
        ++st.partsDropped;
        break;
      case Role::Read:
        writer.Add(m, raw.data(), raw.size());
        ++st.partsCopied;
        break;
      default: {
        const std::string packed = Deflate(text, level);
        m.method = ZIP_CM_DEFLATE;
        m.crc = Crc(text);
        m.compressedSize = packed.size();
        writer.Add(m, packed.data(), packed.size());
        ++st.partsRewritten;
        st.deflatedBytes += text.size();
        break;
      }
    }
  }
  st.outputBytes = writer.Finish();
  return st;
}

}  // namespace quorvane::bench
