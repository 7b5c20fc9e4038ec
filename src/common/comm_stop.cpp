// The parts of the process layer that both builds share: a stop's agreement
// and the discarding stream.
#include <iostream>
#include <streambuf>

#include "common/comm.hpp"

namespace velmora {

int stop_together(const Comm& comm, int status, const std::string& kept) {
  if (comm.distributed() && !comm.every_process_stopped(kStopAgreementSeconds)) {
    std::cerr << kept << std::flush;
    comm.abort(status);
  }
  return status;
}

namespace {

class DiscardBuffer : public std::streambuf {
 protected:
  int overflow(int c) override { return traits_type::not_eof(c); }
  std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

}  // namespace

std::ostream& discard_stream() {
  static DiscardBuffer buffer;
  static std::ostream stream(&buffer);
  return stream;
}

}  // namespace velmora
