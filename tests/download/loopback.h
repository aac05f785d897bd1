// Helpers shared by the download tests.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

namespace download_test {

// An update-server route whose 1,000,000-byte body stops after `cut` bytes, the
// connection closed ("close") or reset ("reset"), at `path`.
inline nlohmann::json cut_body_route(const std::string& path, const std::string& kind, std::size_t cut)
{
    return {{"path", path}, {"generate_bytes", 1000000}, {"fault", kind + "_after"}, {"fault_bytes", cut}};
}

// A loopback port that refuses connections: bound, so no one else takes it, never listening.
class refusing_port {
public:
    refusing_port()
    {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0)
            port_ = ntohs(address.sin_port);
    }
    ~refusing_port()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    refusing_port(const refusing_port&) = delete;
    refusing_port& operator=(const refusing_port&) = delete;
    int port() const { return port_; }

private:
    int fd_ = -1;
    int port_ = 0;
};

// A loopback server for one connection that sends `fast` at once and then `slow` one
// byte at a time, `interval` apart: a server that keeps a client waiting for ever while
// never going quiet for long.
class trickling_server {
public:
    trickling_server(std::string fast, std::string slow, std::chrono::milliseconds interval)
    {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            ::listen(listener_, 1) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            return;
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this, fast, slow, interval] {
            const int fd = ::accept(listener_, nullptr, nullptr);
            if (fd < 0)
                return;
            connection_ = fd;
            std::string request;
            char buffer[4096];
            while (request.find("\r\n\r\n") == std::string::npos) {
                const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
                if (got <= 0)
                    return;
                request.append(buffer, static_cast<std::size_t>(got));
            }
            if (::send(fd, fast.data(), fast.size(), MSG_NOSIGNAL) < 0)
                return;
            for (const char byte : slow) {
                for (auto waited = std::chrono::milliseconds(0); waited < interval && !stop_;
                     waited += std::chrono::milliseconds(10))
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
                if (stop_ || ::send(fd, &byte, 1, MSG_NOSIGNAL) != 1)
                    return;
            }
        });
    }
    ~trickling_server()
    {
        stop_ = true;
        if (listener_ >= 0)
            ::shutdown(listener_, SHUT_RDWR);
        if (thread_.joinable())
            thread_.join();
        if (connection_ >= 0)
            ::close(connection_);
        if (listener_ >= 0)
            ::close(listener_);
    }
    trickling_server(const trickling_server&) = delete;
    trickling_server& operator=(const trickling_server&) = delete;
    int port() const { return port_; }

private:
    int listener_ = -1;
    int connection_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace download_test
