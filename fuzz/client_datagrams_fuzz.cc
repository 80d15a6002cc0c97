// The installer's side of the protocol, fed any datagrams: each one goes
// through the link's acceptance rules as it would arrive on the client's
// endpoint (cut to the receive buffer), and what is accepted through the
// parser of the step the installation is at: the offer after a discovery,
// a file header after a header request, a data block after a data request,
// the closing reply. The client's own requests are stamped as it stamps
// them, so a seed recorded from a real exchange walks the whole way.

#include <cstring>

#include "common/bounded_text.h"
#include "fuzz_check.h"
#include "fuzz_input.h"
#include "netinstall/discovery_payload.h"
#include "netinstall/file_header.h"
#include "netinstall/link_state.h"
#include "netinstall/net_message.h"

namespace {

const uint8_t kClient[kMacSize] = {0x52, 0x54, 0x00, 0x12, 0x34, 0x56};
// The network flow keeps this much of a file name.
constexpr size_t kKeptName = 32;
constexpr size_t kOfferCapacity = 512;

enum class Step { discovering, confirming, starting, header, data, closing, done };

class Client {
 public:
  Client() {
    link_.clear();
    memcpy(link_.ownAddress, kClient, kMacSize);
    discover();
  }

  void receive(const uint8_t* datagram, size_t size) {
    NetMessage message;
    message.clear();
    long length = static_cast<long>(size < kMessageSize ? size : kMessageSize);
    memcpy(message.bytes, datagram, static_cast<size_t>(length));
    if (step_ == Step::discovering) memset(link_.peerAddress, 0, kMacSize);
    if (!link_.accept(message, length)) return;
    FUZZ_CHECK(message.datagramLength() == static_cast<size_t>(length));
    FUZZ_CHECK(message.payloadLength() <= kMaxPayload);
    switch (step_) {
      case Step::discovering:
        if (isZeroMac(message.target()) || !message.payloadBeginsWith("OFFR")) return;
        memcpy(link_.peerAddress, message.source(), kMacSize);
        takeOffer(message);
        return;
      case Step::confirming:
        request(Step::starting);
        return;
      case Step::starting:
        request(Step::header);
        return;
      case Step::header:
        readHeader(message);
        return;
      case Step::data:
        readBlock(message);
        return;
      case Step::closing:
        if (message.payloadBeginsWith("TERM")) step_ = Step::done;
        return;
      case Step::done:
        return;
    }
  }

 private:
  void discover() {
    // Every discovery starts a fresh link, as broadcastRequest does.
    link_.resetCounters();
    NetMessage message;
    composeDiscovery(message, "", "", "korvanel");
    link_.stamp(message, message.payloadLength());
    link_.resetCounters();
    step_ = Step::discovering;
  }

  void request(Step next) {
    NetMessage message;
    message.clear();
    link_.stamp(message, kTagSize);
    step_ = next;
  }

  void takeOffer(const NetMessage& message) {
    char offer[kOfferCapacity];
    bool keep = false;
    if (!parseOffer(message.payloadText(), message.payloadLength(), offer, sizeof offer, keep)) {
      discover();  // the offer is passed over
      return;
    }
    FUZZ_CHECK(strlen(offer) < sizeof offer);
    request(Step::confirming);
  }

  void readHeader(const NetMessage& message) {
    char name[kFileNameSize];
    int mark = 0;
    if (parseFileHeader(message.payloadText(), message.payloadLength(), name, mark) !=
        FileHeader::file) {
      request(Step::closing);
      return;
    }
    FUZZ_CHECK(mark >= 0);
    FUZZ_CHECK(strlen(name) < kFileNameSize);
    char kept[kKeptName];
    (void)copyCut(kept, sizeof kept, name);
    if (!isPlainFileName(name) || !isPlainFileName(kept)) {
      step_ = Step::done;  // the flow refuses the name and ends
      return;
    }
    FUZZ_CHECK(strchr(kept, '/') == nullptr);
    request(Step::data);
  }

  void readBlock(const NetMessage& message) {
    size_t length = message.payloadLength();
    if (length == 0) {
      request(Step::header);
      return;
    }
    // The receiver hands the block out of its buffer in pieces.
    char piece[1000];
    for (size_t at = 0; at < length;) {
      size_t count = length - at < sizeof piece ? length - at : sizeof piece;
      memcpy(piece, message.payload() + at, count);
      at += count;
    }
    request(Step::data);
  }

  LinkState link_;
  Step step_ = Step::discovering;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Records records(data, size);
  Client client;
  const uint8_t* datagram;
  size_t length;
  while (records.next(datagram, length)) client.receive(datagram, length);
  return 0;
}
