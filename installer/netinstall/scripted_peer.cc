#include "netinstall/scripted_peer.h"

#include <unistd.h>

#include <cstring>

#include "netinstall/net_test_support.h"

ScriptedPeer::ScriptedPeer(int socket, const uint8_t* ownMac) : socket_(socket) {
  memcpy(mac_, ownMac, kMacSize);
}

ScriptedPeer::~ScriptedPeer() {
  join();
  if (socket_ >= 0) close(socket_);
}

void ScriptedPeer::run(const std::function<void(ScriptedPeer&)>& script) {
  thread_ = std::thread([this, script] { script(*this); });
}

void ScriptedPeer::join() {
  if (thread_.joinable()) thread_.join();
}

bool ScriptedPeer::next(NetMessage& request, double seconds) {
  for (int tries = 0; tries < 64; ++tries) {
    long length = receiveDatagram(socket_, request, seconds);
    if (length < 0) return false;
    if (length < static_cast<long>(kHeaderSize)) return false;
    bool ours = false;
    for (const NetMessage& message : sent_) {
      ours |= message.datagramLength() == static_cast<size_t>(length) &&
              memcmp(message.bytes, request.bytes, static_cast<size_t>(length)) == 0;
    }
    if (!ours) return true;
  }
  return false;
}

void ScriptedPeer::send(const uint8_t* source, const uint8_t* target, uint16_t sequence,
                        uint16_t acknowledgement, const std::string& payload) {
  NetMessage message;
  message.clear();
  message.setSource(source);
  message.setTarget(target);
  message.setSequence(sequence);
  message.setAcknowledgement(acknowledgement);
  (void)message.setPayloadBytes(payload.data(), payload.size());
  sent_.push_back(message);
  (void)sendBroadcast(socket_, message);
}

void ScriptedPeer::answer(const NetMessage& request, uint16_t sequence,
                          const std::string& payload) {
  send(mac_, request.source(), sequence, request.sequence(), payload);
}

std::string payloadString(const NetMessage& message) {
  return std::string(message.payloadText(), message.payloadLength());
}
