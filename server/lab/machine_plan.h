#pragma once
// What a server root rendered from the lab's inventory (build-media net
// --inventory) says of one machine, and the files it is served:
//
//   DIR/machines/<aa-bb-cc-dd-ee-ff>/machine.conf   name, group, keep, disk-label, packages
//   DIR/machines/<mac>/scripts/*.scr                 its own scripts
//   DIR/machines/<mac>/secret-scripts/*.scr          its scripts that hold secrets
//   DIR/unknown/machine.conf                         policy (install, hold, refuse) for the rest
//   DIR/unknown/scripts/*.scr                        their scripts, with "install"
//
// The machine is chosen by the hardware address it talks from; the files are
// served as they are (the server fills in nothing). A root without machines/
// and unknown/ serves every machine alike, as before.

#include <cstdint>
#include <string>
#include <vector>

#include "server/protocol/install_tree.h"

enum class UnknownPolicy { install, hold, refuse };

struct MachinePlan {
  bool inventory = false;  // the root was rendered from an inventory
  bool known = false;      // the inventory names this machine
  std::string name;        // its inventory name (known machines)
  std::string group;
  int keep = -1;           // 1 keep, 0 replace, -1 the server's --keep
  std::string diskLabel;   // the label it must report; "" any
  bool allPackages = true;
  std::vector<std::string> packages;  // file names in DIR/packages when !allPackages
  UnknownPolicy policy = UnknownPolicy::install;  // for machines not named
  std::string dir;         // DIR/machines/<mac> or DIR/unknown
  bool secrets = false;    // it has secret scripts
};

// Whether DIR was rendered from an inventory.
bool isInventoryRoot(const std::string& root);

// The plan of the machine `mac`. False with one line in `error` when its
// machine.conf (or unknown/machine.conf) cannot be read or is not one.
[[nodiscard]] bool readMachinePlan(const std::string& root, const uint8_t* mac, MachinePlan& plan,
                                   std::string& error);

// The plan of every machine the inventory does not name (readMachinePlan of
// an address without a folder of its own).
[[nodiscard]] bool readUnknownMachinePlan(const std::string& root, MachinePlan& plan,
                                          std::string& error);

// The text of a machine.conf read into `plan` (for the reading's tests).
[[nodiscard]] bool parseMachineConf(const std::string& text, MachinePlan& plan, std::string& error);

// The files the machine receives after its start: the lab-wide list
// (listInstallFiles) with the packages of its set only, then its own scripts
// and, when `withSecrets`, its secret scripts, each folder by name, before the
// held scripts. False with the reason in `error`.
[[nodiscard]] bool listMachineFiles(const std::string& root, const MachinePlan& plan,
                                    bool withSecrets, std::vector<ServedFile>& files,
                                    std::string& error);
