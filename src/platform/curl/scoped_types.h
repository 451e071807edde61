// One owner for each curl and OpenSSL object: unique_ptr aliases with the library's release
// function. Owners hold these by value; borrowers take raw pointers.
#pragma once

#include <curl/curl.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>

namespace tessaly::platform::curl {

template <class T, auto Release>
struct Releaser {
    void operator()(T* object) const {
        if (object != nullptr) {
            Release(object);
        }
    }
};

using EasyPtr = std::unique_ptr<CURL, Releaser<CURL, curl_easy_cleanup>>;
using MultiPtr = std::unique_ptr<CURLM, Releaser<CURLM, curl_multi_cleanup>>;
using SlistPtr = std::unique_ptr<curl_slist, Releaser<curl_slist, curl_slist_free_all>>;
using UrlPtr = std::unique_ptr<CURLU, Releaser<CURLU, curl_url_cleanup>>;
using X509Ptr = std::unique_ptr<X509, Releaser<X509, X509_free>>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, Releaser<EVP_PKEY, EVP_PKEY_free>>;
using BioPtr = std::unique_ptr<BIO, Releaser<BIO, BIO_free_all>>;

}  // namespace tessaly::platform::curl
