#include "verbolin/ui/GlobalHotKey.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

namespace verbolin {
namespace {

constexpr xcb_keysym_t kSpace = 0x20;
constexpr xcb_keysym_t kNumLock = 0xff7f;

template <class T>
struct FreeReply {
    void operator()(T* p) const { std::free(p); }
};
template <class T>
using Reply = std::unique_ptr<T, FreeReply<T>>;

// Every keycode whose unshifted or shifted symbol is `sym`.
std::vector<xcb_keycode_t> keycodesOf(xcb_connection_t* c, xcb_keysym_t sym) {
    const xcb_setup_t* setup = xcb_get_setup(c);
    const int first = setup->min_keycode, count = setup->max_keycode - first + 1;
    Reply<xcb_get_keyboard_mapping_reply_t> map(xcb_get_keyboard_mapping_reply(
        c, xcb_get_keyboard_mapping(c, xcb_keycode_t(first), uint8_t(count)), nullptr));
    std::vector<xcb_keycode_t> codes;
    if (!map) return codes;
    const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(map.get());
    const int perCode = map->keysyms_per_keycode;
    const int total = xcb_get_keyboard_mapping_keysyms_length(map.get());
    for (int i = 0; i < count && (i + 1) * perCode <= total; ++i)
        for (int k = 0; k < perCode && k < 2; ++k)
            if (syms[i * perCode + k] == sym) {
                codes.push_back(xcb_keycode_t(first + i));
                break;
            }
    return codes;
}

// The modifier bit NumLock sets; Mod2 where the keyboard does not say.
uint16_t numLockMask(xcb_connection_t* c) {
    const auto numLock = keycodesOf(c, kNumLock);
    Reply<xcb_get_modifier_mapping_reply_t> map(
        xcb_get_modifier_mapping_reply(c, xcb_get_modifier_mapping(c), nullptr));
    if (!map || numLock.empty()) return XCB_MOD_MASK_2;
    const xcb_keycode_t* codes = xcb_get_modifier_mapping_keycodes(map.get());
    const int perMod = map->keycodes_per_modifier;
    for (int mod = 0; mod < 8; ++mod)
        for (int k = 0; k < perMod; ++k)
            for (auto code : numLock)
                if (codes[mod * perMod + k] == code) return uint16_t(1u << mod);
    return XCB_MOD_MASK_2;
}

}  // namespace

struct GlobalHotKey::Connection {
    xcb_connection_t* c = nullptr;
    xcb_window_t root = 0;
    ~Connection() {
        if (c) xcb_disconnect(c);
    }
};

std::unique_ptr<GlobalHotKey> GlobalHotKey::create(std::function<void()> onPress) {
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display) return nullptr;
    auto connection = std::make_unique<Connection>();
    int screenNumber = 0;
    connection->c = xcb_connect(nullptr, &screenNumber);
    if (xcb_connection_has_error(connection->c)) return nullptr;
    auto screens = xcb_setup_roots_iterator(xcb_get_setup(connection->c));
    for (int i = 0; i < screenNumber && screens.rem; ++i) xcb_screen_next(&screens);
    if (!screens.rem) return nullptr;
    connection->root = screens.data->root;
    return std::unique_ptr<GlobalHotKey>(
        new GlobalHotKey(std::move(connection), std::move(onPress)));
}

GlobalHotKey::GlobalHotKey(std::unique_ptr<Connection> connection, std::function<void()> onPress)
    : connection_(std::move(connection)), onPress_(std::move(onPress)) {
    xcb_connection_t* c = connection_->c;
    const uint16_t base = XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1;
    const uint16_t numLock = numLockMask(c);
    const auto codes = keycodesOf(c, kSpace);
    bool all = !codes.empty();
    for (auto code : codes) {
        for (uint16_t extra : {uint16_t(0), numLock, uint16_t(XCB_MOD_MASK_LOCK),
                               uint16_t(numLock | XCB_MOD_MASK_LOCK)}) {
            auto cookie = xcb_grab_key_checked(c, 1, connection_->root, base | extra, code,
                                               XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC);
            // Held by another client: the key stays theirs, silently.
            if (xcb_generic_error_t* error = xcb_request_check(c, cookie)) {
                all = false;
                std::free(error);
            }
        }
    }
    grabbed_ = all;
    xcb_flush(c);
    if (::pipe2(wake_, O_CLOEXEC) != 0) return;
    watcher_ = std::thread([this] { watch(); });
}

GlobalHotKey::~GlobalHotKey() {
    if (watcher_.joinable()) {
        const char stop = 0;
        [[maybe_unused]] const auto n = ::write(wake_[1], &stop, 1);
        watcher_.join();
    }
    for (int fd : wake_)
        if (fd >= 0) ::close(fd);
    // Closing the connection releases its grabs.
}

void GlobalHotKey::watch() {
    xcb_connection_t* c = connection_->c;
    pollfd fds[2] = {{xcb_get_file_descriptor(c), POLLIN, 0}, {wake_[0], POLLIN, 0}};
    for (;;) {
        while (Reply<xcb_generic_event_t> event{xcb_poll_for_event(c)}) {
            if ((event->response_type & 0x7f) == XCB_KEY_PRESS) onPress_();
        }
        if (xcb_connection_has_error(c)) return;  // the X server went away
        if (::poll(fds, 2, -1) < 0 && errno != EINTR) return;
        if (fds[1].revents) return;
    }
}

}  // namespace verbolin
