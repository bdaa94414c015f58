#include "verbolin/ui/X11WindowState.hpp"

#include <xcb/xcb.h>

#include <QGuiApplication>
#include <QWidget>
#include <algorithm>
#include <cstdlib>
#include <memory>
#include <vector>

namespace verbolin {
namespace {

struct Free {
    void operator()(void* p) const { std::free(p); }
};

xcb_connection_t* connection() {
    auto* x11 = qApp ? qApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return x11 ? x11->connection() : nullptr;
}

xcb_atom_t atom(xcb_connection_t* c, const char* name) {
    std::unique_ptr<xcb_intern_atom_reply_t, Free> reply(xcb_intern_atom_reply(
        c, xcb_intern_atom(c, 0, uint16_t(std::char_traits<char>::length(name)), name), nullptr));
    return reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
}

std::vector<xcb_atom_t> states(xcb_connection_t* c, xcb_window_t w, xcb_atom_t property) {
    std::unique_ptr<xcb_get_property_reply_t, Free> reply(xcb_get_property_reply(
        c, xcb_get_property(c, 0, w, property, XCB_ATOM_ATOM, 0, 1024), nullptr));
    if (!reply || reply->format != 32) return {};
    const auto* atoms = static_cast<const xcb_atom_t*>(xcb_get_property_value(reply.get()));
    return {atoms, atoms + xcb_get_property_value_length(reply.get()) / 4};
}

}  // namespace

void X11WindowState::setSticky(QWidget& window, bool sticky) {
    xcb_connection_t* c = connection();
    if (!c || !window.windowHandle()) return;
    const auto w = xcb_window_t(window.winId());
    const xcb_atom_t netState = atom(c, "_NET_WM_STATE");
    const xcb_atom_t stickyAtom = atom(c, "_NET_WM_STATE_STICKY");
    if (netState == XCB_ATOM_NONE || stickyAtom == XCB_ATOM_NONE) return;

    std::unique_ptr<xcb_get_window_attributes_reply_t, Free> attributes(
        xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, w), nullptr));
    if (attributes && attributes->map_state != XCB_MAP_STATE_UNMAPPED) {
        // Mapped: the window manager owns the property now.
        xcb_client_message_event_t message{};
        message.response_type = XCB_CLIENT_MESSAGE;
        message.format = 32;
        message.window = w;
        message.type = netState;
        message.data.data32[0] = sticky ? 1 : 0;  // add or remove
        message.data.data32[1] = stickyAtom;
        message.data.data32[3] = 1;  // from a normal application
        const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
        xcb_send_event(c, 0, root,
                       XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                       reinterpret_cast<const char*>(&message));
    } else {
        // Not mapped yet: the property is read when it is. Qt keeps states it
        // does not manage itself.
        auto atoms = states(c, w, netState);
        atoms.erase(std::remove(atoms.begin(), atoms.end(), stickyAtom), atoms.end());
        if (sticky) atoms.push_back(stickyAtom);
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, netState, XCB_ATOM_ATOM, 32,
                            uint32_t(atoms.size()), atoms.data());
    }
    xcb_flush(c);
}

}  // namespace verbolin
