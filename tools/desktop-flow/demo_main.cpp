// The demo without a desktop: the real tool (its start-up, its dialogs, its fixed renewal URL)
// on Qt's offscreen platform, driven by DesktopFlow, printing each step and the final message.
// Exits 0 when the flow reached a final message.
#include <QApplication>
#include <QString>
#include <cstdio>
#include <cstdlib>

#include "desktop_flow.h"
#include "ui/app.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s PASSWORD\n", argc > 0 ? argv[0] : "tessaly-demo");
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    int qtArgc = 1;
    QApplication application(qtArgc, argv);

    tessaly::desktop_flow::DesktopFlow flow(
        {QString::fromUtf8(argv[1]), true, [](const std::string& step) {
             std::printf("  - %s\n", step.c_str());
             std::fflush(stdout);
         }});
    tessaly::ui::CLumenoApp().initInstance();
    if (!flow.finalMessage()) {
        std::printf("The flow ended without a final message.\n");
        return EXIT_FAILURE;
    }
    std::printf("== final message:\n%s\n", flow.finalMessage()->text.toStdString().c_str());
    return EXIT_SUCCESS;
}
