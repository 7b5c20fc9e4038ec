// The data arrays of the VTK XML files the tools write (output.vtu,
// rigid.vtu, field.vti, field.vtp), in either of the two encodings VTK
// readers (ParaView, meshio, VTK's Python module) accept:
//
//  - ascii: the values inside the DataArray element, in the shortest decimal
//    text that reads back as exactly the same double (ints as integers);
//  - binary (the default): every DataArray is an empty element
//    `format="appended" offset="O"` and the raw little-endian values follow
//    the dataset in one <AppendedData encoding="raw"> block after a '_'.
//    Each array there is zlib-compressed in blocks of kVtkBlockSize bytes
//    and opened by a header of UInt64 words (header_type="UInt64",
//    compressor="vtkZLibDataCompressor"):
//        nblocks, block size, size of the last block, compressed size of
//        block 1, ..., compressed size of block nblocks
//    (uncompressed sizes in bytes; the last block holds the remainder, or a
//    whole block).  O is the array's byte offset from just after the '_'.
//
// Both encodings carry the same values bit for bit.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

namespace velmora::tools {

enum class VtkEncoding { ascii, binary };

inline constexpr std::size_t kVtkBlockSize = 1 << 20;  // uncompressed bytes per zlib block

// Writes one VTK XML file: the caller writes the element structure through
// text() and each data array through floats()/ints(); finish() closes the
// file (with the appended block in the binary encoding).
class VtkXmlWriter {
 public:
  VtkXmlWriter(std::ostream& os, VtkEncoding encoding);

  // <?xml ...?> and the VTKFile element of the given dataset type
  // (UnstructuredGrid, ImageData, PolyData).
  void begin(const char* type);
  // Structure text as it is (element tags, attributes, newlines).
  void text(const std::string& s);
  // A DataArray of doubles (type Float64) with ncomp components per tuple;
  // an empty name leaves the Name attribute out.  In ascii each line
  // holds `per_line` values (0: one tuple).
  void floats(const std::string& name, int ncomp, const std::vector<double>& v,
              std::size_t per_line = 0);
  // A DataArray of integers of VTK type `type` ("Int32", "Int64", "UInt8").
  void ints(const std::string& type, const std::string& name, int ncomp,
            const std::vector<std::int64_t>& v, std::size_t per_line = 0);
  // The closing tag of the VTKFile element, after the appended data.
  void finish();

 private:
  void array_head(const std::string& type, const std::string& name, int ncomp);
  void append(const void* data, std::size_t bytes);

  std::ostream& os_;
  VtkEncoding enc_;
  std::string appended_;  // the compressed arrays, in order
};

// The compressed form of `bytes` bytes as VTK's zlib compressor lays it
// out (header then blocks), and its inverse (throws ToolError on a
// malformed block); exposed for the tests.
std::string vtk_zlib_encode(const void* data, std::size_t bytes);
std::string vtk_zlib_decode(const std::string& encoded, std::size_t* consumed = nullptr);

}  // namespace velmora::tools
