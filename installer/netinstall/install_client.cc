#include "netinstall/install_client.h"

#include "netinstall/mac_address.h"

void InstallClient::open() {
  close();
  link.clear();
  selected = -1;
  endpoints = scanInterfaces(onlyInterfaces);
  broadcastCount = 0;
  waitTimeout = timeval{};
  receivedBeforeScan_ = 0;
}

const char* InstallClient::macAddressText(uint32_t index) const {
  if (index >= interfaceCount()) return nullptr;
  return formatMacAddress(endpoints[index]->mac);
}

const char* InstallClient::serverAddressText() const { return formatMacAddress(link.peerAddress); }

void InstallClient::close() {
  receiver.reset();
  endpoints.clear();  // each endpoint closes its socket
}

uint64_t InstallClient::datagramsReceived() const {
  uint64_t count = receivedBeforeScan_;
  for (const auto& endpoint : endpoints) count += endpoint->datagramsReceived;
  return count;
}
