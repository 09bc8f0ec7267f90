// One QApplication for the whole test program, on the offscreen platform
// unless the environment names another.
#pragma once

#include <QApplication>

inline void EnsureQtTestApplication() {
    if (QApplication::instance() != nullptr) return;
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "test_ui";
    static char* argv[] = {name, nullptr};
    // Never destroyed: at exit Qt's thread storage is gone before a static
    // application object would be, and its font teardown then crashes.
    new QApplication(argc, argv);
}
