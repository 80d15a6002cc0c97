// The status endpoint of a build without an HTTP library (the static 32-bit
// server): --status is refused at start with a reason.

#include "server/view/status_http.h"

StatusServer::~StatusServer() = default;

bool StatusServer::start(const std::string&, uint16_t, std::string& error) {
  error = "this build of netinstall-server has no status page (--status)";
  return false;
}

void StatusServer::publish(std::shared_ptr<const BoardSnapshot>) {}

void StatusServer::stop() {}

std::shared_ptr<const std::string> StatusServer::currentJson() { return nullptr; }
