// The processes of a run: the one seam between the library and MPI.
//
// A build without MPI (the default) has one process, rank 0 of 1, and every
// operation below is a copy or does nothing.  A build with -DVELMORA_MPI=ON
// implements them on MPI_COMM_WORLD (comm_mpi.cpp); nothing else in the
// library includes mpi.h.
//
// Determinism.  Only operations that move values are offered (gathers and
// broadcasts, which copy bits); there is no floating-point reduction whose
// order could depend on the number of processes.  The integer reductions (max,
// sum) are exact in any order.
//
// Errors.  A process that stops ends the run of every process: it asks
// Comm::every_process_stopped, which is true when every process stopped at
// the same point (a stop that every process reaches, as bad input does: each
// then ends cleanly with the same status and rank 0 alone gives the message)
// and false when the others are still running; the process then gives its
// message and ends the whole run (Comm::abort) instead of leaving the others
// waiting in a collective.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace velmora {

// A non-blocking exchange started by Comm::start_alltoallv, until
// Comm::wait completes it.
class CommRequest {
 public:
  bool pending() const { return pending_; }

 private:
  friend class Comm;
  bool pending_ = false;
  std::uint64_t handle_ = 0;        // the MPI request
  std::vector<int> sd_, rd_;        // displacements, kept while pending
  std::vector<int> send_counts_;    // for the count of bytes sent
};

class Comm {
 public:
  // The run's processes (MPI_COMM_WORLD in an MPI build).
  static Comm& world();

  int rank() const;
  int size() const;
  bool distributed() const { return size() > 1; }

  // Every process passes its own `count` values; on return `all` (on every
  // process) holds the pieces of ranks 0, 1, ... in rank order, piece r of
  // counts[r] values.  counts must be the same on every process and sum to
  // the size of `all`.
  void allgatherv(const double* mine, const std::vector<int>& counts, double* all) const;

  // Every process sends send_counts[r] values to process r, taken in rank
  // order from `send`, and receives recv_counts[r] values from process r,
  // placed in rank order in `recv`.  The counts must match between the
  // pairs of processes (what r sends to q is what q receives from r).
  void alltoallv(const double* send, const std::vector<int>& send_counts, double* recv,
                 const std::vector<int>& recv_counts) const;
  // The same exchange, started: `send` and `recv` (and the counts) must
  // stay as they are until wait(req) returns; test(req) lets it progress
  // while this process computes (true once it is done).  One process: the
  // copy is made at once.
  void start_alltoallv(const double* send, const std::vector<int>& send_counts, double* recv,
                       const std::vector<int>& recv_counts, CommRequest& req) const;
  bool test(CommRequest& req) const;
  void wait(CommRequest& req) const;
  // The largest of the values the processes pass (exact in any order).
  std::int64_t max(std::int64_t v) const;
  // Their sum (integers: exact in any order).
  std::int64_t sum(std::int64_t v) const;
  // The sums of n values, entry by entry, in place on every process.
  void sum(std::int64_t* v, int n) const;

  // Process root's bytes to every process (bytes the same everywhere).
  void broadcast(void* data, std::int64_t bytes, int root = 0) const;
  // Point to point, for pipelines whose order is fixed: `count` values to
  // process `to`, and `count` values from process `from` (the counts of a
  // pair must match).  Never between a process and itself.
  void send(const double* data, int count, int to) const;
  void recv(double* data, int count, int from) const;

  // Waits for every process.
  void barrier() const;

  // After a stop on this process: waits up to `seconds` for every process to
  // stop too; true when they all have (serial: at once).
  bool every_process_stopped(double seconds) const;
  // Ends every process of the run with `status` (MPI_Abort; serial: exit).
  [[noreturn]] void abort(int status) const;

  // Bytes and messages this process has sent through the operations above.
  std::int64_t bytes_sent() const { return bytes_sent_; }
  std::int64_t messages_sent() const { return messages_sent_; }

 private:
  // Adds an exchange's pieces to other processes to the counts below.
  void count_sends(const std::vector<int>& send_counts) const;
  mutable std::int64_t bytes_sent_ = 0;
  mutable std::int64_t messages_sent_ = 0;
};

// Starts the process layer for the program's lifetime (MPI_Init_thread with
// funneled threads; MPI_Finalize on destruction).  Serial: does nothing.
class CommSession {
 public:
  CommSession(int* argc, char*** argv);
  ~CommSession();
  CommSession(const CommSession&) = delete;
  CommSession& operator=(const CommSession&) = delete;
};

// Whether this build runs on MPI.
bool comm_has_mpi();

// How long a process that stopped waits for the others to stop at the same
// point before it ends the whole run.
constexpr double kStopAgreementSeconds = 10.0;

// The end of a program's stop with `status` on this process (comm_stop.cpp):
// returns the status when every process stopped too; otherwise writes
// `kept` (this process's message where it was not given at once: the
// processes other than rank 0 keep theirs) to the error stream and ends
// every process with the status.
int stop_together(const Comm& comm, int status, const std::string& kept);

// A stream that takes every character and keeps none: the console and the
// files of the processes other than rank 0.
std::ostream& discard_stream();

}  // namespace velmora
