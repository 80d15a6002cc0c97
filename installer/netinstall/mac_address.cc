#include "netinstall/mac_address.h"

#include <cstdio>

void formatMacAddressInto(const uint8_t* mac, char (&text)[kMacTextSize]) {
  snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", mac[0], mac[1], mac[2], mac[3],
           mac[4], mac[5]);
}

const char* formatMacAddress(const uint8_t* mac) {
  static char text[kMacTextSize];
  formatMacAddressInto(mac, text);
  return text;
}
