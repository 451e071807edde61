#include "ui/app.h"

int main(int argc, char** argv) {
    return tessaly::ui::CLumenoApp().run(argc, argv);
}
