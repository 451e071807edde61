// The expired-certificate picker: the selection dialog over the user's "MY" view, listing only
// certificates of the accepted issuing CAs that carry an Authority Key Identifier.
#pragma once

#include <list>
#include <string>
#include <string_view>

#include "platform/certificate_services.h"

class QWidget;

namespace tessaly::ui {

// The accepted issuing CAs' names, in the order added. UI thread only.
class CStringMap {
  public:
    ~CStringMap() { clear(); }
    void append(std::u16string name) { names_.push_back(std::move(name)); }
    bool contains(std::u16string_view name) const;
    bool empty() const { return names_.empty(); }
    std::size_t size() const { return names_.size(); }
    void clear() { names_.clear(); }

  private:
    std::list<std::u16string> names_;
};

// Program-wide list of accepted issuers; every picker run appends the names again.
extern CStringMap g_acceptedIssuers;

// Splits `text` at ";" and appends the names up to the first empty one.
void AddIssuers(std::u16string_view text);
// True when `name` is in the list: exact, case-sensitive, untrimmed.
bool IsAcceptedIssuer(std::u16string_view name);

// One picker run. Its destructor releases the selection dialog module if it is still held.
class CCretSelect {
  public:
    CCretSelect(platform::CertificateServices& certs, QWidget* parent)
        : certs_(certs), parent_(parent) {}
    ~CCretSelect();
    CCretSelect(const CCretSelect&) = delete;
    CCretSelect& operator=(const CCretSelect&) = delete;

    // 0: chosen, `chosen` holds a context the caller frees; 1: none chosen; -1: the chosen
    // certificate has no Authority Key Identifier.
    int SelectCertificate(platform::CertHandle& chosen, platform::StoreHandle store);
    // Whether the dialog lists `certificate`.
    bool FilterCertificate(platform::CertHandle certificate) const;

  private:
    platform::CertificateServices& certs_;
    QWidget* parent_;
};

// 0: chosen (the caller frees `chosen`); 1: the dialog was closed without a choice; -1, -2, -3:
// failed, after its own message (module unavailable, store not opened, extension missing).
int selectExpiredCertificate(QWidget* owner, platform::CertificateServices& certs,
                             platform::CertHandle& chosen);

}  // namespace tessaly::ui
