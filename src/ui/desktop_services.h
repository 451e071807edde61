// The services an attempt runs on at the desktop: the certificate services over the user's NSS
// database and the Internet services on libcurl, each with the dialogs that answer its
// questions. The TLS client trusts the system's CAs and the user's trusted roots.
#pragma once

#include <memory>

#include "ui/supervision.h"
#include "ui/ui_thread_bridge.h"

namespace tessaly::ui {

// Needs libcurl's process-wide set-up done. The services keep their dialogs alive; the NSS
// database is shut down when the last share of the certificate services goes.
RenewalServices makeDesktopServices(std::shared_ptr<UiThreadBridge> bridge);

}  // namespace tessaly::ui
