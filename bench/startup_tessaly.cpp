// The tool's own start-up (tessaly_app: locale, translations, curl, NSS and the user's roots,
// the main dialog), ended as soon as the main dialog is first drawn. The shipped tool reads no
// argument or variable of its own, so this bench-only program stands in for it.
#include "shown_probe.h"
#include "ui/app.h"

int main(int argc, char** argv) {
    tessaly::bench::watchForShown("mainDialog");
    return tessaly::ui::CLumenoApp().run(argc, argv);
}
