// The Internet services as one renewal attempt's worker sees them. When the attempt is
// abandoned (a forced end), every later call fails at once as cancelled, and the root the
// attempt published is closed so that a call blocked under it fails too; the worker then
// unwinds on its own instead of carrying on with the renewal in the background. Closing
// handles still goes through, so nothing is leaked.
#pragma once

#include <atomic>
#include <memory>

#include "platform/internet_services.h"

namespace tessaly::ui {

class AbandonableInternet final : public platform::InternetServices {
  public:
    explicit AbandonableInternet(std::shared_ptr<platform::InternetServices> inner);

    // Any thread; idempotent.
    void abandon();
    bool abandoned() const { return abandoned_.load(); }

    bool crackUrl(std::u16string_view url, std::uint32_t flags,
                  platform::UrlComponents& components) override;
    platform::InternetHandle open(std::u16string_view agent, std::uint32_t accessType,
                                  std::u16string_view proxy, std::u16string_view proxyBypass,
                                  std::uint32_t flags) override;
    bool setOption(platform::InternetHandle handle, std::uint32_t option,
                   std::uint32_t value) override;
    bool queryOption(platform::InternetHandle handle, std::uint32_t option,
                     std::uint32_t& value) override;
    platform::InternetHandle connect(platform::InternetHandle root, std::u16string_view host,
                                     std::uint16_t port, std::u16string_view user,
                                     std::u16string_view password, std::uint32_t service,
                                     std::uint32_t flags, std::uintptr_t context) override;
    platform::InternetHandle openRequest(platform::InternetHandle connection,
                                         std::u16string_view verb, std::u16string_view objectName,
                                         std::u16string_view version, std::u16string_view referrer,
                                         std::span<const std::u16string_view> acceptTypes,
                                         std::uint32_t flags, std::uintptr_t context) override;
    bool sendRequest(platform::InternetHandle request, std::u16string_view headers,
                     std::span<const std::uint8_t> body) override;
    bool queryInfoNumber(platform::InternetHandle request, std::uint32_t infoLevel,
                         std::uint32_t& value) override;
    bool queryInfoText(platform::InternetHandle request, std::uint32_t infoLevel,
                       std::size_t bufferBytes, std::u16string& text) override;
    bool readFile(platform::InternetHandle request, std::uint8_t* buffer, std::uint32_t bytesToRead,
                  std::uint32_t& bytesRead) override;
    std::uint32_t errorDialog(platform::InternetHandle request, std::uint32_t error,
                              std::uint32_t flags) override;
    bool closeHandle(platform::InternetHandle handle) override;

  private:
    // True (with the last error set) when the attempt was abandoned.
    bool refused() const;

    std::shared_ptr<platform::InternetServices> inner_;
    std::atomic<bool> abandoned_{false};
};

}  // namespace tessaly::ui
