#pragma once
// An httplib server that bounds what one request may make it hold: the request line and
// headers together take at most kMaxRequestHead bytes (httplib itself limits each line, not
// their number), the body at most the payload limit set on the server.

#include <httplib.h>

#include <cstddef>

namespace ombrel::server {

class TBoundedHttpServer : public httplib::Server {
  public:
    static constexpr size_t kMaxRequestHead = 64 * 1024;

  private:
    // Serves the requests of one connection, as httplib does, through a stream that ends the
    // connection once a request head grows beyond kMaxRequestHead.
    bool process_and_close_socket(socket_t sock) override;
};

}  // namespace ombrel::server
