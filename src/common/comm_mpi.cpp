// The operations of common/comm.hpp on MPI_COMM_WORLD (built with
// -DVELMORA_MPI=ON).  Only the thread that started the run calls MPI
// (MPI_THREAD_FUNNELED): the library's other threads never do (that thread
// may test a started exchange as thread 0 of a parallel loop).
#include <mpi.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <vector>

#include "common/comm.hpp"

namespace velmora {
namespace {

// A duplicate of MPI_COMM_WORLD for the barrier of finish_after_stop, so that
// it never matches a collective of the run that another process is in.
MPI_Comm stop_comm = MPI_COMM_NULL;

bool started() {
  int flag = 0;
  MPI_Initialized(&flag);
  int done = 0;
  MPI_Finalized(&done);
  return flag != 0 && done == 0;
}

// The offsets of pieces of the given counts laid end to end.
std::vector<int> displacements(const std::vector<int>& counts) {
  std::vector<int> d(counts.size(), 0);
  for (std::size_t r = 1; r < counts.size(); ++r) d[r] = d[r - 1] + counts[r - 1];
  return d;
}

}  // namespace

Comm& Comm::world() {
  static Comm c;
  return c;
}

int Comm::rank() const {
  if (!started()) return 0;
  int r = 0;
  MPI_Comm_rank(MPI_COMM_WORLD, &r);
  return r;
}

int Comm::size() const {
  if (!started()) return 1;
  int p = 1;
  MPI_Comm_size(MPI_COMM_WORLD, &p);
  return p;
}

void Comm::allgatherv(const double* mine, const std::vector<int>& counts, double* all) const {
  const int p = size();
  if (p == 1) {
    if (!counts.empty() && counts[0] > 0 && mine != all)
      for (int i = 0; i < counts[0]; ++i) all[i] = mine[i];
    return;
  }
  const std::vector<int> displs = displacements(counts);
  const int me = rank();
  MPI_Allgatherv(mine, counts[me], MPI_DOUBLE, all, counts.data(), displs.data(), MPI_DOUBLE,
                 MPI_COMM_WORLD);
  // What this process's piece costs the network: one copy to each other rank.
  bytes_sent_ += static_cast<std::int64_t>(counts[me]) * 8 * (p - 1);
  messages_sent_ += p - 1;
}

void Comm::alltoallv(const double* send, const std::vector<int>& send_counts, double* recv,
                     const std::vector<int>& recv_counts) const {
  const int p = size();
  if (p == 1) {
    if (!send_counts.empty() && send_counts[0] > 0 && send != recv)
      std::copy(send, send + send_counts[0], recv);
    return;
  }
  const std::vector<int> sd = displacements(send_counts), rd = displacements(recv_counts);
  MPI_Alltoallv(send, send_counts.data(), sd.data(), MPI_DOUBLE, recv, recv_counts.data(),
                rd.data(), MPI_DOUBLE, MPI_COMM_WORLD);
  count_sends(send_counts);
}

void Comm::count_sends(const std::vector<int>& send_counts) const {
  const int me = rank();
  for (int r = 0; r < static_cast<int>(send_counts.size()); ++r) {
    if (r == me || send_counts[r] == 0) continue;
    bytes_sent_ += static_cast<std::int64_t>(send_counts[r]) * 8;
    messages_sent_ += 1;
  }
}

std::int64_t Comm::max(std::int64_t v) const {
  if (size() == 1) return v;
  long long in = v, out = 0;
  MPI_Allreduce(&in, &out, 1, MPI_LONG_LONG, MPI_MAX, MPI_COMM_WORLD);
  bytes_sent_ += 8;
  messages_sent_ += 1;
  return out;
}

std::int64_t Comm::sum(std::int64_t v) const {
  if (size() == 1) return v;
  long long in = v, out = 0;
  MPI_Allreduce(&in, &out, 1, MPI_LONG_LONG, MPI_SUM, MPI_COMM_WORLD);
  bytes_sent_ += 8;
  messages_sent_ += 1;
  return out;
}

void Comm::sum(std::int64_t* v, int n) const {
  if (size() == 1 || n <= 0) return;
  MPI_Allreduce(MPI_IN_PLACE, v, n, MPI_LONG_LONG, MPI_SUM, MPI_COMM_WORLD);
  bytes_sent_ += 8 * static_cast<std::int64_t>(n);
  messages_sent_ += 1;
}

void Comm::broadcast(void* data, std::int64_t bytes, int root) const {
  if (size() == 1 || bytes <= 0) return;
  // In pieces of at most 1 GiB (MPI counts are int).
  char* p = static_cast<char*>(data);
  for (std::int64_t done = 0; done < bytes;) {
    const int n = static_cast<int>(std::min<std::int64_t>(bytes - done, std::int64_t{1} << 30));
    MPI_Bcast(p + done, n, MPI_BYTE, root, MPI_COMM_WORLD);
    if (rank() == root) bytes_sent_ += static_cast<std::int64_t>(n) * (size() - 1);
    if (rank() == root) messages_sent_ += size() - 1;
    done += n;
  }
}

static_assert(sizeof(MPI_Request) <= sizeof(std::uint64_t), "an MPI request fits the handle");

void Comm::start_alltoallv(const double* send, const std::vector<int>& send_counts, double* recv,
                           const std::vector<int>& recv_counts, CommRequest& req) const {
  if (req.pending_) throw std::logic_error("Comm::start_alltoallv: the request is still pending");
  if (size() == 1) {
    alltoallv(send, send_counts, recv, recv_counts);
    return;
  }
  req.sd_ = displacements(send_counts);
  req.rd_ = displacements(recv_counts);
  MPI_Request r = MPI_REQUEST_NULL;
  MPI_Ialltoallv(send, send_counts.data(), req.sd_.data(), MPI_DOUBLE, recv, recv_counts.data(),
                 req.rd_.data(), MPI_DOUBLE, MPI_COMM_WORLD, &r);
  req.handle_ = 0;
  std::memcpy(&req.handle_, &r, sizeof r);
  req.send_counts_ = send_counts;
  req.pending_ = true;
}

bool Comm::test(CommRequest& req) const {
  if (!req.pending_) return true;
  MPI_Request r;
  std::memcpy(&r, &req.handle_, sizeof r);
  int done = 0;
  MPI_Test(&r, &done, MPI_STATUS_IGNORE);
  std::memcpy(&req.handle_, &r, sizeof r);
  if (done) wait(req);
  return done != 0;
}

void Comm::wait(CommRequest& req) const {
  if (!req.pending_) return;
  MPI_Request r;
  std::memcpy(&r, &req.handle_, sizeof r);
  MPI_Wait(&r, MPI_STATUS_IGNORE);
  req.pending_ = false;
  count_sends(req.send_counts_);
}

void Comm::send(const double* data, int count, int to) const {
  if (count <= 0) return;
  MPI_Send(data, count, MPI_DOUBLE, to, 0, MPI_COMM_WORLD);
  bytes_sent_ += static_cast<std::int64_t>(count) * 8;
  messages_sent_ += 1;
}

void Comm::recv(double* data, int count, int from) const {
  if (count <= 0) return;
  MPI_Recv(data, count, MPI_DOUBLE, from, 0, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
}

void Comm::barrier() const {
  if (size() > 1) MPI_Barrier(MPI_COMM_WORLD);
}

bool Comm::every_process_stopped(double seconds) const {
  if (size() == 1 || stop_comm == MPI_COMM_NULL) return true;
  MPI_Request req;
  MPI_Ibarrier(stop_comm, &req);
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  for (;;) {
    int done = 0;
    MPI_Test(&req, &done, MPI_STATUS_IGNORE);
    if (done) return true;
    // The others did not stop here in time: they are waiting in a
    // collective that this process will never join.
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

void Comm::abort(int status) const {
  if (size() > 1) MPI_Abort(MPI_COMM_WORLD, status);
  std::exit(status);
}

CommSession::CommSession(int* argc, char*** argv) {
  int provided = 0;
  MPI_Init_thread(argc, argv, MPI_THREAD_FUNNELED, &provided);
  MPI_Comm_dup(MPI_COMM_WORLD, &stop_comm);
}

CommSession::~CommSession() {
  if (!started()) return;
  if (stop_comm != MPI_COMM_NULL) MPI_Comm_free(&stop_comm);
  MPI_Finalize();
}

bool comm_has_mpi() { return true; }

}  // namespace velmora
