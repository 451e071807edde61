#include "certstore/selection_dialog_module.h"

namespace tessaly {

std::atomic<platform::ModuleHandle> g_selectionDialogModule{};

void releaseSelectionDialogModule(platform::CertificateServices& certs) {
    const platform::ModuleHandle module = g_selectionDialogModule.exchange({});
    if (module) {
        certs.freeSelectionDialog(module);
    }
}

}  // namespace tessaly
