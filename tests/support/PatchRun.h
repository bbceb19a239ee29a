#pragma once
// What the tests of a patch run share: an installation with the product's folder tree, an
// in-memory patch server for the version check and the sets, and the patch window's handlers
// with a scripted transfer, a recording view, shell and hand-over, and a scripted clock.

#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "patch/frmVtUpdate.h"
#include "tests/support/FakePatchServer.h"
#include "tests/support/Fakes.h"
#include "tests/support/Installation.h"
#include "tests/support/ScriptedTransfer.h"

namespace vt::test {

class PatchRunTest : public ::testing::Test {
  protected:
    explicit PatchRunTest(Installation::Layout layout = Installation::Layout::Tree,
                          std::optional<PatchPublicKey> patchKey = std::nullopt)
        : install(layout), form{view, shell, &handOver, patchKey} {}

    // The installation folder as the load handler takes it: without its trailing backslash.
    std::wstring ExeDirectory() const { return dir.Path().substr(0, dir.Path().size() - 1); }
    // Loads the patch window over the installation and hands it the transfer and the clock,
    // as the program does.
    void LoadWindow() {
        form.Form_Load(ExeDirectory());
        form.UseTransfer(transfer, clock);
    }

    Installation install;
    TestDir& dir = install.dir;
    FakePatchServer server;
    ScriptedTransfer transfer;
    RecordingProgressView view;
    RecordingShell shell;
    RecordingHandOver handOver;
    ScriptedClock clock{10};
    frmVtUpdate form;
};

}  // namespace vt::test
