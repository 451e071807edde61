#include "shown_probe.h"

#include <QApplication>
#include <QEvent>
#include <QMetaObject>
#include <QWidget>
#include <cstdio>
#include <string>

#include "bench_support.h"

namespace tessaly::bench {

namespace {

std::string g_watchedName;

class ShownProbe : public QObject {
  public:
    using QObject::QObject;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (!reported_ && event->type() == QEvent::Paint && watched->isWidgetType() &&
            watched->objectName() == QString::fromStdString(g_watchedName)) {
            reported_ = true;
            std::printf("shown %.3f\n", nowMs());
            std::fflush(stdout);
            auto* widget = static_cast<QWidget*>(watched);
            QMetaObject::invokeMethod(
                widget, [widget] { widget->close(); }, Qt::QueuedConnection);
        }
        return false;
    }

  private:
    bool reported_ = false;
};

}  // namespace

void installShownProbe() {
    if (!g_watchedName.empty()) {
        qApp->installEventFilter(new ShownProbe(qApp));
    }
}

void watchForShown(const char* objectName) {
    g_watchedName = objectName;
}

}  // namespace tessaly::bench

// Runs when the program's QApplication is made (Qt calls every registered start-up function).
static void installShownProbeAtStart() {
    tessaly::bench::installShownProbe();
}
Q_COREAPP_STARTUP_FUNCTION(installShownProbeAtStart)
