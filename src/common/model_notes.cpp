#include "common/model_notes.hpp"

#include <algorithm>
#include <charconv>
#include <fstream>
#include <istream>
#include <map>
#include <ostream>
#include <sstream>

namespace velmora {
namespace {

bool to_int(const std::string& s, int& v) {
  const char* b = s.data();
  const char* e = b + s.size();
  const auto r = std::from_chars(b, e, v);
  return r.ec == std::errc() && r.ptr == e;
}

// "A-B" or "A" as a range.
bool to_range(const std::string& s, std::pair<int, int>& r) {
  const std::size_t dash = s.find('-', 1);
  if (dash == std::string::npos) {
    if (!to_int(s, r.first)) return false;
    r.second = r.first;
  } else if (!to_int(s.substr(0, dash), r.first) || !to_int(s.substr(dash + 1), r.second)) {
    return false;
  }
  return r.first >= 1 && r.second >= r.first;
}

// Reads a name in double quotes (no quotes inside) after position `pos`.
bool quoted(const std::string& line, std::size_t& pos, std::string& name) {
  const std::size_t a = line.find('"', pos);
  if (a == std::string::npos) return false;
  const std::size_t b = line.find('"', a + 1);
  if (b == std::string::npos) return false;
  name = line.substr(a + 1, b - a - 1);
  pos = b + 1;
  return true;
}

}  // namespace

bool ModelNotes::is_interior(int body) const {
  return std::binary_search(interior.begin(), interior.end(), body);
}

std::vector<int> ModelNotes::group_of_elements(int nelem) const {
  std::vector<int> g(static_cast<std::size_t>(std::max(nelem, 0)), 0);
  for (const Group& grp : groups)
    for (const auto& [a, b] : grp.ranges)
      for (int e = a; e <= std::min(b, nelem); ++e) g[e - 1] = grp.tag;
  return g;
}

std::string ModelNotes::group_name(int tag) const {
  for (const Group& g : groups)
    if (g.tag == tag) return g.name;
  return {};
}

ModelNotes make_model_notes(const std::vector<int>& group_of_element,
                            const std::vector<std::pair<int, std::string>>& names,
                            std::vector<int> interior) {
  ModelNotes n;
  std::sort(interior.begin(), interior.end());
  interior.erase(std::unique(interior.begin(), interior.end()), interior.end());
  n.interior = std::move(interior);
  std::map<int, ModelNotes::Group> by_tag;
  const int nelem = static_cast<int>(group_of_element.size());
  for (int e = 1; e <= nelem;) {
    const int tag = group_of_element[e - 1];
    int last = e;
    while (last < nelem && group_of_element[last] == tag) ++last;
    if (tag != 0) {
      ModelNotes::Group& g = by_tag[tag];
      g.tag = tag;
      g.ranges.emplace_back(e, last);
    }
    e = last + 1;
  }
  for (const auto& [tag, name] : names) {
    const auto it = by_tag.find(tag);
    if (it != by_tag.end()) it->second.name = name;
  }
  for (auto& [tag, g] : by_tag) n.groups.push_back(std::move(g));
  return n;
}

void write_model_notes(std::ostream& os, const ModelNotes& notes) {
  if (notes.empty()) return;
  os << kNotesMarker
     << " interior bodies (the fluid inside) and physical groups (element ranges), for velmora's "
        "tools\n";
  if (!notes.interior.empty()) {
    os << " interior";
    for (const int k : notes.interior) os << ' ' << k;
    os << '\n';
  }
  // At most 16 ranges a line, so that no line grows without bound.
  constexpr std::size_t kPerLine = 16;
  for (const ModelNotes::Group& g : notes.groups) {
    std::string name = g.name;
    name.erase(std::remove(name.begin(), name.end(), '"'), name.end());
    std::replace(name.begin(), name.end(), '\n', ' ');
    for (std::size_t i = 0; i < g.ranges.size() || i == 0; i += kPerLine) {
      os << " group " << g.tag << " \"" << name << '"';
      for (std::size_t j = i; j < std::min(g.ranges.size(), i + kPerLine); ++j) {
        const auto& [a, b] = g.ranges[j];
        os << ' ' << a;
        if (b != a) os << '-' << b;
      }
      os << '\n';
    }
  }
}

ModelNotes read_model_notes(std::istream& is) {
  ModelNotes n;
  std::map<int, ModelNotes::Group> by_tag;
  std::string line;
  int line_no = 0;
  bool in_notes = false;
  while (std::getline(is, line)) {
    ++line_no;
    if (line_no <= 2) continue;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.rfind(kNotesMarker, 0) == 0) {
      // A later marker starts the notes afresh.
      in_notes = true;
      n.interior.clear();
      by_tag.clear();
      continue;
    }
    if (!in_notes) continue;
    std::istringstream words(line);
    std::string key;
    if (!(words >> key)) continue;
    if (key == "interior") {
      std::string w;
      int k = 0;
      while (words >> w)
        if (to_int(w, k) && k >= 1) n.interior.push_back(k);
    } else if (key == "group") {
      std::string w;
      int tag = 0;
      if (!(words >> w) || !to_int(w, tag) || tag == 0) continue;
      std::size_t pos = line.find(w, line.find("group") + 5) + w.size();
      std::string name;
      if (!quoted(line, pos, name)) continue;
      ModelNotes::Group& g = by_tag[tag];
      g.tag = tag;
      if (g.name.empty()) g.name = name;
      std::istringstream rest(line.substr(pos));
      std::pair<int, int> r;
      while (rest >> w)
        if (to_range(w, r)) g.ranges.push_back(r);
    }
  }
  std::sort(n.interior.begin(), n.interior.end());
  n.interior.erase(std::unique(n.interior.begin(), n.interior.end()), n.interior.end());
  for (auto& [tag, g] : by_tag) n.groups.push_back(std::move(g));
  return n;
}

ModelNotes read_model_notes_file(const std::string& path) {
  std::ifstream f(path);
  if (!f) return {};
  return read_model_notes(f);
}

}  // namespace velmora
