#pragma once
// The file being received: asks the server for a file's header, then for its
// data block by block, and hands the bytes out of the reply buffer in place.
// A file is read strictly once, front to back.

#include <cstddef>
#include <cstdint>

#include "netinstall/file_header.h"
#include "netinstall/link_state.h"
#include "netinstall/net_endpoint.h"
#include "netinstall/net_message.h"

// How long a request waits for its reply, and how often it is sent.
struct RequestTiming {
  int64_t timeoutUsec;
  int attempts;
};

// Result of a header request.
enum class HeaderReply {
  file,        // a header with a name and a mark >= 0
  endOfFiles,  // the server says no further file follows
  noAnswer,    // no accepted reply to any attempt
};

class FileReceiver {
 public:
  // Clears the reply and remembers where requests go. `endpoint` and `link`
  // belong to the client and outlive the receiver.
  void bind(NetEndpoint* endpoint, LinkState* link, RequestTiming timing);

  // Asks for the next file's header and reads its name and mark.
  HeaderReply requestHeader();

  // Places the next 1 ... `capacity` bytes of the file in `buffer` and returns
  // their count; 0 at the end of the file; -1 when the server did not answer.
  // Never more than what is left of one block per call. REQUIRES: capacity > 0.
  int read(char* buffer, size_t capacity);

  const char* name() const { return name_; }
  int mark() const { return mark_; }

 private:
  // Sends one "RETR" into reply_: the accepted length, or -1.
  long retrieve();

  char name_[kFileNameSize] = {};
  int mark_ = 0;
  uint32_t blockLength_ = 0;
  uint32_t blockPosition_ = 0;
  NetMessage reply_;
  NetEndpoint* endpoint_ = nullptr;
  LinkState* link_ = nullptr;
  RequestTiming timing_{};
};
