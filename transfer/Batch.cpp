#include "transfer/Batch.h"

namespace vt {

Staging StagingOf(const BatchFile& file) {
    Staging staging;
    staging.path = file.stagingPath;
    staging.pin = file.pin;
    staging.shownName = file.shownName;
    return staging;
}

BatchResult InOrderDownloader::FetchAll(std::span<const BatchFile> files, BatchListener& listener) {
    bool asked = false;
    for (std::size_t i = 0; i < files.size(); ++i) {
        const BatchFile& file = files[i];
        Staging staging = StagingOf(file);
        staging.beforePlace = [&listener, &asked] {
            if (!asked) {
                listener.BeforeFirstPlace();
                asked = true;
            }
        };
        const DownloadResult result = DownloadFileWithProgress(
            transfer_, view_, clock_, file.url, file.directory, file.fileName, L"", L"", staging);
        if (!result.Stored()) {
            return {result, i};
        }
        listener.Placed(i);
    }
    return {};
}

}  // namespace vt
