#include "vtpatch/PublishState.h"

#include <algorithm>

#include "format/Serial.h"
#include "vtpatch/Failure.h"
#include "vtpatch/Files.h"

namespace vt::vtpatch {
namespace {

constexpr std::string_view kStateKey = "serial=";

// Past the largest serial there is no next one: the key's order of publishes is used up.
uint64_t After(uint64_t serial, const std::string& source) {
    std::optional<uint64_t> next = format::NextSerialAfter(serial);
    if (!next) {
        throw Refused({source + " is at serial " + std::to_string(serial) +
                       ", the largest a launcher takes (2^53); there is no later one"});
    }
    return *next;
}

}  // namespace

std::string StatePath(const std::string& keyPath) {
    std::string base = keyPath;
    if (base.ends_with(".pem")) {
        base.resize(base.size() - 4);
    }
    return base + ".state";
}

std::optional<uint64_t> ReadState(const std::string& path) {
    if (!Exists(path)) {
        return std::nullopt;
    }
    std::optional<std::string> text = ReadFile(path);
    if (!text) {
        throw Failure("cannot read the publish state " + path);
    }
    std::string_view value = *text;
    while (!value.empty() && (value.back() == '\n' || value.back() == '\r')) {
        value.remove_suffix(1);
    }
    const format::SerialReading reading = value.starts_with(kStateKey)
                                              ? format::ReadSerial(value.substr(kStateKey.size()))
                                              : format::SerialReading{};
    if (reading.form != format::SerialForm::Number) {
        throw Refused({path + ": not a publish state (one line serial=<n>, n at most 2^53); "
                              "restore it from the key's backup, or remove it to count from "
                              "the publish time and the served profile"});
    }
    return reading.value;
}

void WriteState(const std::string& path, uint64_t serial) {
    PendingFile file(path, 0600);
    file.Write(std::string(kStateKey) + std::to_string(serial) + "\n");
    file.Sync();
    file.Commit();
}

uint64_t NextSerial(const SerialSources& sources) {
    uint64_t next = sources.now > 0 ? static_cast<uint64_t>(sources.now) : 0;
    if (next > format::kLargestSerial) {
        throw Refused({"the publish time " + std::to_string(next) +
                       " is past the largest serial a launcher takes (2^53)"});
    }
    if (sources.state) {
        next = std::max(next, After(*sources.state, "the publish state"));
    }
    if (sources.served) {
        next = std::max(next, After(*sources.served, "the served profile"));
    }
    return next;
}

}  // namespace vt::vtpatch
