// A QApplication around the GoogleTest run. The offscreen platform is the default, so that the
// tests also run (and list themselves) where CTest's environment is not set.
#include <gtest/gtest.h>

#include <QApplication>

#if defined(__SANITIZE_THREAD__)
// Qt is not built with ThreadSanitizer: its own threads (the painting thread pool) hand memory
// over through synchronisation TSan cannot see. Accesses made inside Qt are ignored; all of our
// code, including what Qt calls back on the UI thread, stays checked. TSAN_OPTIONS adds to this.
extern "C" const char* __tsan_default_options() {
    return "ignore_noninstrumented_modules=1";
}
#endif

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
