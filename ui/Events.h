#pragma once
// The events of a window's controls and the table that routes each (control, event) pair to
// its handler. Each window fills one from the handler class; portable, so the routing itself
// is tested without Windows.

#include <functional>
#include <initializer_list>
#include <vector>

namespace vt {

enum class Event { Click, DblClick, KeyDown };

struct EventArgs {
    int keyCode = 0;  // KeyDown: the virtual-key code
    int shift = 0;    // KeyDown: 1 Shift, 2 Ctrl, 4 Alt
};

template <typename Id>
class EventTable {
  public:
    using Handler = std::function<void(const EventArgs&)>;
    struct Route {
        Id control;
        Event event;
        Handler handler;
    };

    EventTable() = default;
    EventTable(std::initializer_list<Route> routes) : routes_(routes) {}

    // The handler of control's event; nullptr when the table has none.
    const Handler* Find(Id control, Event event) const {
        for (const Route& route : routes_) {
            if (route.control == control && route.event == event) {
                return &route.handler;
            }
        }
        return nullptr;
    }

  private:
    std::vector<Route> routes_;
};

// A handler that calls target's method, which takes no arguments.
template <typename Target, typename Method>
std::function<void(const EventArgs&)> Calls(Target& target, Method method) {
    return [&target, method](const EventArgs&) { std::invoke(method, target); };
}

// What a window raises: its load (the window still hidden), its first activation (after the
// show has completed) and its controls' events.
template <typename Id>
struct WindowEvents {
    std::function<void()> load;
    std::function<void()> firstActivate;
    EventTable<Id> controls;
};

}  // namespace vt
