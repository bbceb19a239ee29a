#include "launcher/Writability.h"

#include "patch/frmVtUpdate.h"

namespace vt {

Writability DecideWritability(FolderProbe& probe, const std::vector<std::wstring>& folders,
                              bool alreadyElevated) {
    for (const std::wstring& folder : folders) {
        if (probe.Probe(folder) == ProbeResult::Denied) {
            return {alreadyElevated ? WriteDecision::Explain : WriteDecision::AskElevation, folder};
        }
    }
    return {};
}

std::vector<std::wstring> FoldersToProbe(const std::wstring& installDir) {
    // Every folder the load makes and the run writes into, the card sets' included; a missing
    // folder probes as Unknown: the run creates it in its writable parent.
    std::vector<std::wstring> folders = {installDir};
    for (const std::wstring& relative : InstallationTree()) {
        folders.push_back(installDir + L"\\" + relative);
    }
    return folders;
}

bool HasElevatedMarker(std::wstring_view commandLine) {
    // Skip the program's name, quoted or not; the rest splits at spaces.
    size_t i = 0;
    if (!commandLine.empty() && commandLine[0] == L'"') {
        size_t close = commandLine.find(L'"', 1);
        i = close == std::wstring_view::npos ? commandLine.size() : close + 1;
    } else {
        while (i < commandLine.size() && commandLine[i] != L' ' && commandLine[i] != L'\t') {
            ++i;
        }
    }
    while (i < commandLine.size()) {
        while (i < commandLine.size() && (commandLine[i] == L' ' || commandLine[i] == L'\t')) {
            ++i;
        }
        size_t end = i;
        while (end < commandLine.size() && commandLine[end] != L' ' && commandLine[end] != L'\t') {
            ++end;
        }
        if (commandLine.substr(i, end - i) == kElevatedMarker) {
            return true;
        }
        i = end;
    }
    return false;
}

std::wstring UnwritableFolderText(const std::wstring& folder, UnwritableReason reason) {
    std::wstring why;
    switch (reason) {
        case UnwritableReason::ElevationDeclined:
            why = L"관리자 권한 요청이 취소되었습니다.";
            break;
        case UnwritableReason::ElevationFailed:
            why = L"관리자 권한으로 다시 시작하지 못했습니다.";
            break;
        case UnwritableReason::StillDenied:
            why = L"관리자 권한으로도 이 폴더에 쓸 수 없습니다.";
            break;
    }
    return L"게임을 업데이트하려면 아래 폴더에 파일을 써야 하지만, 이 폴더에 쓸 권한이 "
           L"없습니다.\r\n\r\n" +
           folder + L"\r\n\r\n" + why +
           L"\r\n\r\n다음 중 한 가지 방법을 사용해 주십시오.\r\n"
           L"- 런처를 마우스 오른쪽 단추로 클릭하고 \"관리자 권한으로 실행\"을 선택합니다.\r\n"
           L"- 게임을 직접 관리하는 폴더(예: 문서 폴더 아래)에 다시 설치합니다.";
}

}  // namespace vt
