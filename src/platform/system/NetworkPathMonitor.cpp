#include "platform/system/NetworkPathMonitor.hpp"

#include <ifaddrs.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace platform {
namespace {

bool hasUsableInterface() {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return false;
    bool found = false;
    for (ifaddrs* a = list; a && !found; a = a->ifa_next) {
        if (!a->ifa_addr) continue;
        const int family = a->ifa_addr->sa_family;
        if (family != AF_INET && family != AF_INET6) continue;
        const unsigned flags = a->ifa_flags;
        found = (flags & IFF_UP) && (flags & IFF_RUNNING) && !(flags & IFF_LOOPBACK);
    }
    freeifaddrs(list);
    return found;
}

bool hasDefaultRoute() {
    // Destination 00000000 on an interface that is up (RTF_UP = 1).
    std::ifstream routes("/proc/net/route");
    std::string line;
    std::getline(routes, line);  // header
    while (std::getline(routes, line)) {
        char iface[64] = {};
        unsigned long destination = 1, gateway = 0, flags = 0;
        if (std::sscanf(line.c_str(), "%63s %lx %lx %lx", iface, &destination, &gateway, &flags) ==
                4 &&
            destination == 0 && (flags & 1) && std::strcmp(iface, "lo") != 0) {
            return true;
        }
    }
    return false;
}

int openRouteSocket() {
    const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
    if (fd < 0) return -1;
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR | RTMGRP_IPV4_ROUTE |
                        RTMGRP_IPV6_ROUTE;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

NetworkPathMonitor& NetworkPathMonitor::shared() {
    static NetworkPathMonitor monitor;
    return monitor;
}

NetworkPathMonitor::Key NetworkPathMonitor::newKey() {
    static std::atomic<Key> next{1};
    return next.fetch_add(1);
}

NetworkPathMonitor::~NetworkPathMonitor() {
    std::thread thread;
    {
        std::lock_guard lock(mutex_);
        if (wakeFd_ >= 0) {
            const uint64_t one = 1;
            (void)!write(wakeFd_, &one, sizeof one);
        }
        thread = std::move(thread_);
    }
    if (thread.joinable()) thread.join();
    if (wakeFd_ >= 0) close(wakeFd_);
}

NetworkPath NetworkPathMonitor::readSystemPath() {
    NetworkPath path;
    path.status = hasUsableInterface() || hasDefaultRoute() ? NetworkPath::Status::satisfied
                                                            : NetworkPath::Status::unsatisfied;
    return path;
}

NetworkPath NetworkPathMonitor::currentPath() const {
    {
        std::lock_guard lock(mutex_);
        if (simulated_) return *simulated_;
    }
    return readSystemPath();
}

void NetworkPathMonitor::start(Key key, Handler handler) {
    {
        std::lock_guard lock(mutex_);
        handlers_[key] = handler;
        if (!thread_.joinable()) {
            const int netlinkFd = openRouteSocket();
            wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
            if (wakeFd_ >= 0) {
                // Without a routing socket the first reading stays the answer.
                thread_ =
                    std::thread([this, netlinkFd, wake = wakeFd_] { watch(netlinkFd, wake); });
                // Named from here, so the name is there from the start and not
                // only once the new thread first gets to run.
                pthread_setname_np(thread_.native_handle(), "HubApi.NetMon");
            } else if (netlinkFd >= 0) {
                close(netlinkFd);
            }
        }
    }
    // The new handler learns the present state at once, as a fresh
    // subscription to the system's path monitor would. The state is read
    // under the delivery lock: read before it, a change delivered meanwhile
    // would be overwritten by this older reading.
    std::lock_guard running(deliverMutex_);
    const NetworkPath path = currentPath();
    std::unique_lock lock(mutex_);
    auto it = handlers_.find(key);
    if (it == handlers_.end()) return;
    Handler current = it->second;
    lock.unlock();
    current(path);
}

void NetworkPathMonitor::cancel(Key key) {
    std::lock_guard running(deliverMutex_);
    std::lock_guard lock(mutex_);
    handlers_.erase(key);
}

void NetworkPathMonitor::simulate(const NetworkPath& path) {
    {
        std::lock_guard lock(mutex_);
        simulated_ = path;
    }
    deliver(path);
}

void NetworkPathMonitor::deliver(const NetworkPath& path) {
    std::lock_guard running(deliverMutex_);
    std::vector<Handler> handlers;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [key, handler] : handlers_) handlers.push_back(handler);
    }
    for (const Handler& handler : handlers) handler(path);
}

void NetworkPathMonitor::watch(int netlinkFd, int wakeFd) {
    watchSocket(netlinkFd, wakeFd, [this] {
        bool simulated = false;
        {
            std::lock_guard lock(mutex_);
            simulated = simulated_.has_value();
        }
        if (!simulated) deliver(readSystemPath());
    });
}

void NetworkPathMonitor::watchSocket(int socketFd, int wakeFd,
                                     const std::function<void()>& changed) {
    std::vector<char> buffer(16384);
    for (;;) {
        pollfd fds[2] = {{wakeFd, POLLIN, 0}, {socketFd, POLLIN, 0}};
        const int ready = poll(fds, socketFd >= 0 ? 2 : 1, -1);
        if (ready < 0) {
            // Out of kernel memory for a moment, say: the watcher must not
            // end for it, or no change would ever be seen again.
            if (errno != EINTR) std::this_thread::sleep_for(std::chrono::milliseconds(100));
            continue;
        }
        if (fds[0].revents) break;
        const short events = fds[1].revents;
        if (events & (POLLIN | POLLERR)) {
            // One reading per burst of messages. An error (the kernel
            // dropped messages when the socket's buffer overflowed in a burst
            // of changes) is reported by poll until a read clears it, so it
            // is read too, or poll would return at once for ever; messages
            // were lost, so the path is read again all the same.
            ssize_t got = 0;
            while ((got = recv(socketFd, buffer.data(), buffer.size(), MSG_DONTWAIT)) > 0) {
            }
            changed();
            if (got == 0 || (events & POLLHUP)) {  // the peer is gone (a stream's end)
                close(socketFd);
                socketFd = -1;
            }
        } else if (events & (POLLHUP | POLLNVAL)) {
            // The socket is gone for good: the last reading stays the answer.
            close(socketFd);
            socketFd = -1;
        }
    }
    if (socketFd >= 0) close(socketFd);
}

}  // namespace platform
