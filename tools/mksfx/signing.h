// Authenticode signatures of finished files: signing through osslsigncode (signing.cpp) and
// reading the certificate table back for list and verify (signature.cpp).
//
// A signing tool changes two fields of the PE header (the image checksum and the
// certificate-table entry) and appends the certificate table after the archive. The builder
// sets OPT_SIGNABLE and leaves both fields zero, so that the stub's header check, which then
// takes them as zero, accepts the file signed or not (base/format.h).
#pragma once
#include <string>
#include <vector>

#include "tools/mksfx/sfxfile.h"

struct x509_st;  // libcrypto's X509

namespace sfx {

// ---- signing.cpp: signing ---------------------------------------------------------------------
struct SignOptions {
    std::string cert, key, passFile, timestamp, pkcs12;  // --sign-cert, --sign-key, ...
    bool Wanted() const {
        return !cert.empty() || !key.empty() || !passFile.empty() || !timestamp.empty() || !pkcs12.empty();
    }
};
// Checks before any long work that osslsigncode is installed, that the options go together
// and that the key (unlocked with the password file) fits the certificate; fails naming
// what is wrong.
void CheckSigner(const SignOptions& options);
// Signs the finished file `from` into the new file `to`, then reads `to` back and fails
// unless it is sound and signed. `description` (may be empty) names the program in the
// signature, as Windows shows it when asking for elevation.
Signature SignFile(const SignOptions& options, const std::string& from, const std::string& to,
                   const std::string& description);

// ---- signature.cpp: reading ---------------------------------------------------------------------
// Reads the certificate table of `file` (ReadFile's, the walk complete) whose PE header
// stands at `pe`, and checks it: the entry set only in a file whose header check allows it,
// the table after the archive and inside the file, aligned, made of well-formed
// WIN_CERTIFICATE entries of PKCS#7 signed data that name their signer. Answers the faults.
std::vector<std::string> ReadSignature(File* file, size_t pe, Signature* signature);
// "yes (CN=...)" or "no", for list and verify.
std::string SignatureLine(const Signature& signature);
// A certificate's subject as "CN=..., O=...", in UTF-8.
std::string SubjectText(const x509_st* certificate);
// The signer's subject from one PKCS#7 signed-data blob; false with `error` when it cannot be
// read. With OpenSSL in signing.cpp; mksfx.exe (unsigned.cpp) only checks that the blob is
// one DER sequence that fills its entry, and does not name the signer.
bool SignerOf(const std::string& der, std::string* subject, std::string* error);

}  // namespace sfx
