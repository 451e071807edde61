#include "ui/abandonable_internet.h"

#include "platform/last_error.h"
#include "transport/internet_root.h"

namespace tessaly::ui {

using platform::InternetHandle;
namespace inet = platform::inet;

AbandonableInternet::AbandonableInternet(std::shared_ptr<platform::InternetServices> inner)
    : inner_(std::move(inner)) {}

void AbandonableInternet::abandon() {
    abandoned_.store(true);
    // After the flag: a root published later is refused at its next call anyway.
    closePublishedInternetHandle(*inner_);
}

bool AbandonableInternet::refused() const {
    if (!abandoned_.load()) {
        return false;
    }
    platform::setLastError(inet::kErrorOperationCancelled);
    return true;
}

bool AbandonableInternet::crackUrl(std::u16string_view url, std::uint32_t flags,
                                   platform::UrlComponents& components) {
    return !refused() && inner_->crackUrl(url, flags, components);
}

InternetHandle AbandonableInternet::open(std::u16string_view agent, std::uint32_t accessType,
                                         std::u16string_view proxy, std::u16string_view proxyBypass,
                                         std::uint32_t flags) {
    if (refused()) {
        return {};
    }
    return inner_->open(agent, accessType, proxy, proxyBypass, flags);
}

bool AbandonableInternet::setOption(InternetHandle handle, std::uint32_t option,
                                    std::uint32_t value) {
    return !refused() && inner_->setOption(handle, option, value);
}

bool AbandonableInternet::queryOption(InternetHandle handle, std::uint32_t option,
                                      std::uint32_t& value) {
    return !refused() && inner_->queryOption(handle, option, value);
}

InternetHandle AbandonableInternet::connect(InternetHandle root, std::u16string_view host,
                                            std::uint16_t port, std::u16string_view user,
                                            std::u16string_view password, std::uint32_t service,
                                            std::uint32_t flags, std::uintptr_t context) {
    if (refused()) {
        return {};
    }
    return inner_->connect(root, host, port, user, password, service, flags, context);
}

InternetHandle AbandonableInternet::openRequest(InternetHandle connection, std::u16string_view verb,
                                                std::u16string_view objectName,
                                                std::u16string_view version,
                                                std::u16string_view referrer,
                                                std::span<const std::u16string_view> acceptTypes,
                                                std::uint32_t flags, std::uintptr_t context) {
    if (refused()) {
        return {};
    }
    return inner_->openRequest(connection, verb, objectName, version, referrer, acceptTypes, flags,
                               context);
}

bool AbandonableInternet::sendRequest(InternetHandle request, std::u16string_view headers,
                                      std::span<const std::uint8_t> body) {
    return !refused() && inner_->sendRequest(request, headers, body);
}

bool AbandonableInternet::queryInfoNumber(InternetHandle request, std::uint32_t infoLevel,
                                          std::uint32_t& value) {
    return !refused() && inner_->queryInfoNumber(request, infoLevel, value);
}

bool AbandonableInternet::queryInfoText(InternetHandle request, std::uint32_t infoLevel,
                                        std::size_t bufferBytes, std::u16string& text) {
    return !refused() && inner_->queryInfoText(request, infoLevel, bufferBytes, text);
}

bool AbandonableInternet::readFile(InternetHandle request, std::uint8_t* buffer,
                                   std::uint32_t bytesToRead, std::uint32_t& bytesRead) {
    if (refused()) {
        bytesRead = 0;
        return false;
    }
    return inner_->readFile(request, buffer, bytesToRead, bytesRead);
}

std::uint32_t AbandonableInternet::errorDialog(InternetHandle request, std::uint32_t error,
                                               std::uint32_t flags) {
    if (refused()) {
        return inet::kErrorOperationCancelled;
    }
    return inner_->errorDialog(request, error, flags);
}

bool AbandonableInternet::closeHandle(InternetHandle handle) {
    return inner_->closeHandle(handle);
}

}  // namespace tessaly::ui
