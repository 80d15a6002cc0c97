#pragma once
// The installer's side of the network installation protocol: the interfaces
// with their endpoints, the link to the installation server, and the file
// being received. The network installation flow owns one client for the
// whole run, opens it first and closes it at every exit.

#include <sys/time.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "netinstall/file_receiver.h"
#include "netinstall/interface_scan.h"
#include "netinstall/link_state.h"
#include "netinstall/net_message.h"

// The protocol's waits. The defaults are the protocol's own; they are
// fields so that tests of lost servers and lost datagrams need not wait
// seconds for each time-out.
struct ClientTiming {
  int64_t replyTimeoutUsec = 1000000;    // per attempt of "YACK", "STRT", "RETR"
  int confirmAttempts = 5;               // "YACK" and "STRT"
  int transferAttempts = 30;             // "RETR"
  int64_t discoveryCycleUsec = 1000000;  // all waits of one "DSCV"/"DRVR" cycle
  int64_t closingUsec = 1000000;         // between two "WTRM"
  int rescanEvery = 60;                  // discovery broadcasts per interface scan
};

// What nextFile found.
enum class NextFile {
  file,     // a header arrived; the file's data can be read
  end,      // the server has no further file
  failed,   // the server stopped answering, or sent a name that must not be
            // used; a FATAL ERROR line has been printed
};

class InstallClient {
 public:
  InstallClient() = default;
  InstallClient(const InstallClient&) = delete;
  InstallClient& operator=(const InstallClient&) = delete;

  // --- Interfaces -------------------------------------------------------

  // Clears the link, forgets any server and file, and scans the interfaces.
  // An empty list is seen through hasInterfaces().
  void open();
  bool hasInterfaces() const { return !endpoints.empty(); }
  uint32_t interfaceCount() const { return static_cast<uint32_t>(endpoints.size()); }
  // The hardware address text of interface `index`, or null past the last.
  // The text lives in the shared buffer of formatMacAddress.
  const char* macAddressText(uint32_t index) const;
  // The server's hardware address text (zeros while none is known).
  const char* serverAddressText() const;
  // Frees the file receiver and closes every endpoint.
  void close();
  // Datagrams the process has taken in on every interface since open(),
  // whether they were for it or not: what the segment's traffic costs it.
  uint64_t datagramsReceived() const;

  // --- Message exchange ---------------------------------------------------

  // Starts a discovery cycle: a fresh link with no server, and `message`
  // stamped and sent once on every interface (sequence 1, target zero). Every
  // rescanEvery-th call scans the interfaces again first, so that cards that
  // appear late are used; every call does while there is no interface. False
  // when a send failed on any card (the others still get theirs); callers
  // wait for answers all the same.
  bool broadcastRequest(NetMessage& message, uint16_t payloadLength);

  // Waits within what is left of the current cycle for a server's answer
  // that begins with `tag`, addressed to the interface it arrives on. True
  // once one is taken: its interface is selected and its sender becomes the
  // server.
  bool waitForTag(NetMessage& message, const char* tag);

  // Broadcasts "DSCV" once per cycle until a server's "OFFR" can be read,
  // then copies the offer text into `offerText` (which may be the buffer of
  // `opaqueLong`) and sets `keepOut` when the offer says "keep". Never gives
  // up.
  void discover(const char* opaqueShort, const char* opaqueLong, const char* label,
                char* offerText, size_t offerCapacity, bool& keepOut);

  // Discovery, then the offer taken with "YACK"; a server that does not
  // confirm sends the client back to discovery. Never gives up, not even
  // without any interface: it then scans for cards once per discovery
  // cycle and goes on when one appears. True once a server has confirmed;
  // it does not return otherwise.
  bool findServer(const char* opaqueShort, const char* opaqueLong, const char* label,
                  char* offerText, size_t offerCapacity, bool& keepOut);

  // Broadcasts "DRVR" with the running kernel's release once per cycle until
  // a server answers "OFDR".
  void requestDrivers();

  // "STRT": true when the server confirmed within its attempts.
  bool startInstallation();

  // Repeats "WTRM" until the server answers "TERM" or a key is waiting at the
  // console (it is left unread).
  void awaitTermination();

  // --- File transfer ------------------------------------------------------

  // Asks for the next file's header with a fresh receiver. On `file`, its
  // name and mark are stored where given (either may be null). A name with
  // "/" or one that is "." or ".." is refused: it must never become a path
  // under the target. So is a name that does not fit `nameCapacity` whole:
  // the caller tells scripts from packages by the name it gets, and a cut
  // name could change its kind. Each refusal prints a FATAL ERROR line
  // naming the file. REQUIRES: nameCapacity > 0 when nameOut is given.
  NextFile nextFile(char* nameOut, size_t nameCapacity, int* markOut);

  // The current file's next bytes: see FileReceiver::read.
  int readFileData(char* buffer, size_t capacity);

  // Asks any server for the driver package of the running kernel and opens
  // it as the current file. False without interface or driver file (no
  // header, or no answer to the header request); prints nothing.
  bool retrieveDrivers();

  // --- State (the record the protocol works on) ----------------------------
  // The interfaces the client may use (set before open()); empty: every one.
  std::vector<std::string> onlyInterfaces;
  EndpointList endpoints;                  // one per usable interface
  int selected = -1;                       // interface of the server; -1: none
  LinkState link;
  std::unique_ptr<FileReceiver> receiver;  // the file being received, if any
  int broadcastCount = 0;                  // discovery broadcasts since the scan
  timeval waitTimeout{};                   // what is left of the discovery cycle
  ClientTiming timing;

 private:
  uint64_t receivedBeforeScan_ = 0;  // datagramsReceived of endpoints already closed

  RequestTiming confirmTiming() const { return {timing.replyTimeoutUsec, timing.confirmAttempts}; }
  // Replaces the receiver by a fresh one on the server's interface and asks
  // for the next header. Prints nothing.
  HeaderReply openNextFile();
  // Stamps a request with `text` as payload and sends it through the selected
  // interface: the accepted reply's length, or -1.
  long exchange(const char* text, NetMessage& reply, RequestTiming requestTiming);
};
