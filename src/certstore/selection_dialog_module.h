// The selection dialog module, held while the picker runs. Whoever ends a picker run (or
// the signer, which may find it still held) releases it once and clears the slot.
#pragma once

#include <atomic>

#include "platform/certificate_services.h"

namespace tessaly {

extern std::atomic<platform::ModuleHandle> g_selectionDialogModule;

// Releases the module if it is still held.
void releaseSelectionDialogModule(platform::CertificateServices& certs);

// Releases the module when the scope ends, on every way out.
class SelectionDialogModuleGuard {
  public:
    explicit SelectionDialogModuleGuard(platform::CertificateServices& certs) : certs_(certs) {}
    ~SelectionDialogModuleGuard() { releaseSelectionDialogModule(certs_); }
    SelectionDialogModuleGuard(const SelectionDialogModuleGuard&) = delete;
    SelectionDialogModuleGuard& operator=(const SelectionDialogModuleGuard&) = delete;

  private:
    platform::CertificateServices& certs_;
};

}  // namespace tessaly
