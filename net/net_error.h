// The one exception the network layer throws: a failed request (no connection,
// time-out, TLS failure, an HTTP error status, an authentication refusal), an
// unreadable file to upload, or a reply that cannot be parsed. Its message is
// meant for the operator's error box.
#pragma once

#include <stdexcept>

class NetError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
