#pragma once
// The process's view of whether a network path exists, from the kernel's
// routing socket. One watcher thread ("HubApi.NetMon": thread names hold 15
// characters) serves every subscriber: it reads the current path at start and
// again after every link, address or route change, and hands each result to
// all installed handlers on that thread.
//
// A path is satisfied when an interface other than loopback is up and
// running with an address, or a default route exists. Linux has no notion of
// an expensive or constrained path, so those stay false.
//
// Tests run with only loopback and must not depend on the machine's
// interfaces: simulate() switches the watcher to the paths it is given.

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

namespace platform {

struct NetworkPath {
    enum class Status { satisfied, unsatisfied };
    Status status = Status::satisfied;
    bool isExpensive = false;
    bool isConstrained = false;

    friend bool operator==(const NetworkPath&, const NetworkPath&) = default;
};

class NetworkPathMonitor {
  public:
    using Handler = std::function<void(const NetworkPath&)>;
    using Key = uint64_t;

    static NetworkPathMonitor& shared();

    NetworkPathMonitor(const NetworkPathMonitor&) = delete;
    NetworkPathMonitor& operator=(const NetworkPathMonitor&) = delete;
    ~NetworkPathMonitor();

    // A key for start()/cancel(), unique in the process.
    static Key newKey();

    // Installs the handler under `key`, replacing one installed before, and
    // starts the watcher thread when it is not running. The handler then
    // receives the current path, and every later one, on the watcher thread.
    void start(Key key, Handler handler);
    // Removes the handler. Once this returns the handler is not running and
    // will not be called again.
    void cancel(Key key);

    // Tests: from now on the machine's own changes are ignored; `path` is
    // delivered to every handler, on the calling thread, before this returns.
    void simulate(const NetworkPath& path);

    // The path as the machine reports it now (or the simulated one).
    NetworkPath currentPath() const;
    static NetworkPath readSystemPath();

    // The watcher's loop, on any socket: until `wakeFd` is readable, calls
    // changed() after each burst of messages on `socketFd`, also after an
    // error on it (messages lost); stops watching a socket that hangs up
    // and never spins. Closes `socketFd` (when >= 0) before it returns.
    static void watchSocket(int socketFd, int wakeFd, const std::function<void()>& changed);

  private:
    NetworkPathMonitor() = default;
    void watch(int netlinkFd, int wakeFd);
    void deliver(const NetworkPath& path);

    mutable std::mutex mutex_;           // guards the fields below
    std::recursive_mutex deliverMutex_;  // held while handlers run
    std::map<Key, Handler> handlers_;
    std::optional<NetworkPath> simulated_;
    std::thread thread_;
    int wakeFd_ = -1;
};

}  // namespace platform
