#include "ui/Events.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vt {
namespace {

enum class Ctl { cmdGo, cmdStop, lstItems, lblNote, imgBanner };

struct Recorder {
    std::vector<std::string> calls;
    void cmdGo_Click() { calls.push_back("go"); }
    void cmdStop_Click() { calls.push_back("stop"); }
    void lstItems_DblClick() { calls.push_back("items dblclick"); }
    void lstItems_KeyDown(int keyCode, int shift) {
        calls.push_back("items key " + std::to_string(keyCode) + " " + std::to_string(shift));
    }
};

EventTable<Ctl> TableFor(Recorder& r) {
    return {
        {Ctl::cmdGo, Event::Click, Calls(r, &Recorder::cmdGo_Click)},
        {Ctl::cmdStop, Event::Click, Calls(r, &Recorder::cmdStop_Click)},
        {Ctl::lstItems, Event::DblClick, Calls(r, &Recorder::lstItems_DblClick)},
        {Ctl::lstItems, Event::KeyDown,
         [&r](const EventArgs& key) { r.lstItems_KeyDown(key.keyCode, key.shift); }},
    };
}

TEST(EventTable, EachControlAndEventReachesItsOwnHandlerAndNothingElseReachesAny) {
    struct Case {
        Ctl control;
        Event event;
        EventArgs args;
        const char* expected;  // nullptr: no handler
    };
    const Case cases[] = {
        {Ctl::cmdGo, Event::Click, {}, "go"},
        {Ctl::cmdStop, Event::Click, {}, "stop"},
        {Ctl::lstItems, Event::DblClick, {}, "items dblclick"},
        {Ctl::lstItems, Event::KeyDown, {13, 4}, "items key 13 4"},
        {Ctl::lstItems, Event::KeyDown, {65, 0}, "items key 65 0"},
        // A control with routes, but not for this event.
        {Ctl::cmdGo, Event::DblClick, {}, nullptr},
        {Ctl::lstItems, Event::Click, {}, nullptr},
        // Controls without any route, and an id no window has.
        {Ctl::lblNote, Event::Click, {}, nullptr},
        {Ctl::imgBanner, Event::Click, {}, nullptr},
        {static_cast<Ctl>(42), Event::Click, {}, nullptr},
    };
    for (const Case& c : cases) {
        Recorder r;
        EventTable<Ctl> table = TableFor(r);
        const auto* handler = table.Find(c.control, c.event);
        if (c.expected == nullptr) {
            EXPECT_EQ(handler, nullptr) << static_cast<int>(c.control);
            continue;
        }
        ASSERT_NE(handler, nullptr) << c.expected;
        (*handler)(c.args);
        EXPECT_EQ(r.calls, std::vector<std::string>{c.expected});
    }
}

TEST(EventTable, AnEmptyTableRoutesNothing) {
    EventTable<Ctl> table;
    for (Ctl c : {Ctl::cmdGo, Ctl::lstItems, Ctl::imgBanner}) {
        for (Event e : {Event::Click, Event::DblClick, Event::KeyDown}) {
            EXPECT_EQ(table.Find(c, e), nullptr);
        }
    }
}

}  // namespace
}  // namespace vt
