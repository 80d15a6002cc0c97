#pragma once
// Finds the machine's Ethernet-like interfaces and opens one endpoint on
// each. Every interface listed in /proc/net/dev (or only those the caller
// names) that has a hardware address is brought up (promiscuous, address
// 0.0.0.0 when it has none) and stays so.

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "netinstall/net_endpoint.h"

using EndpointList = std::vector<std::unique_ptr<NetEndpoint>>;

// The interface names of a /proc/net/dev text: the first word of every line
// after the two heading lines, cut at its first ':'. Lines without a word are
// skipped; a text of fewer than three lines has no names.
std::vector<std::string> readInterfaceNames(FILE* stream);

// One open endpoint on the protocol port per listed interface with a non-zero
// hardware address, in list order. An interface that cannot be opened or
// brought up is left out. When the hardware address of any listed name
// cannot be read, or the list or the query socket cannot be opened, the
// result is empty: the caller sees no interface. A non-empty `only` lists
// the interfaces that may be used; the others are neither queried nor
// touched. Prints nothing.
EndpointList scanInterfaces(const std::vector<std::string>& only = {});
EndpointList scanInterfacesFrom(FILE* stream, const std::vector<std::string>& only = {});
