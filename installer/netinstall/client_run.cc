#include "netinstall/client_run.h"

#include <sys/stat.h>

#include "netinstall/file_transfer.h"
#include "output_capture.h"

namespace {

std::string fetch(InstallClient& client, const std::string& directory, bool drivers,
                  const char* label) {
  if (!client.hasInterfaces()) return "no interface";
  if (drivers) {
    if (!client.retrieveDrivers()) return "no drivers";
    if (!receiveToFile(client, (directory + "/drivers.bdl").c_str())) return "drivers cut";
  }
  char offer[512] = "";
  bool keep = false;
  if (!client.findServer("", offer, label, offer, sizeof offer, keep)) return "no server";
  if (!client.startInstallation()) return "refused";
  char name[32];
  int mark = 0;
  NextFile next;
  while ((next = client.nextFile(name, sizeof name, &mark)) == NextFile::file) {
    if (!receiveToFile(client, (directory + "/" + name).c_str())) return std::string("cut ") + name;
  }
  if (next == NextFile::failed) return "header failed";
  client.awaitTermination();
  return "";
}

}  // namespace

std::string fetchEverything(InstallClient& client, const ClientTiming& timing,
                            const std::string& directory, bool drivers, const char* label) {
  (void)mkdir(directory.c_str(), 0755);  // an existing one is fine
  client.open();
  client.timing = timing;
  std::string result;
  std::string printed = captureStdout([&] { result = fetch(client, directory, drivers, label); });
  client.close();
  return result.empty() ? result : result + ": " + printed;
}
