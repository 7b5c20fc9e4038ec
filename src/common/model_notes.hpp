// Notes a model file may carry after its last element record, where the
// solver's reader stops: which bodies bound the fluid from outside
// (interior flow) and the physical groups the mesh came with.  They are
// plain text, written by velmora-mesh and read by the solver (for its
// orientation check) and the companion tools (loads per group).
//
// Format, one note per line after a marker line:
//    Notes: ...free text...
//    interior K1 K2 ...            bodies that enclose the fluid
//    group TAG "NAME" A-B C D-E    elements of group TAG (ranges or single
//                                  numbers); a tag may take several lines
// Body K is the K-th piece of the mesh connected through shared edges,
// numbered in the order of its first element.  Words after the notes, lines
// that are no note, and notes that cannot be read are ignored: a model file
// without notes is a model file with no interior body and no group.
#pragma once

#include <iosfwd>
#include <string>
#include <utility>
#include <vector>

namespace velmora {

struct ModelNotes {
  struct Group {
    int tag = 0;
    std::string name;
    std::vector<std::pair<int, int>> ranges;  // element numbers first..last, 1-based
  };
  std::vector<int> interior;  // body numbers from 1, ascending
  std::vector<Group> groups;  // in tag order
  bool empty() const { return interior.empty() && groups.empty(); }
  bool is_interior(int body) const;
  // Group tag per element (0: none), for nelem elements; ranges outside
  // 1..nelem are cut.
  std::vector<int> group_of_elements(int nelem) const;
  // The name of a tag ("" when it has none or is unknown).
  std::string group_name(int tag) const;
};

// The marker line that opens the notes.
inline constexpr const char* kNotesMarker = " Notes:";

// Notes from a per-element group tag list (0: none; one entry per element)
// with its names, and the interior bodies.
ModelNotes make_model_notes(const std::vector<int>& group_of_element,
                            const std::vector<std::pair<int, std::string>>& names,
                            std::vector<int> interior);

// Writes the marker and the notes (nothing when `notes` is empty).
void write_model_notes(std::ostream& os, const ModelNotes& notes);

// Reads the notes of a model file: the lines after the last marker line,
// looked for from the third line on (the first two are titles).  A missing
// file gives empty notes.
ModelNotes read_model_notes(std::istream& is);
ModelNotes read_model_notes_file(const std::string& path);

}  // namespace velmora
