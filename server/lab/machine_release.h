#pragma once
// A root against its release list, machine by machine: each installer takes
// the entries of the list its own address takes (ReleaseList::find) and
// checks every file it receives against them, so the server checks the
// same for every machine before it serves any, rather than let one
// installer after another find the mistake.

#include <string>

#include <libinstall/release_list.h>

// The machines checked: those the inventory does not name (every machine,
// in a root without an inventory), each folder of DIR/machines, and each
// address the list names. Every file one of them would be served
// (listMachineFiles, with its secrets) and every driver package must be the
// entry that machine takes, of its kind, size and SHA-256; every package
// and script entry a machine takes must be served to it; every entry's
// file must be in the root. Machines the inventory refuses are served
// nothing. False with one line in `error` naming the file, the machine and
// the release; the size and digest of a secret script are never shown.
[[nodiscard]] bool checkMachinesAgainstRelease(const std::string& root, const ReleaseList& list,
                                               std::string& error);
