// Signing finished files with osslsigncode: `mksfx build --sign-*` and `mksfx sign`.
//
// Before any long work the certificate and the key are read here (PEM or DER, the key
// unlocked with the password file) and the key is matched against the certificates, so
// that a wrong key or password is named as such rather than as a failure of the tool.
// The tool writes only new files; OutputFile::Replace gives it one beside the output and
// puts it in place, so a signed file appears under its name only once it is complete and
// has been read back as sound and signed.
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/pkcs7.h>
#include <openssl/provider.h>
#include <openssl/x509.h>
#include <stdio.h>
#include <string.h>

#include <memory>
#include <sstream>

#include "tools/mksfx/commands.h"
#include "tools/mksfx/report.h"
#include "tools/mksfx/signing.h"

namespace sfx {

namespace {

const char kTool[] = "osslsigncode";

const char kHelp[] =
    "usage: mksfx sign --sign-cert CERT --sign-key KEY [OPTIONS] FILE...\n"
    "       mksfx sign --sign-pkcs12 FILE [OPTIONS] FILE...\n"
    "\n"
    "Signs finished self-extracting files in place with osslsigncode (Authenticode, SHA-256).\n"
    "Each FILE is checked first and replaced only when its signed form has been written and\n"
    "read back as sound; its mode stays. A signature already there is replaced.\n"
    "\n"
    "options:\n"
    "  --sign-cert CERT        the signer's certificate, and any chain after it (PEM or DER)\n"
    "  --sign-key KEY          its private key (PEM or DER)\n"
    "  --sign-pkcs12 FILE      certificate, chain and key in one PKCS#12 file (.pfx, .p12),\n"
    "                          in place of --sign-cert and --sign-key\n"
    "  --sign-pass-file FILE   the key's password, the file's first line\n"
    "  --sign-timestamp URL    a time-stamping server (RFC 3161) to countersign\n"
    "  -q, --quiet             print nothing but errors\n";

struct BioFree {
    void operator()(BIO* b) const { BIO_free(b); }
};
using Bio = std::unique_ptr<BIO, BioFree>;

std::string ReadNamed(const char* option, const std::string& path) {
    std::string bytes, error;
    if (!ReadWholeFile(path, &bytes, &error)) Fail(std::string(option) + ": " + Shown(error));
    return bytes;
}

Bio MemoryBio(const std::string& bytes) { return Bio(BIO_new_mem_buf(bytes.data(), (int)bytes.size())); }

// The password callback: answers the password, or -1 (no prompt) when there is none.
int GivePassword(char* buffer, int size, int, void* password) {
    const std::string* p = (const std::string*)password;
    if (!p || (int)p->size() > size) return -1;
    memcpy(buffer, p->data(), p->size());
    return (int)p->size();
}

// A PKCS#12 file (--sign-pkcs12): unlocked with the password (none given: an empty one or
// none), holding a key and the certificate that fits it.
void CheckPkcs12(const SignOptions& o, const std::string* password) {
    const std::string shown = "--sign-pkcs12 " + Shown(o.pkcs12);
    std::string bytes = ReadNamed("--sign-pkcs12", o.pkcs12);
    // Files exported by older systems are sealed with RC2 or 3DES, which OpenSSL keeps in its
    // legacy provider; where that is not installed, such a file fails below as locked.
    OSSL_PROVIDER_try_load(nullptr, "legacy", 1);
    Bio bio = MemoryBio(bytes);
    std::unique_ptr<PKCS12, void (*)(PKCS12*)> p12(d2i_PKCS12_bio(bio.get(), nullptr), PKCS12_free);
    ERR_clear_error();
    if (!p12)
        Fail(shown + ": not a PKCS#12 file (.pfx, .p12)" +
             (bytes.find("-----BEGIN") != std::string::npos ? "; PEM files go to --sign-cert and --sign-key" : ""));
    const char* pass = password ? password->c_str() : nullptr;
    bool unlocked = true;
    if (PKCS12_mac_present(p12.get())) {
        unlocked = password ? PKCS12_verify_mac(p12.get(), pass, (int)password->size())
                            : PKCS12_verify_mac(p12.get(), nullptr, 0) || PKCS12_verify_mac(p12.get(), "", 0);
        if (unlocked && !password && !PKCS12_verify_mac(p12.get(), nullptr, 0)) pass = "";
    }
    EVP_PKEY* key = nullptr;
    X509* cert = nullptr;
    STACK_OF(X509)* chain = nullptr;
    unlocked = unlocked && PKCS12_parse(p12.get(), pass, &key, &cert, &chain);
    ERR_clear_error();
    std::unique_ptr<EVP_PKEY, void (*)(EVP_PKEY*)> ownedKey(key, EVP_PKEY_free);
    std::unique_ptr<X509, void (*)(X509*)> ownedCert(cert, X509_free);
    std::unique_ptr<STACK_OF(X509), void (*)(STACK_OF(X509)*)> ownedChain(
        chain, [](STACK_OF(X509)* s) { sk_X509_pop_free(s, X509_free); });
    if (!unlocked && !password) Fail(shown + " is locked: give its password with --sign-pass-file FILE");
    if (!unlocked) Fail(shown + ": the password from --sign-pass-file " + Shown(o.passFile) + " does not unlock it");
    if (!key) Fail(shown + " holds no private key, only certificates (export it with its key)");
    // The certificate that fits the key is the signer's; one that does not stays in the chain.
    if (!cert && chain && sk_X509_num(chain) > 0)
        Fail(shown + ": its key does not fit the certificate in it (" + SubjectText(sk_X509_value(chain, 0)) + ")");
    if (!cert) Fail(shown + " holds no certificate, only a key");
}

}  // namespace

std::string SubjectText(const x509_st* certificate) {
    std::unique_ptr<BIO, int (*)(BIO*)> out(BIO_new(BIO_s_mem()), BIO_free);
    const unsigned long flags = XN_FLAG_SEP_CPLUS_SPC | XN_FLAG_FN_SN | ASN1_STRFLGS_UTF8_CONVERT |
                                ASN1_STRFLGS_ESC_CTRL | ASN1_STRFLGS_ESC_2253;
    if (!out || X509_NAME_print_ex(out.get(), X509_get_subject_name(certificate), 0, flags) < 0) return "";
    char* text = nullptr;
    long n = BIO_get_mem_data(out.get(), &text);
    return Shown(std::string(text, n > 0 ? (size_t)n : 0));
}

bool SignerOf(const std::string& der, std::string* subject, std::string* error) {
    const unsigned char* p = (const unsigned char*)der.data();
    std::unique_ptr<PKCS7, void (*)(PKCS7*)> p7(d2i_PKCS7(nullptr, &p, (long)der.size()), PKCS7_free);
    if (!p7 || !PKCS7_type_is_signed(p7.get())) return Refuse(error, "is not PKCS#7 signed data");
    STACK_OF(X509)* signers = PKCS7_get0_signers(p7.get(), nullptr, 0);
    *subject = signers && sk_X509_num(signers) > 0 ? SubjectText(sk_X509_value(signers, 0)) : "";
    sk_X509_free(signers);
    return !subject->empty() || Refuse(error, "does not hold its signer's certificate");
}

void CheckSigner(const SignOptions& o) {
    if (!o.pkcs12.empty() && (!o.cert.empty() || !o.key.empty()))
        UsageFail("--sign-pkcs12 holds the certificate and the key: give it without --sign-cert and --sign-key");
    if (o.pkcs12.empty() && (o.cert.empty() || o.key.empty()))
        UsageFail(std::string(o.cert.empty() ? "--sign-cert CERT" : "--sign-key KEY") +
                  " is missing: signing needs a certificate and its key (or --sign-pkcs12 FILE)");
    if (!OnPath(kTool))
        Fail("signing needs osslsigncode, which is not installed (Debian package osslsigncode; "
             "scripts/setup.sh installs it)");
    std::string password;
    bool havePassword = !o.passFile.empty();
    if (havePassword) {
        password = ReadNamed("--sign-pass-file", o.passFile);
        password = password.substr(0, password.find('\n'));
        if (!password.empty() && password.back() == '\r') password.pop_back();
    }
    if (!o.pkcs12.empty()) return CheckPkcs12(o, havePassword ? &password : nullptr);
    std::string certBytes = ReadNamed("--sign-cert", o.cert), keyBytes = ReadNamed("--sign-key", o.key);

    // One certificate or a chain in PEM, or one in DER.
    std::vector<std::unique_ptr<X509, void (*)(X509*)>> certs;
    Bio bio = MemoryBio(certBytes);
    while (X509* c = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)) certs.emplace_back(c, X509_free);
    if (certs.empty()) {
        bio = MemoryBio(certBytes);
        if (X509* c = d2i_X509_bio(bio.get(), nullptr)) certs.emplace_back(c, X509_free);
    }
    ERR_clear_error();
    if (certs.empty()) Fail("--sign-cert " + Shown(o.cert) + ": no certificate in it (PEM or DER)");

