#pragma once

namespace testsupport {

enum class TestDisplay { offscreen, x11 };

// Runs the suite under a Qt widget application with a private home (settings, histories
// and caches go to a temporary folder). An X11 suite refuses to run without a display,
// but still lists its tests, so CTest can discover them anywhere.
int runQtTests(int argc, char** argv, TestDisplay display);

}  // namespace testsupport
