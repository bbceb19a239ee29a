#include "tests/support/FakePatchServer.h"

#include "base/Crypto.h"
#include "base/EndProgram.h"
#include "base/FileSystem.h"
#include "format/Pins.h"
#include "patch/Fetch.h"
#include "patch/Texts.h"

namespace vt::test {

std::wstring ObjectUrlOf(const std::string& bytes) {
    return ObjectUrl(
        {bytes.size(), Sha256Of(std::as_bytes(std::span(bytes.data(), bytes.size())))});
}

void FakePatchServer::Put(const std::wstring& url, const std::string& bytes) {
    files[url] = bytes;
    files[ObjectUrlOf(bytes)] = bytes;
}

std::vector<std::wstring> FakePatchServer::PayloadUrls() const {
    std::vector<std::wstring> out;
    for (const auto& c : calls) {
        if (c.progress) {
            out.push_back(c.url);
        }
    }
    return out;
}

void FakePatchServer::Store(bool progress, const std::wstring& url, const std::wstring& directory,
                            const std::wstring& fileName, const std::optional<Pin>& pin,
                            const std::function<void()>& beforeWrite) {
    calls.push_back({progress, url, directory, fileName, pin, std::nullopt, L""});
    const std::wstring target = directory + fileName;
    // The plain download replaces its file in TempDir at once; a payload keeps the installed
    // file until the new one is whole.
    if (!progress && fs::IsOrdinaryFile(target)) {
        fs::DeleteFile(target);
    }
    if (progress && endAtPayload && payloads_++ == *endAtPayload) {
        throw ProgramEnded{};
    }
    auto it = files.find(url);
    if (it == files.end()) {
        if (!progress) {
            messages.push_back(kReconnectText);
        }
        throw ProgramEnded{};
    }
    if (beforeWrite) {
        beforeWrite();
    }
    if (progress) {
        changesBeforePayload.push_back(changes);
    }
    auto out = fs::CreateOutputFile(target);
    if (!out) {
        throw ProgramEnded{};
    }
    out->Write(std::as_bytes(std::span(it->second.data(), it->second.size())));
}

void FakePatchServer::DownloadFile(const std::wstring& url, const std::wstring& directory,
                                   const std::wstring& fileName, const std::wstring&,
                                   const std::wstring&, const SizeBound& bound) {
    auto it = files.find(url);
    if (it != files.end() && bound.pinned && it->second.size() != bound.most) {
        calls.push_back({false, url, directory, fileName, std::nullopt, bound, L""});
        EndSetRun(*this, SetFault::DamagedFile, bound.shownName);
    }
    if (it != files.end() && it->second.size() > bound.most) {
        calls.push_back({false, url, directory, fileName, std::nullopt, bound, L""});
        messages.push_back(kReconnectText);
        throw ProgramEnded{};
    }
    Store(false, url, directory, fileName, std::nullopt);
    calls.back().bound = bound;
}

void FakePatchServer::FetchManifestObject(const BatchFile& file) {
    auto it = files.find(file.url);
    if (it != files.end() && it->second.size() != file.pin->size) {
        calls.push_back({false, file.url, file.directory, file.fileName, file.pin, std::nullopt,
                         file.stagingPath});
        EndSetRun(*this, SetFault::DamagedFile, file.shownName);
    }
    Store(false, file.url, file.directory, file.fileName, file.pin);
    calls.back().stagingPath = file.stagingPath;
}

void FakePatchServer::FetchPayloads(std::span<const BatchFile> batch, BatchListener& listener) {
    for (std::size_t i = 0; i < batch.size(); ++i) {
        const BatchFile& file = batch[i];
        Store(true, file.url, file.directory, file.fileName, file.pin, [&listener, i] {
            if (i == 0) {
                listener.BeforeFirstPlace();
            }
        });
        calls.back().stagingPath = file.stagingPath;
        listener.Placed(i);
    }
}

void FakePatchServer::SetState(RunState state) {
    states.push_back(StateText(state));
}

void FakePatchServer::Fail(SetFault fault, const std::wstring& file) {
    EndSetRun(*this, fault, file);
}

void FakePatchServer::ShowMessage(const std::wstring& text, const std::wstring& title,
                                  MessageStyle style) {
    messages.push_back(title + L"|" + text + L"|" + std::to_wstring(static_cast<unsigned>(style)));
}

}  // namespace vt::test
