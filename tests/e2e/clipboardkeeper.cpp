// A minimal clipboard manager for the end-to-end tests, as desktops run one: it owns the
// CLIPBOARD_MANAGER selection and, asked to SAVE_TARGETS by a program that is ending, copies the
// clipboard's text (UTF8_STRING) from that program and then owns CLIPBOARD itself, answering
// later pastes with the saved text. Prints "ready" once it owns CLIPBOARD_MANAGER. Ends when
// killed.

#include <xcb/xcb.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

xcb_connection_t* connection = nullptr;
xcb_window_t window = 0;

xcb_atom_t atom(const char* name) {
    const xcb_intern_atom_cookie_t cookie =
        xcb_intern_atom(connection, 0, static_cast<uint16_t>(std::strlen(name)), name);
    std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> reply(
        xcb_intern_atom_reply(connection, cookie, nullptr), &std::free);
    return reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
}

void notify(const xcb_selection_request_event_t& request, xcb_atom_t property) {
    xcb_selection_notify_event_t event{};
    event.response_type = XCB_SELECTION_NOTIFY;
    event.time = request.time;
    event.requestor = request.requestor;
    event.selection = request.selection;
    event.target = request.target;
    event.property = property;
    xcb_send_event(connection, 0, request.requestor, XCB_EVENT_MASK_NO_EVENT,
                   reinterpret_cast<const char*>(&event));
    xcb_flush(connection);
}

// Waits for the answer to our own conversion and reads the text it left in our property.
bool fetchText(xcb_atom_t selection, xcb_atom_t target, xcb_atom_t property, std::string& text) {
    xcb_convert_selection(connection, window, selection, target, property, XCB_CURRENT_TIME);
    xcb_flush(connection);
    for (;;) {
        std::unique_ptr<xcb_generic_event_t, decltype(&std::free)> event(
            xcb_wait_for_event(connection), &std::free);
        if (!event) return false;
        if ((event->response_type & 0x7f) != XCB_SELECTION_NOTIFY) continue;
        const auto* notified = reinterpret_cast<xcb_selection_notify_event_t*>(event.get());
        if (notified->property == XCB_ATOM_NONE) return false;
        const xcb_get_property_cookie_t cookie = xcb_get_property(
            connection, 1, window, property, XCB_GET_PROPERTY_TYPE_ANY, 0, 1 << 20);
        std::unique_ptr<xcb_get_property_reply_t, decltype(&std::free)> reply(
            xcb_get_property_reply(connection, cookie, nullptr), &std::free);
        if (!reply) return false;
        text.assign(static_cast<const char*>(xcb_get_property_value(reply.get())),
                    static_cast<size_t>(xcb_get_property_value_length(reply.get())));
        return true;
    }
}

}  // namespace

int main() {
    connection = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(connection)) return 1;
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
    window = xcb_generate_id(connection);
    xcb_create_window(connection, XCB_COPY_FROM_PARENT, window, screen->root, 0, 0, 1, 1, 0,
                      XCB_WINDOW_CLASS_INPUT_ONLY, screen->root_visual, 0, nullptr);
    const xcb_atom_t manager = atom("CLIPBOARD_MANAGER");
    const xcb_atom_t saveTargets = atom("SAVE_TARGETS");
    const xcb_atom_t clipboard = atom("CLIPBOARD");
    const xcb_atom_t targets = atom("TARGETS");
    const xcb_atom_t utf8 = atom("UTF8_STRING");
    const xcb_atom_t kept = atom("DOV_KEPT_CLIPBOARD");

    xcb_set_selection_owner(connection, window, manager, XCB_CURRENT_TIME);
    xcb_flush(connection);
    std::puts("ready");
    std::fflush(stdout);

    std::string saved;
    bool owning = false;
    for (;;) {
        std::unique_ptr<xcb_generic_event_t, decltype(&std::free)> event(
            xcb_wait_for_event(connection), &std::free);
        if (!event) return 0;
        if ((event->response_type & 0x7f) == XCB_SELECTION_CLEAR) {
            owning = false;
            continue;
        }
        if ((event->response_type & 0x7f) != XCB_SELECTION_REQUEST) continue;
        const auto request = *reinterpret_cast<xcb_selection_request_event_t*>(event.get());
        const xcb_atom_t property =
            request.property == XCB_ATOM_NONE ? request.target : request.property;
        if (request.selection == manager && request.target == saveTargets) {
            // The ending program still answers for CLIPBOARD while it waits for this reply.
            std::string text;
            if (fetchText(clipboard, utf8, kept, text)) {
                saved = text;
                xcb_set_selection_owner(connection, window, clipboard, XCB_CURRENT_TIME);
                owning = true;
            }
            notify(request, property);
        } else if (request.selection == clipboard && owning && request.target == targets) {
            const xcb_atom_t offered[] = {targets, utf8};
            xcb_change_property(connection, XCB_PROP_MODE_REPLACE, request.requestor, property,
                                XCB_ATOM_ATOM, 32, 2, offered);
            notify(request, property);
        } else if (request.selection == clipboard && owning &&
                   (request.target == utf8 || request.target == XCB_ATOM_STRING)) {
            xcb_change_property(connection, XCB_PROP_MODE_REPLACE, request.requestor, property,
                                request.target, 8, static_cast<uint32_t>(saved.size()),
                                saved.data());
            notify(request, property);
        } else {
            notify(request, XCB_ATOM_NONE);
        }
    }
}
