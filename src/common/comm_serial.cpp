// One process: the operations of common/comm.hpp as copies.
#include <algorithm>
#include <cstdlib>
#include <stdexcept>

#include "common/comm.hpp"

namespace velmora {

Comm& Comm::world() {
  static Comm c;
  return c;
}

int Comm::rank() const { return 0; }
int Comm::size() const { return 1; }

void Comm::allgatherv(const double* mine, const std::vector<int>& counts, double* all) const {
  if (!counts.empty() && counts[0] > 0 && mine != all) std::copy(mine, mine + counts[0], all);
}

void Comm::alltoallv(const double* send, const std::vector<int>& send_counts, double* recv,
                     const std::vector<int>&) const {
  if (!send_counts.empty() && send_counts[0] > 0 && send != recv)
    std::copy(send, send + send_counts[0], recv);
}

std::int64_t Comm::max(std::int64_t v) const { return v; }
std::int64_t Comm::sum(std::int64_t v) const { return v; }
void Comm::sum(std::int64_t*, int) const {}
void Comm::broadcast(void*, std::int64_t, int) const {}
void Comm::start_alltoallv(const double* send, const std::vector<int>& send_counts, double* recv,
                           const std::vector<int>& recv_counts, CommRequest&) const {
  alltoallv(send, send_counts, recv, recv_counts);
}
bool Comm::test(CommRequest&) const { return true; }
void Comm::wait(CommRequest&) const {}

// One process has no other to send to or receive from.
void Comm::send(const double*, int count, int) const {
  if (count > 0) throw std::logic_error("Comm::send: a run of one process has no other process");
}
void Comm::recv(double*, int count, int) const {
  if (count > 0) throw std::logic_error("Comm::recv: a run of one process has no other process");
}
void Comm::barrier() const {}
bool Comm::every_process_stopped(double) const { return true; }
void Comm::abort(int status) const { std::exit(status); }

CommSession::CommSession(int*, char***) {}
CommSession::~CommSession() = default;

bool comm_has_mpi() { return false; }

}  // namespace velmora