    std::string* pass = havePassword ? &password : nullptr;
    bio = MemoryBio(keyBytes);
    EVP_PKEY* key = PEM_read_bio_PrivateKey(bio.get(), nullptr, GivePassword, pass);
    if (!key) {
        bio = MemoryBio(keyBytes);
        key = d2i_PKCS8PrivateKey_bio(bio.get(), nullptr, GivePassword, pass);
    }
    if (!key) {
        bio = MemoryBio(keyBytes);
        key = d2i_PrivateKey_bio(bio.get(), nullptr);
    }
    // A PEM key says so in its header; a DER one is encrypted when it reads as an encrypted
    // PKCS#8 structure.
    bool encrypted = keyBytes.find("ENCRYPTED") != std::string::npos;
    if (!key && !encrypted) {
        bio = MemoryBio(keyBytes);
        if (X509_SIG* sealed = d2i_PKCS8_bio(bio.get(), nullptr)) {
            encrypted = true;
            X509_SIG_free(sealed);
        }
    }
    ERR_clear_error();
    std::unique_ptr<EVP_PKEY, void (*)(EVP_PKEY*)> owned(key, EVP_PKEY_free);
    if (!key && encrypted && !havePassword)
        Fail("--sign-key " + Shown(o.key) + " is encrypted: give its password with --sign-pass-file FILE");
    if (!key && encrypted)
        Fail("--sign-key " + Shown(o.key) + ": the password from --sign-pass-file " + Shown(o.passFile) +
             " does not unlock it");
    if (!key) Fail("--sign-key " + Shown(o.key) + ": no private key in it (PEM or DER)");
    for (const auto& c : certs)
        if (X509_check_private_key(c.get(), key)) return;
    ERR_clear_error();
    Fail("--sign-key " + Shown(o.key) + " does not fit the certificate in --sign-cert " + Shown(o.cert) + " (" +
         SubjectText(certs[0].get()) + ")");
}

