// Ownership of the event handles, the same for every backend: each backend supplies the
// creation and close() for its kind of handle.

#include "platform/event.h"

namespace platform {

event::~event() { close(); }

event::event(event&& other) noexcept
    : handle_(other.handle_), error_(other.error_), kind_(other.kind_)
{
    other.handle_ = invalid_handle;
}

event& event::operator=(event&& other) noexcept
{
    if (this != &other) {
        close();
        handle_ = other.handle_;
        error_ = other.error_;
        kind_ = other.kind_;
        other.handle_ = invalid_handle;
    }
    return *this;
}

event_reference::~event_reference() { close(); }

event_reference::event_reference(event_reference&& other) noexcept : handle_(other.handle_)
{
    other.handle_ = invalid_handle;
}

event_reference& event_reference::operator=(event_reference&& other) noexcept
{
    if (this != &other) {
        close();
        handle_ = other.handle_;
        other.handle_ = invalid_handle;
    }
    return *this;
}

}  // namespace platform
