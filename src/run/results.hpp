// Result records: the element solutions and total force of output.dat and
// the Tecplot point file output.plt.
#pragma once

#include <array>
#include <functional>
#include <string>
#include <string_view>

#include "bem/mesh.hpp"

namespace velmora {

// Records 3 to 5 of output.dat (header of the boundary solutions), unit 7.
void write_solution_head();
// Their texts, for a writer of output.dat that does not go through the units.
std::array<std::string, 3> solution_head_records();

// Element e's record: I8 then 9E21.12 with u(1..3), t(1..3) of the element
// (entries 3(e-1)+1..3 of the interleaved vectors) and its collocation point.
std::string element_record(int e, const double* uvec, const double* tvec, const MeshView& mesh);
// Every element's record in order, to `unit` (formatted on all threads).
void write_element_records(int unit, const double* uvec, const double* tvec, const MeshView& mesh);

// Writes `count` records in order: record(text, i) appends record i (0-based)
// to text, and sink receives the text of consecutive records, each followed
// by a line end.  The records are formatted in pieces on all threads and
// handed over in order, so the bytes do not depend on the thread count.
void write_in_pieces(long count, const std::function<void(std::string&, long)>& record,
                     const std::function<void(std::string_view)>& sink);

// F = -sum over elements of area * traction, elements in order.
std::array<double, 3> total_force(const MeshView& mesh, const double* tvec);

// Empty record, " Total force acting on the body is:" and the three
// components, each to the console, output.log and output.dat in that order.
// With `solved` false (a solve the solver refused) the console does not get
// them: it shows no force as if the run had solved.
void write_total_force(const std::array<double, 3>& f, bool solved = true);
// Those three records.
std::array<std::string, 3> total_force_records(const std::array<double, 3>& f);

// Writes output.plt (unit 8): the surface with the element values averaged
// to the nodes (nodes no element uses get zeros).  u holds the velocities
// and t the tractions as they are to be shown (the driver passes the
// negated tractions), both interleaved by element.
void TECOUT(int nelem, int nnode, const double* xnode, const int* ielem, const double* u,
            const double* t);

}  // namespace velmora
