#include "server/view/status_http.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>

#include <cerrno>
#include <cstring>

#include "server/view/board_json.h"
#include "server/view/metrics_text.h"
#include "server/view/status_page.h"

namespace {

// The page runs only its own script and style and talks only to this
// server: even markup slipped into it could neither run nor fetch.
constexpr const char* kContentSecurity =
    "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; "
    "img-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

MHD_Result send(MHD_Connection* connection, unsigned status, const char* contentType,
                const void* body, size_t length, MHD_ResponseMemoryMode mode) {
  MHD_Response* response = MHD_create_response_from_buffer(length, const_cast<void*>(body), mode);
  if (response == nullptr) return MHD_NO;
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, contentType);
  MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
  MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
  MHD_add_response_header(response, "Content-Security-Policy", kContentSecurity);
  MHD_add_response_header(response, "Referrer-Policy", "no-referrer");
  if (status == MHD_HTTP_METHOD_NOT_ALLOWED) {
    MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
  }
  MHD_Result queued = MHD_queue_response(connection, status, response);
  MHD_destroy_response(response);
  return queued;
}

MHD_Result sendText(MHD_Connection* connection, unsigned status, const char* text) {
  return send(connection, status, "text/plain; charset=utf-8", text, strlen(text),
              MHD_RESPMEM_PERSISTENT);
}

MHD_Result answer(void* self, MHD_Connection* connection, const char* url, const char* method,
                  const char*, const char*, size_t*, void**) {
  bool head = strcmp(method, MHD_HTTP_METHOD_HEAD) == 0;
  if (!head && strcmp(method, MHD_HTTP_METHOD_GET) != 0) {
    return sendText(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "only GET and HEAD\n");
  }
  if (strcmp(url, "/status.json") == 0) {
    std::shared_ptr<const std::string> json = static_cast<StatusServer*>(self)->currentJson();
    return send(connection, MHD_HTTP_OK, "application/json", json->data(), json->size(),
                MHD_RESPMEM_MUST_COPY);
  }
  if (strcmp(url, "/metrics") == 0) {
    std::string text = static_cast<StatusServer*>(self)->currentMetrics();
    return send(connection, MHD_HTTP_OK, "text/plain; version=0.0.4; charset=utf-8", text.data(),
                text.size(), MHD_RESPMEM_MUST_COPY);
  }
  const PageFile* file = findPageFile(url);
  if (file == nullptr) return sendText(connection, MHD_HTTP_NOT_FOUND, "not found\n");
  return send(connection, MHD_HTTP_OK, file->contentType, file->body, strlen(file->body),
              MHD_RESPMEM_PERSISTENT);
}

}  // namespace

StatusServer::~StatusServer() { stop(); }

bool StatusServer::start(const std::string& address, uint16_t port, std::string& error) {
  sockaddr_in where{};
  where.sin_family = AF_INET;
  where.sin_port = htons(port);
  if (inet_pton(AF_INET, address.c_str(), &where.sin_addr) != 1) {
    error = "status address " + address + " is not an IPv4 address";
    return false;
  }
  errno = 0;
  daemon_ = MHD_start_daemon(
      MHD_USE_AUTO_INTERNAL_THREAD, port, nullptr, nullptr,
      &answer, this,
      MHD_OPTION_SOCK_ADDR, &where,
      MHD_OPTION_CONNECTION_LIMIT, kMostConnections,
      MHD_OPTION_CONNECTION_TIMEOUT, kIdleSeconds,
      MHD_OPTION_CONNECTION_MEMORY_LIMIT, kConnectionMemory,
      MHD_OPTION_END);
  if (daemon_ == nullptr) {
    error = "cannot serve the status page on " + address + ":" + std::to_string(port) + ": " +
            (errno != 0 ? strerror(errno) : "libmicrohttpd refused");
    return false;
  }
  const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_BIND_PORT);
  port_ = info != nullptr ? info->port : port;
  return true;
}

void StatusServer::stop() {
  if (daemon_ != nullptr) MHD_stop_daemon(daemon_);
  daemon_ = nullptr;
}

void StatusServer::publish(std::shared_ptr<const BoardSnapshot> snapshot) {
  std::lock_guard<std::mutex> hold(mutex_);
  snapshot_.swap(snapshot);
  // The old snapshot, if no request holds it, is freed here, after the lock.
}

std::string StatusServer::currentMetrics() {
  std::shared_ptr<const BoardSnapshot> snapshot;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    snapshot = snapshot_;
  }
  return metricsText(snapshot ? *snapshot : BoardSnapshot{}, KORVANEL_VERSION);
}

std::shared_ptr<const std::string> StatusServer::currentJson() {
  std::shared_ptr<const BoardSnapshot> snapshot;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    snapshot = snapshot_;
  }
  if (snapshot != jsonSource_ || !json_) {
    json_ = std::make_shared<const std::string>(snapshot ? boardJson(*snapshot) : "{}");
    jsonSource_ = snapshot;
  }
  return json_;
}

