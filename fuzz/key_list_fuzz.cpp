// Key list bodies and launcher statements from any bytes: reading never fails otherwise than
// by refusing, and what reads is written back in the one form that reads to the same fields,
// so a list vtpatch writes and a list a launcher reads can never mean two things.
// Input: one mode byte, then the body or the statement's values separated by NUL.
#include <string>
#include <vector>

#include "format/KeyList.h"
#include "fuzz/FuzzSupport.h"

namespace vt::fuzz {
namespace {

bool SameList(const format::KeyList& a, const format::KeyList& b) {
    if (a.keys.size() != b.keys.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.keys.size(); ++i) {
        if (a.keys[i].key != b.keys[i].key || a.keys[i].expires != b.keys[i].expires) {
            return false;
        }
    }
    return a.serial == b.serial && a.expires == b.expires && a.minSerial == b.minSerial &&
           a.root == b.root && a.rotatedFrom == b.rotatedFrom && a.chain == b.chain;
}

void Body(std::string_view bytes) {
    const std::optional<format::KeyList> list = format::ReadKeyListBody(bytes);
    if (!list) {
        return;
    }
    Check(list->keys.size() <= format::kMostPublishKeys, "a list read with too many keys",
          Shown(bytes));
    const std::string written = format::KeyListBodyText(*list);
    const std::optional<format::KeyList> again = format::ReadKeyListBody(written);
    Check(again && SameList(*list, *again), "a list written back reads otherwise", Shown(bytes));
    Check(again && format::KeyListBodyText(*again) == written, "the written form is not stable",
          Shown(written));
}

void Statement(std::string_view bytes) {
    std::vector<std::string> values(5);
    std::size_t field = 0;
    for (char c : bytes) {
        if (c == '\0') {
            field = (field + 1) % values.size();
        } else {
            values[field].push_back(c);
        }
    }
    static const char* const kNames[] = {"game", "size", "sha256", "serial", "signature"};
    auto value = [&](const std::string& key) {
        for (std::size_t i = 0; i < values.size(); ++i) {
            if (key == kNames[i]) {
                return values[i];
            }
        }
        return std::string();
    };
    const format::StatementReading reading = format::ReadStatement(value);
    if (reading.form != format::StatementForm::Present) {
        return;
    }
    // The signed text must hold each value on a line of its own.
    const std::string text = format::StatementText(reading.signedStatement.statement);
    Check(text.find(reading.signedStatement.statement.game + "\nsize=") != std::string::npos,
          "a statement's game runs into its other lines", Shown(text));
}

}  // namespace
}  // namespace vt::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vt::fuzz;
    if (size == 0) {
        return 0;
    }
    const std::string_view rest = AsBytes(data + 1, size - 1);
    if (data[0] % 2 == 0) {
        Body(rest);
    } else {
        Statement(rest);
    }
    return 0;
}