Signature SignFile(const SignOptions& o, const std::string& from, const std::string& to,
                   const std::string& description) {
    std::vector<std::string> argv{kTool, "sign", "-h", "sha256"};
    if (o.pkcs12.empty()) argv.insert(argv.end(), {"-certs", o.cert, "-key", o.key});
    else argv.insert(argv.end(), {"-pkcs12", o.pkcs12});
    if (!o.passFile.empty()) argv.insert(argv.end(), {"-readpass", o.passFile});
    if (!description.empty()) argv.insert(argv.end(), {"-n", description});
    if (!o.timestamp.empty()) argv.insert(argv.end(), {"-ts", o.timestamp});
    argv.insert(argv.end(), {"-in", from, "-out", to});
    std::string output;
    int status = RunTool(argv, &output);
    if (status != 0) {
        // Its own lines say what went wrong (a time-stamping server out of reach, ...).
        std::string said;
        std::istringstream lines(output);
        for (std::string line; std::getline(lines, line);) {
            // Its advice names its own options ("Use the "-t" option to add ..."), which mksfx
            // does not have: here the time-stamping server is --sign-timestamp.
            if (line.find("Use the \"-t") != std::string::npos)
                line = "another time-stamping server may be given with --sign-timestamp URL";
            if (!line.empty() && line != "Failed" && said.size() < 400) said += (said.empty() ? "" : "; ") + line;
        }
        Fail(std::string(kTool) + (status < 0 ? " could not be started" : " failed (exit status " +
             std::to_string(status) + ")") + (said.empty() ? "" : ": " + Shown(said)));
    }
    File f;
    std::vector<std::string> faults;
    ReadFile(to, &f, &faults);
    for (const std::string& fault : CheckFile(&f, true)) faults.push_back(fault);
    if (!faults.empty()) Fail("the signed file is not sound: " + faults.front());
    if (!f.signature.present) Fail(std::string(kTool) + " wrote no signature");
    return f.signature;
}

