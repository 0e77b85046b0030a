// The checks of the files a start loads, made when the configuration is read, so that --check
// finds what a start would trip over: each returns "" or why the file would not do.
#pragma once

#include <string>

namespace tarvik::gateway {

// An existing regular file that can be read.
std::string ReadableFileProblem(const std::string& file);
// A PEM file holding at least one certificate authority's certificate.
std::string CaFileProblem(const std::string& file);
// A PEM certificate chain and the private key that belongs to it.
std::string CertificateProblem(const std::string& certFile, const std::string& keyFile);

} // namespace tarvik::gateway
