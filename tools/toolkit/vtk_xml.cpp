#include "toolkit/vtk_xml.hpp"

#include <zlib.h>

#include <bit>
#include <charconv>
#include <cstring>
#include <ostream>

#include "toolkit/tool_error.hpp"

namespace velmora::tools {
namespace {

constexpr const char* kLineIndent = "          ";

void put_u64(std::string& s, std::uint64_t v) {
  char b[8];
  std::memcpy(b, &v, 8);
  s.append(b, 8);
}

std::uint64_t get_u64(const std::string& s, std::size_t at) {
  std::uint64_t v = 0;
  std::memcpy(&v, s.data() + at, 8);
  return v;
}

template <class T>
void put_text(std::string& s, T v) {
  char buf[40];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  s.append(buf, r.ptr);
}

// Values as ascii lines of `per_line` values each.
template <class T>
std::string ascii_lines(const std::vector<T>& v, std::size_t per_line) {
  std::string s;
  for (std::size_t i = 0; i < v.size(); ++i) {
    s += i % per_line == 0 ? kLineIndent : " ";
    put_text(s, v[i]);
    if (i % per_line == per_line - 1 || i + 1 == v.size()) s += '\n';
  }
  return s;
}

}  // namespace

std::string vtk_zlib_encode(const void* data, std::size_t bytes) {
  const auto* p = static_cast<const Bytef*>(data);
  const std::size_t nblocks = (bytes + kVtkBlockSize - 1) / kVtkBlockSize;
  const std::size_t last = bytes - (nblocks > 0 ? (nblocks - 1) * kVtkBlockSize : 0);
  std::string head, body;
  put_u64(head, nblocks);
  put_u64(head, kVtkBlockSize);
  put_u64(head, last);
  std::vector<Bytef> out(compressBound(kVtkBlockSize));
  for (std::size_t b = 0; b < nblocks; ++b) {
    const std::size_t n = b + 1 < nblocks ? kVtkBlockSize : last;
    uLongf len = static_cast<uLongf>(out.size());
    if (compress2(out.data(), &len, p + b * kVtkBlockSize, static_cast<uLong>(n),
                  Z_DEFAULT_COMPRESSION) != Z_OK)
      throw ToolError("zlib could not compress a data array");
    put_u64(head, len);
    body.append(reinterpret_cast<const char*>(out.data()), len);
  }
  return head + body;
}

std::string vtk_zlib_decode(const std::string& s, std::size_t* consumed) {
  if (s.size() < 24) throw ToolError("compressed data array: header cut short");
  const std::uint64_t nblocks = get_u64(s, 0), bsize = get_u64(s, 8), last = get_u64(s, 16);
  if (s.size() < 24 + 8 * nblocks) throw ToolError("compressed data array: header cut short");
  std::size_t at = 24 + 8 * nblocks;
  std::string out;
  for (std::uint64_t b = 0; b < nblocks; ++b) {
    const std::uint64_t clen = get_u64(s, 24 + 8 * b);
    const std::uint64_t want = b + 1 < nblocks || last == 0 ? bsize : last;
    if (at + clen > s.size()) throw ToolError("compressed data array: block cut short");
    std::string block(want, '\0');
    uLongf len = static_cast<uLongf>(want);
    if (uncompress(reinterpret_cast<Bytef*>(block.data()), &len,
                   reinterpret_cast<const Bytef*>(s.data() + at),
                   static_cast<uLong>(clen)) != Z_OK ||
        len != want)
      throw ToolError("compressed data array: a block does not decompress to its size");
    out += block;
    at += clen;
  }
  if (consumed) *consumed = at;
  return out;
}

VtkXmlWriter::VtkXmlWriter(std::ostream& os, VtkEncoding encoding) : os_(os), enc_(encoding) {}

void VtkXmlWriter::begin(const char* type) {
  os_ << "<?xml version=\"1.0\"?>\n"
      << "<VTKFile type=\"" << type << "\" version=\"1.0\" byte_order=\""
      << (std::endian::native == std::endian::little ? "LittleEndian" : "BigEndian")
      << "\" header_type=\"UInt64\"";
  if (enc_ == VtkEncoding::binary) os_ << " compressor=\"vtkZLibDataCompressor\"";
  os_ << ">\n";
}

void VtkXmlWriter::text(const std::string& s) {
  os_ << s;
}

void VtkXmlWriter::array_head(const std::string& type, const std::string& name, int ncomp) {
  os_ << "        <DataArray type=\"" << type << '"';
  if (!name.empty()) os_ << " Name=\"" << name << '"';
  if (ncomp > 1) os_ << " NumberOfComponents=\"" << ncomp << '"';
  if (enc_ == VtkEncoding::ascii)
    os_ << " format=\"ascii\">\n";
  else
    os_ << " format=\"appended\" offset=\"" << appended_.size() << "\"/>\n";
}

void VtkXmlWriter::append(const void* data, std::size_t bytes) {
  appended_ += vtk_zlib_encode(data, bytes);
}

void VtkXmlWriter::floats(const std::string& name, int ncomp, const std::vector<double>& v,
                          std::size_t per_line) {
  array_head("Float64", name, ncomp);
  if (enc_ == VtkEncoding::binary) {
    append(v.data(), v.size() * sizeof(double));
    return;
  }
  os_ << ascii_lines(v, per_line > 0 ? per_line : static_cast<std::size_t>(ncomp))
      << "        </DataArray>\n";
}

void VtkXmlWriter::ints(const std::string& type, const std::string& name, int ncomp,
                        const std::vector<std::int64_t>& v, std::size_t per_line) {
  array_head(type, name, ncomp);
  if (enc_ == VtkEncoding::binary) {
    // The values in the width of their VTK type.
    auto narrow = [&](auto zero) {
      std::vector<decltype(zero)> w(v.begin(), v.end());
      append(w.data(), w.size() * sizeof(zero));
    };
    if (type == "Int32")
      narrow(std::int32_t{0});
    else if (type == "UInt8")
      narrow(std::uint8_t{0});
    else if (type == "Int64")
      append(v.data(), v.size() * sizeof(std::int64_t));
    else
      throw ToolError("VTK array type " + type + " is not written by this writer");
    return;
  }
  os_ << ascii_lines(v, per_line > 0 ? per_line : static_cast<std::size_t>(ncomp))
      << "        </DataArray>\n";
}

void VtkXmlWriter::finish() {
  if (enc_ == VtkEncoding::binary) {
    os_ << "  <AppendedData encoding=\"raw\">\n   _";
    os_.write(appended_.data(), static_cast<std::streamsize>(appended_.size()));
    os_ << "\n  </AppendedData>\n";
  }
  os_ << "</VTKFile>\n";
}

}  // namespace velmora::tools