namespace {

int Sign(int argc, char** argv) {
    SignOptions o;
    bool quiet = false;
    std::vector<std::string> files;
    const struct {
        const char* name;
        std::string SignOptions::*value;
    } valued[] = {{"--sign-cert", &SignOptions::cert},
                  {"--sign-key", &SignOptions::key},
                  {"--sign-pass-file", &SignOptions::passFile},
                  {"--sign-timestamp", &SignOptions::timestamp},
                  {"--sign-pkcs12", &SignOptions::pkcs12}};
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            fputs(kHelp, stdout);
            return 0;
        }
        if (arg == "-q" || arg == "--quiet") {
            quiet = true;
            continue;
        }
        bool known = false;
        for (const auto& v : valued) {
            if (arg != v.name) continue;
            if (i + 1 >= argc) UsageFail("option " + arg + " needs a value");
            if (!(o.*v.value).empty()) UsageFail(arg + " is given twice");
            o.*v.value = argv[++i];
            known = true;
        }
        if (known) continue;
        if (arg.size() > 1 && arg[0] == '-') UsageFail("unknown option " + Shown(arg));
        files.push_back(arg);
    }
    if (files.empty()) UsageFail("no FILE given");
    CheckSigner(o);
    int failed = 0;
    for (const std::string& path : files) {
        try {
            const std::string shown = Shown(path);
            File f;
            std::vector<std::string> faults;
            ReadFile(path, &f, &faults);
            // As `verify`: every member's data is decoded and its CRC-32 compared, so that only
            // a file the stub extracts completely gets a signature.
            for (const std::string& fault : CheckFile(&f, true)) faults.push_back(fault);
            if (!faults.empty()) Fail(shown + " is not sound (" + faults.front() + "); 'mksfx verify' names every fault");
            if (f.block.headerCrc != 0 && !(f.block.optionFlags & OPT_SIGNABLE))
                Fail(shown + " was built without room for a signature: signed, the stub would refuse it; "
                     "build it again with this mksfx");
            std::string description;
            for (const auto& text : f.resources.strings)
                if (text.first == "ProductName") description = text.second;
            OutputFile out(CheckOutputTarget(path, ""));
            Signature made;
            out.Replace([&](const std::string&, const std::string& to) { made = SignFile(o, path, to, description); });
            out.Commit();
            if (!quiet) printf("%s: signed: %s\n", shown.c_str(), SignatureLine(made).c_str());
        } catch (const Failure& failure) {
            Complain(failure.message);
            ++failed;
        }
    }
    return failed ? 1 : 0;
}

}  // namespace
}  // namespace sfx

int CommandSign(int argc, char** argv) { return sfx::Sign(argc, argv); }
