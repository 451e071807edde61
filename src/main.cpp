#include <cstdio>

// Until the dialogs exist the program only says what it is.
int main() {
    std::puts("Tessaly: the renewal logic is built and tested; the dialogs come next.");
    return 0;
}
