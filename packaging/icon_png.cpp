// Writes the program's icon as PNG files for the package: DIR/<N>x<N>/tessaly.png for each size
// given. Drawn by the same code as the window's icon, so the two never differ.
#include <QDir>
#include <QImage>
#include <QString>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "ui/program_icon.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s DIR SIZE...\n", argc > 0 ? argv[0] : "icon_png");
        return EXIT_FAILURE;
    }
    const QString directory = QString::fromLocal8Bit(argv[1]);
    for (int index = 2; index < argc; ++index) {
        const int size = std::atoi(argv[index]);
        if (size <= 0) {
            std::fprintf(stderr, "not a size: %s\n", argv[index]);
            return EXIT_FAILURE;
        }
        const QString folder = directory + QStringLiteral("/%1x%1").arg(size);
        const QString file = folder + QStringLiteral("/tessaly.png");
        if (!QDir().mkpath(folder) || !tessaly::ui::drawProgramIcon(size).save(file, "PNG")) {
            std::fprintf(stderr, "cannot write %s\n", file.toLocal8Bit().constData());
            return EXIT_FAILURE;
        }
    }
    return EXIT_SUCCESS;
}
