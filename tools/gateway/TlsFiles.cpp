#include "TlsFiles.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace tarvik::gateway {
namespace {

using Context = std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)>;

// A context that never asks a terminal for a key's pass phrase: an encrypted key is refused.
Context NewContext() {
    Context c(SSL_CTX_new(TLS_method()), &SSL_CTX_free);
    if (c) SSL_CTX_set_default_passwd_cb(c.get(), [](char*, int, int, void*) { return 0; });
    return c;
}

// OpenSSL's reason for the last failure, and its error queue emptied.
std::string OpenSslReason(const char* fallback) {
    char text[256] = {};
    const unsigned long e = ERR_peek_last_error();
    if (e) ERR_error_string_n(e, text, sizeof text);
    ERR_clear_error();
    return e ? text : fallback;
}

} // namespace

std::string ReadableFileProblem(const std::string& file) {
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0 || ::access(file.c_str(), R_OK) != 0)
        return "cannot read " + file + ": " + std::strerror(errno);
    if (!S_ISREG(st.st_mode)) return file + " is not a regular file";
    return {};
}

std::string CaFileProblem(const std::string& file) {
    if (std::string problem = ReadableFileProblem(file); !problem.empty()) return problem;
    const Context c = NewContext();
    if (!c || SSL_CTX_load_verify_locations(c.get(), file.c_str(), nullptr) != 1)
        return file + " holds no certificate: " + OpenSslReason("not PEM");
    return {};
}

std::string CertificateProblem(const std::string& certFile, const std::string& keyFile) {
    for (const std::string* file : {&certFile, &keyFile})
        if (std::string problem = ReadableFileProblem(*file); !problem.empty()) return problem;
    const Context c = NewContext();
    if (!c || SSL_CTX_use_certificate_chain_file(c.get(), certFile.c_str()) != 1)
        return certFile + " holds no certificate: " + OpenSslReason("not PEM");
    if (SSL_CTX_use_PrivateKey_file(c.get(), keyFile.c_str(), SSL_FILETYPE_PEM) != 1)
        return keyFile + " holds no private key (or an encrypted one): " + OpenSslReason("not PEM");
    if (SSL_CTX_check_private_key(c.get()) != 1)
        return keyFile + " is not the key of " + certFile + ": " + OpenSslReason("mismatch");
    return {};
}

} // namespace tarvik::gateway
