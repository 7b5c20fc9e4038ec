// A reader of the DataArrays of VTK XML files for the tests, independent of
// the writer: inline ascii values, or appended raw data compressed with
// zlib (header_type UInt64: nblocks, block size, last block size, then the
// compressed size of each block), decompressed here with zlib itself.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

namespace velmora::testing {

struct VtkArray {
  bool found = false;
  std::string type, format;
  int ncomp = 1;
  std::vector<double> values;  // every value as a double (ints exactly)
  std::string bytes;           // the raw little-endian bytes (appended arrays only)
};

inline std::string vtk_attribute(const std::string& tag, const std::string& key) {
  const std::size_t a = tag.find(" " + key + "=\"");
  if (a == std::string::npos) return std::string();
  const std::size_t b = a + key.size() + 3;
  return tag.substr(b, tag.find('"', b) - b);
}

inline std::uint64_t vtk_u64(const std::string& s, std::size_t at) {
  std::uint64_t v = 0;
  if (at + 8 <= s.size()) std::memcpy(&v, s.data() + at, 8);
  return v;
}

// The `nth` (0-based) DataArray named `name` in `text`, the whole file.
inline VtkArray vtk_array(const std::string& text, const std::string& name, int nth = 0) {
  VtkArray r;
  std::size_t at = 0;
  for (int i = 0; i <= nth; ++i) {
    at = text.find("Name=\"" + name + "\"", i == 0 ? 0 : at + 1);
    if (at == std::string::npos) return r;
  }
  const std::size_t open = text.rfind("<DataArray", at), close = text.find('>', at);
  const std::string tag = text.substr(open, close - open + 1);
  r.found = true;
  r.type = vtk_attribute(tag, "type");
  r.format = vtk_attribute(tag, "format");
  if (!vtk_attribute(tag, "NumberOfComponents").empty())
    r.ncomp = std::atoi(vtk_attribute(tag, "NumberOfComponents").c_str());
  if (r.format == "ascii") {
    std::istringstream in(text.substr(close + 1, text.find("</DataArray>", close) - close - 1));
    for (std::string w; in >> w;) r.values.push_back(std::strtod(w.c_str(), nullptr));
    return r;
  }
  const std::size_t data = text.find('_', text.find("<AppendedData encoding=\"raw\">")) + 1;
  const std::size_t head = data + std::strtoull(vtk_attribute(tag, "offset").c_str(), nullptr, 10);
  const std::uint64_t nb = vtk_u64(text, head), bs = vtk_u64(text, head + 8),
                      last = vtk_u64(text, head + 16);
  std::size_t pos = head + 24 + 8 * nb;
  for (std::uint64_t b = 0; b < nb; ++b) {
    const std::uint64_t clen = vtk_u64(text, head + 24 + 8 * b);
    uLongf len = b + 1 < nb || last == 0 ? bs : last;
    std::string block(len, '\0');
    if (pos + clen > text.size() ||
        uncompress(reinterpret_cast<Bytef*>(block.data()), &len,
                   reinterpret_cast<const Bytef*>(text.data() + pos), clen) != Z_OK) {
      r.found = false;
      return r;
    }
    r.bytes.append(block, 0, len);
    pos += clen;
  }
  auto take = [&](auto zero) {
    for (std::size_t i = 0; i + sizeof(zero) <= r.bytes.size(); i += sizeof(zero)) {
      decltype(zero) v;
      std::memcpy(&v, r.bytes.data() + i, sizeof v);
      r.values.push_back(static_cast<double>(v));
    }
  };
  if (r.type == "Float64") take(double{0});
  if (r.type == "Int64") take(std::int64_t{0});
  if (r.type == "Int32") take(std::int32_t{0});
  if (r.type == "UInt8") take(std::uint8_t{0});
  return r;
}

}  // namespace velmora::testing
