// g_hInternet: the running job's root handle, published so that the watchdog on the UI
// thread can close it and so cut short a call the worker is blocked in.
//
// Each root handle is closed exactly once: whoever closes it first takes it out of the slot
// with an atomic operation, and only the one who took it closes it.
#pragma once

#include <atomic>

#include "platform/handles.h"
#include "platform/internet_services.h"

namespace tessaly {

extern std::atomic<platform::InternetHandle> g_hInternet;

// The worker's side: closes `handle` unless the watchdog has taken it already, and clears it.
void closeInternetHandle(platform::InternetServices& net, platform::InternetHandle& handle);

// The watchdog's side: takes whatever the slot holds and closes it. Returns whether it closed one.
bool closePublishedInternetHandle(platform::InternetServices& net);

}  // namespace tessaly
