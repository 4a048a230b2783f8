#include "wincrypt.h"

#include "cryptnet.h"
#include "issuer_fetch.h"
#include "utf8.h"
#include "x509_owners.h"

#include <openssl/err.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unordered_map>
#include <vector>

namespace
{
// A certificate as the services hand it out: the platform's structures over
// the decoded certificate. It lives as long as its store.
struct Context
{
    CERT_CONTEXT ctx{}; // first, so a PCCERT_CONTEXT converts back
    CERT_INFO info{};
    X509Owner x509;
    std::vector<BYTE> der, serial, issuer, subject;
};

// A memory store: its certificates in the order they came.
struct Store
{
    std::vector<std::unique_ptr<Context>> certs;
};

struct ChainError
{
    int error;
    int depth;
};

struct Chain
{
    CERT_CHAIN_CONTEXT ctx{}; // first, so a PCCERT_CHAIN_CONTEXT converts back
    CERT_SIMPLE_CHAIN simple{};
    CERT_SIMPLE_CHAIN* simpleList[1]{};
    std::vector<CERT_CHAIN_ELEMENT> elements;
    std::vector<CERT_CHAIN_ELEMENT*> elementList;
    HCERTSTORE elementStore = nullptr; // a reference, held for the chain by the registry
    X509Owner leaf;
    bool hasSan = false;
};

// The one owner of every store, certificate context and chain handed out. A
// handle is the address of something the registry owns, and every call
// finds its handles here: a stale or forged one is refused, never read. A
// store lives while its handle or a context taken from it is held. What a
// lookup finds is lent out (shared), so a release on another thread never
// frees it under the caller.
class CCertRegistry
{
public:
    // Never destroyed: what callers still hold at exit must not be freed
    // after OpenSSL's own clean-up.
    static CCertRegistry& Get()
    {
        static CCertRegistry* registry = new CCertRegistry;
        return *registry;
    }

    HCERTSTORE OpenStore()
    {
        auto store = std::make_shared<Store>();
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stores.emplace(store.get(), StoreEntry{store, 1});
        return store.get();
    }

    bool IsStore(HCERTSTORE handle) const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return handle != nullptr && m_stores.count(handle) == 1;
    }

    // Takes the context into a live store; with `referenced` the caller
    // holds a reference to it. Null when the store is not live.
    PCCERT_CONTEXT Add(HCERTSTORE handle, std::unique_ptr<Context> context, bool referenced)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto entry = m_stores.find(handle);
        if (entry == m_stores.end() || context == nullptr)
            return nullptr;
        context->ctx.hCertStore = handle;
        const PCCERT_CONTEXT added = &context->ctx;
        entry->second.store->certs.push_back(std::move(context));
        m_contexts.emplace(added, handle);
        entry->second.references += referenced ? 1 : 0;
        return added;
    }

    // The context after `previous` (the first after null), with a reference.
    PCCERT_CONTEXT Next(HCERTSTORE handle, PCCERT_CONTEXT previous)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto entry = m_stores.find(handle);
        if (entry == m_stores.end())
            return nullptr;
        const auto& certs = entry->second.store->certs;
        size_t at = 0;
        if (previous)
        {
            while (at < certs.size() && &certs[at]->ctx != previous)
                ++at;
            ++at;
        }
        if (at >= certs.size())
            return nullptr;
        ++entry->second.references;
        return &certs[at]->ctx;
    }

    // The certificates of a live store, each with a reference of its own.
    std::vector<X509Owner> Certificates(HCERTSTORE handle) const
    {
        std::vector<X509Owner> out;
        std::lock_guard<std::mutex> lock(m_mutex);
        if (const auto entry = m_stores.find(handle); entry != m_stores.end())
            for (const auto& c : entry->second.store->certs)
                out.push_back(Referenced(c->x509.get()));
        return out;
    }

    std::shared_ptr<const Context> Find(PCCERT_CONTEXT handle) const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto context = m_contexts.find(handle);
        if (context == m_contexts.end())
            return nullptr;
        return std::shared_ptr<const Context>(m_stores.at(context->second).store,
                                              reinterpret_cast<const Context*>(handle));
    }

    // A further reference to a context's store; false for no live context.
    bool Hold(PCCERT_CONTEXT handle)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto context = m_contexts.find(handle);
        if (context == m_contexts.end())
            return false;
        ++m_stores.at(context->second).references;
        return true;
    }

    // Gives back a reference taken with a context; false for no live context.
    bool Release(PCCERT_CONTEXT handle)
    {
        std::shared_ptr<Store> gone; // freed after the lock
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto context = m_contexts.find(handle);
        if (context == m_contexts.end())
            return false;
        gone = Drop(context->second);
        return true;
    }

    // Gives back the store's own reference; false for no live store.
    bool CloseStore(HCERTSTORE handle)
    {
        std::shared_ptr<Store> gone;
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stores.count(handle) == 0)
            return false;
        gone = Drop(handle);
        return true;
    }

    PCCERT_CHAIN_CONTEXT AddChain(std::unique_ptr<Chain> chain)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const PCCERT_CHAIN_CONTEXT handle = &chain->ctx;
        m_chains.emplace(handle, std::move(chain));
        return handle;
    }

    std::shared_ptr<const Chain> FindChain(PCCERT_CHAIN_CONTEXT handle) const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto chain = m_chains.find(handle);
        return chain == m_chains.end() ? nullptr : chain->second;
    }

    // Frees a live chain and gives back its elements' store; others are refused quietly.
    void FreeChain(PCCERT_CHAIN_CONTEXT handle)
    {
        std::shared_ptr<Chain> chain;
        std::shared_ptr<Store> gone;
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto found = m_chains.find(handle);
        if (found == m_chains.end())
            return;
        chain = std::move(found->second);
        m_chains.erase(found);
        if (chain->elementStore && m_stores.count(chain->elementStore) == 1)
            gone = Drop(chain->elementStore);
    }

private:
    CCertRegistry() = default;

    struct StoreEntry
    {
        std::shared_ptr<Store> store;
        long references; // the store's handle and every context reference handed out
    };

    // One reference less; at the last the store and its contexts leave the
    // registry, and the store is handed back to be freed once unlocked.
    std::shared_ptr<Store> Drop(HCERTSTORE handle)
    {
        const auto entry = m_stores.find(handle);
        if (--entry->second.references > 0)
            return nullptr;
        std::shared_ptr<Store> store = std::move(entry->second.store);
        for (const auto& c : store->certs)
            m_contexts.erase(&c->ctx);
        m_stores.erase(entry);
        return store;
    }

    mutable std::mutex m_mutex;
    std::unordered_map<const void*, StoreEntry> m_stores;
    std::unordered_map<const void*, HCERTSTORE> m_contexts; // each context's store
    std::unordered_map<const void*, std::shared_ptr<Chain>> m_chains;
};

CCertRegistry& Registry() { return CCertRegistry::Get(); }

FILETIME FileTimeFromAsn1(const ASN1_TIME* time)
{
    tm parts{};
    if (time == nullptr || ASN1_TIME_to_tm(time, &parts) != 1)
        return FILETIME{0, 0};
    return platform::FileTimeFromUnix(static_cast<int64_t>(timegm(&parts)));
}

std::vector<BYTE> NameDer(const X509_NAME* name)
{
    unsigned char* buffer = nullptr;
    const int n = i2d_X509_NAME(name, &buffer);
    const OpenSslBytes owned(buffer);
    std::vector<BYTE> out;
    if (n > 0)
        out.assign(buffer, buffer + n);
    return out;
}

// One DER element: its tag byte and contents. Definite lengths only, as DER has.
bool ReadElement(const BYTE*& at, const BYTE* end, BYTE& tag, const BYTE*& contents, size_t& length)
{
    if (end - at < 2 || (at[0] & 0x1F) == 0x1F)
        return false;
    tag = *at++;
    length = *at++;
    if (length & 0x80)
    {
        size_t octets = length & 0x7F;
        if (octets == 0 || octets > sizeof(size_t) || static_cast<size_t>(end - at) < octets)
            return false;
        for (length = 0; octets > 0; --octets)
            length = (length << 8) | *at++;
    }
    if (static_cast<size_t>(end - at) < length)
        return false;
    contents = at;
    at += length;
    return true;
}

// The serial number as the certificate holds it (a leading 0x00 that keeps a
// number positive stays), least significant byte first. Decoding would drop
// that byte and turn a negative serial into its magnitude.
std::vector<BYTE> SerialFromEncoding(const std::vector<BYTE>& der)
{
    constexpr BYTE kSequence = 0x30, kVersion = 0xA0, kInteger = 0x02;
    const BYTE* at = der.data();
    const BYTE* contents = nullptr;
    size_t length = 0;
    BYTE tag = 0;
    if (!ReadElement(at, der.data() + der.size(), tag, contents, length) || tag != kSequence) // Certificate
        return {};
    at = contents;
    if (!ReadElement(at, contents + length, tag, contents, length) || tag != kSequence) // TBSCertificate
        return {};
    const BYTE* const tbsEnd = contents + length;
    at = contents;
    if (!ReadElement(at, tbsEnd, tag, contents, length))
        return {};
    if (tag == kVersion && !ReadElement(at, tbsEnd, tag, contents, length))
        return {};
    if (tag != kInteger || length == 0)
        return {};
    return std::vector<BYTE>(std::make_reverse_iterator(contents + length),
                             std::make_reverse_iterator(contents));
}

std::unique_ptr<Context> MakeContext(X509Owner certificate, const BYTE* der, size_t size)
{
    auto c = std::make_unique<Context>();
    X509* x509 = certificate.get();
    c->x509 = std::move(certificate);
    c->der.assign(der, der + size);
    c->serial = SerialFromEncoding(c->der);
    c->issuer = NameDer(X509_get_issuer_name(x509));
    c->subject = NameDer(X509_get_subject_name(x509));
    c->info.dwVersion = static_cast<DWORD>(X509_get_version(x509));
    c->info.SerialNumber = {static_cast<DWORD>(c->serial.size()), c->serial.data()};
    c->info.Issuer = {static_cast<DWORD>(c->issuer.size()), c->issuer.data()};
    c->info.Subject = {static_cast<DWORD>(c->subject.size()), c->subject.data()};
    c->info.NotBefore = FileTimeFromAsn1(X509_get0_notBefore(x509));
    c->info.NotAfter = FileTimeFromAsn1(X509_get0_notAfter(x509));
    c->info.cExtension = static_cast<DWORD>(std::max(0, X509_get_ext_count(x509)));
    c->ctx.dwCertEncodingType = X509_ASN_ENCODING;
    c->ctx.pbCertEncoded = c->der.data();
    c->ctx.cbCertEncoded = static_cast<DWORD>(c->der.size());
    c->ctx.pCertInfo = &c->info;
    return c;
}

// A context for a certificate already decoded, from its encoding; null when
// it has none.
std::unique_ptr<Context> MakeContext(X509Owner certificate)
{
    unsigned char* der = nullptr;
    const int n = certificate ? i2d_X509(certificate.get(), &der) : -1;
    const OpenSslBytes owned(der);
    if (n <= 0)
        return nullptr;
    return MakeContext(std::move(certificate), der, static_cast<size_t>(n));
}

bool IsDirectory(const char* path)
{
    struct stat info
    {};
    return path && ::stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

// The system trust store, built once per process. SSL_CERT_FILE, when set,
// is read whole as before. The system's roots are not parsed up front: the
// hashed certificate folders (SSL_CERT_DIR, and the system folder that
// mirrors the system bundle) are searched by subject hash when a chain needs
// an issuer, and what is found stays in the store for the next chain. Only
// without a system folder is the bundle read whole.
X509_STORE* TrustStore()
{
    static std::once_flag once;
    static X509_STORE* store = nullptr;
    std::call_once(once, [] {
        store = X509_STORE_new();
        if (store == nullptr)
            return;
        const char* file = ::secure_getenv(X509_get_default_cert_file_env());
        const char* dirs = ::secure_getenv(X509_get_default_cert_dir_env());
        const char* systemDir = X509_get_default_cert_dir();
        const bool systemDirThere = IsDirectory(systemDir);
        if (file || !systemDirThere)
            if (X509_LOOKUP* lookup = X509_STORE_add_lookup(store, X509_LOOKUP_file()))
                X509_LOOKUP_load_file(lookup, file ? file : X509_get_default_cert_file(), X509_FILETYPE_PEM);
        if (X509_LOOKUP* lookup = X509_STORE_add_lookup(store, X509_LOOKUP_hash_dir()))
        {
            if (dirs)
                X509_LOOKUP_add_dir(lookup, dirs, X509_FILETYPE_PEM);
            // The bundle's roots were trusted beside SSL_CERT_DIR; they still are.
            if ((dirs == nullptr || file == nullptr) && systemDirThere)
                X509_LOOKUP_add_dir(lookup, systemDir, X509_FILETYPE_PEM);
        }
        ERR_clear_error();
    });
    return store;
}

bool IsSelfIssued(X509* x) { return X509_check_issued(x, x) == X509_V_OK; }

// ----- names -----

const char* KeyName(int nid)
{
    switch (nid)
    {
    case NID_commonName: return "CN";
    case NID_localityName: return "L";
    case NID_organizationName: return "O";
    case NID_organizationalUnitName: return "OU";
    case NID_pkcs9_emailAddress: return "E";
    case NID_countryName: return "C";
    case NID_stateOrProvinceName: return "S";
    case NID_streetAddress: return "STREET";
    case NID_title: return "T";
    case NID_givenName: return "G";
    case NID_initials: return "I";
    case NID_surname: return "SN";
    case NID_domainComponent: return "DC";
    case NID_description: return "Description";
    case NID_postalCode: return "PostalCode";
    case NID_postOfficeBox: return "POBox";
    case NID_telephoneNumber: return "Phone";
    case NID_x121Address: return "X21Address";
    case NID_dnQualifier: return "dnQualifier";
    case NID_serialNumber: return "SERIALNUMBER";
    default: return nullptr;
    }
}

std::string EntryValue(const X509_NAME_ENTRY* entry)
{
    unsigned char* utf8 = nullptr;
    const int n = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(entry));
    const OpenSslBytes owned(utf8);
    std::string value;
    if (n > 0)
        value.assign(reinterpret_cast<char*>(utf8), static_cast<size_t>(n));
    return value;
}

std::string Quoted(const std::string& value)
{
    const bool edgeBlank = !value.empty() && (std::isspace(static_cast<unsigned char>(value.front())) ||
                                              std::isspace(static_cast<unsigned char>(value.back())));
    if (!edgeBlank && value.find_first_of("+,\"=<>;#\n") == std::string::npos)
        return value;
    std::string out = "\"";
    for (char c : value)
        out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out + "\"";
}

std::string OidText(const ASN1_OBJECT* object)
{
    char buffer[128];
    OBJ_obj2txt(buffer, sizeof buffer, object, 1);
    return buffer;
}

std::string NameToString(const X509_NAME* name, DWORD strType)
{
    const DWORD kind = strType & 0xFFFF;
    const bool noPlus = (strType & CERT_NAME_STR_NO_PLUS_FLAG) != 0;
    std::string out;
    int lastSet = -1;
    const int count = X509_NAME_entry_count(name);
    for (int i = 0; i < count; ++i)
    {
        const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, i);
        const int set = X509_NAME_ENTRY_set(entry);
        if (i > 0)
            out += set == lastSet ? (noPlus ? " " : " + ") : ", ";
        lastSet = set;
        const ASN1_OBJECT* object = X509_NAME_ENTRY_get_object(entry);
        if (kind == CERT_X500_NAME_STR || kind == CERT_OID_NAME_STR)
        {
            const char* key = kind == CERT_X500_NAME_STR ? KeyName(OBJ_obj2nid(object)) : nullptr;
            out += key ? std::string(key) : (kind == CERT_X500_NAME_STR ? "OID." : "") + OidText(object);
            out += "=";
        }
        out += Quoted(EntryValue(entry));
    }
    return out;
}

DWORD CopyOut(const std::string& text, char* out, DWORD size)
{
    const DWORD needed = static_cast<DWORD>(text.size()) + 1;
    if (out == nullptr || size == 0)
        return needed;
    const DWORD n = std::min(needed, size);
    std::memcpy(out, text.data(), n - 1);
    out[n - 1] = '\0';
    return n;
}

// ----- chains -----

int g_errorsIndex = -1;

int CollectErrors(int ok, X509_STORE_CTX* ctx)
{
    if (!ok)
    {
        auto* errors = static_cast<std::vector<ChainError>*>(X509_STORE_CTX_get_ex_data(ctx, g_errorsIndex));
        if (errors && errors->size() < 64)
            errors->push_back({X509_STORE_CTX_get_error(ctx), X509_STORE_CTX_get_error_depth(ctx)});
    }
    return 1; // go on: the policy decides in the platform's order
}

DWORD TrustBitsFor(int error)
{
    switch (error)
    {
    case X509_V_ERR_CERT_SIGNATURE_FAILURE:
    case X509_V_ERR_CRL_SIGNATURE_FAILURE:
    case X509_V_ERR_UNABLE_TO_DECRYPT_CERT_SIGNATURE:
    case X509_V_ERR_UNABLE_TO_DECODE_ISSUER_PUBLIC_KEY: return CERT_TRUST_IS_NOT_SIGNATURE_VALID;
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_CERT_UNTRUSTED:
    case X509_V_ERR_CERT_REJECTED: return CERT_TRUST_IS_UNTRUSTED_ROOT;
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_CERT_CHAIN_TOO_LONG: return CERT_TRUST_IS_PARTIAL_CHAIN;
    case X509_V_ERR_CERT_NOT_YET_VALID:
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_ERROR_IN_CERT_NOT_BEFORE_FIELD:
    case X509_V_ERR_ERROR_IN_CERT_NOT_AFTER_FIELD: return CERT_TRUST_IS_NOT_TIME_VALID;
    case X509_V_ERR_INVALID_PURPOSE: return CERT_TRUST_IS_NOT_VALID_FOR_USAGE;
    case X509_V_ERR_CERT_REVOKED: return CERT_TRUST_IS_REVOKED;
    case X509_V_ERR_UNHANDLED_CRITICAL_EXTENSION: return CERT_TRUST_INVALID_EXTENSION;
    case X509_V_ERR_INVALID_CA:
    case X509_V_ERR_PATH_LENGTH_EXCEEDED: return CERT_TRUST_INVALID_BASIC_CONSTRAINTS;
    case X509_V_ERR_PERMITTED_VIOLATION: return CERT_TRUST_HAS_NOT_PERMITTED_NAME_CONSTRAINT;
    case X509_V_ERR_EXCLUDED_VIOLATION: return CERT_TRUST_HAS_EXCLUDED_NAME_CONSTRAINT;
    case X509_V_ERR_UNSUPPORTED_CONSTRAINT_TYPE:
    case X509_V_ERR_UNSUPPORTED_CONSTRAINT_SYNTAX:
    case X509_V_ERR_UNSUPPORTED_NAME_SYNTAX: return CERT_TRUST_HAS_NOT_SUPPORTED_NAME_CONSTRAINT;
    case X509_V_ERR_SUBTREE_MINMAX: return CERT_TRUST_INVALID_NAME_CONSTRAINTS;
    default: return CERT_TRUST_IS_PARTIAL_CHAIN; // anything unexplained is no trusted chain
    }
}

// The usages a certificate restricts itself to; none when it does not
// restrict (no extension, or anyExtendedKeyUsage).
std::optional<std::vector<std::string>> RestrictedUsages(X509* cert)
{
    const KeyUsagesOwner eku(
        static_cast<EXTENDED_KEY_USAGE*>(X509_get_ext_d2i(cert, NID_ext_key_usage, nullptr, nullptr)));
    if (eku == nullptr)
        return std::nullopt;
    std::vector<std::string> allowed;
    for (int i = 0; i < sk_ASN1_OBJECT_num(eku.get()); ++i)
        allowed.push_back(OidText(sk_ASN1_OBJECT_value(eku.get(), i)));
    if (std::find(allowed.begin(), allowed.end(), "2.5.29.37.0") != allowed.end())
        return std::nullopt;
    return allowed;
}

struct UsageVerdict
{
    bool valid = true;
    std::vector<bool> faulty; // per element, leaf first
};

// The platform intersects the usages along the chain: a requested usage holds
// only when every certificate that restricts usage allows it. With OR one
// usage that holds suffices, with AND every one must. An element that by
// itself cannot serve is marked; when only the intersection fails, the leaf.
UsageVerdict CheckUsage(const std::vector<X509*>& path, const CERT_USAGE_MATCH& usage)
{
    UsageVerdict verdict;
    verdict.faulty.assign(path.size(), false);
    std::vector<std::string> wanted;
    for (DWORD i = 0; usage.Usage.rgpszUsageIdentifier && i < usage.Usage.cUsageIdentifier; ++i)
        if (const char* oid = usage.Usage.rgpszUsageIdentifier[i])
            wanted.push_back(oid);
    if (wanted.empty())
        return verdict;
    const bool any = usage.dwType == USAGE_MATCH_TYPE_OR;
    std::vector<bool> holds(wanted.size(), true);
    for (size_t e = 0; e < path.size(); ++e)
    {
        const auto allowed = RestrictedUsages(path[e]);
        if (!allowed)
            continue;
        size_t present = 0;
        for (size_t k = 0; k < wanted.size(); ++k)
        {
            const bool has = std::find(allowed->begin(), allowed->end(), wanted[k]) != allowed->end();
            holds[k] = holds[k] && has;
            present += has;
        }
        verdict.faulty[e] = any ? present == 0 : present < wanted.size();
    }
    const size_t holding = static_cast<size_t>(std::count(holds.begin(), holds.end(), true));
    verdict.valid = any ? holding > 0 : holding == wanted.size();
    if (!verdict.valid && !path.empty() &&
        std::find(verdict.faulty.begin(), verdict.faulty.end(), true) == verdict.faulty.end())
        verdict.faulty[0] = true;
    return verdict;
}

std::string Utf16ToUtf8(const WCHAR* text)
{
    std::string out;
    for (; text && *text; ++text)
    {
        uint32_t cp = *text;
        if (cp >= 0xD800 && cp <= 0xDBFF && text[1] >= 0xDC00 && text[1] <= 0xDFFF)
        {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[1] - 0xDC00);
            ++text;
        }
        AppendUtf8(out, cp);
    }
    return out;
}

// DNS names per RFC 6125 as the platform applies it: with a SAN only its DNS
// names count and a wildcard is a whole leftmost label; without one, the CN.
bool NameMatches(X509* leaf, bool hasSan, const std::string& name)
{
    in_addr v4{};
    in6_addr v6{};
    if (::inet_pton(AF_INET, name.c_str(), &v4) == 1 || ::inet_pton(AF_INET6, name.c_str(), &v6) == 1)
    {
        if (X509_check_ip_asc(leaf, name.c_str(), 0) == 1)
            return true;
        if (hasSan)
            return false;
        const X509_NAME* subject = X509_get_subject_name(leaf);
        for (int i = -1; (i = X509_NAME_get_index_by_NID(subject, NID_commonName, i)) >= 0;)
            if (EntryValue(X509_NAME_get_entry(subject, i)) == name)
                return true;
        return false;
    }
    const unsigned flags =
        hasSan ? (X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS | X509_CHECK_FLAG_NEVER_CHECK_SUBJECT) : 0;
    return X509_check_host(leaf, name.c_str(), name.size(), flags, nullptr) == 1;
}

// One run of OpenSSL's chain building: every error it met and the path it
// built, leaf first.
struct Verified
{
    bool ran = false;
    std::vector<ChainError> errors;
    std::vector<X509Owner> path;
};

Verified VerifyOnce(X509_STORE* trust, X509* leaf, STACK_OF(X509) * untrusted, const FILETIME* time)
{
    Verified verified;
    const X509StoreCtxOwner ctx(X509_STORE_CTX_new());
    if (ctx == nullptr || X509_STORE_CTX_init(ctx.get(), trust, leaf, untrusted) != 1)
        return verified;
    verified.ran = true;
    X509_STORE_CTX_set_ex_data(ctx.get(), g_errorsIndex, &verified.errors);
    X509_STORE_CTX_set_verify_cb(ctx.get(), CollectErrors);
    if (time)
    {
        SYSTEMTIME st{};
        if (FileTimeToSystemTime(time, &st))
        {
            tm parts{};
            parts.tm_year = st.wYear - 1900;
            parts.tm_mon = st.wMonth - 1;
            parts.tm_mday = st.wDay;
            parts.tm_hour = st.wHour;
            parts.tm_min = st.wMinute;
            parts.tm_sec = st.wSecond;
            X509_STORE_CTX_set_time(ctx.get(), 0, timegm(&parts));
        }
    }
    if (X509_verify_cert(ctx.get()) < 0 && verified.errors.empty())
        verified.errors.push_back({X509_STORE_CTX_get_error(ctx.get()), 0});
    if (STACK_OF(X509)* built = X509_STORE_CTX_get0_chain(ctx.get()))
        for (int i = 0; i < sk_X509_num(built); ++i)
            verified.path.push_back(Referenced(sk_X509_value(built, i)));
    return verified;
}

// The path ends in a certificate whose issuer was found nowhere.
bool LacksIssuer(const Verified& verified)
{
    return std::any_of(verified.errors.begin(), verified.errors.end(), [](const ChainError& e) {
        return e.error == X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY ||
               e.error == X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT;
    });
}

// The path's top names one of the certificates below it as its issuer: the
// certificates the server sent certify each other in a cycle.
bool ClosesACycle(const std::vector<X509*>& path)
{
    for (size_t i = 0; i + 1 < path.size(); ++i)
        if (X509_check_issued(path[i], path.back()) == X509_V_OK)
            return true;
    return false;
}

// Adds each certificate to the stack, which takes the reference.
void Push(STACK_OF(X509) * stack, std::vector<X509Owner> certificates)
{
    for (auto& c : certificates)
        if (sk_X509_push(stack, c.get()) > 0)
            (void)c.release();
}

// As the platform's engine does for a chain that lacks an issuer: the top
// certificate's "CA Issuers" URLs are asked, a few per chain, and what they
// answer joins the candidates for another build.
Verified VerifyFetchingIssuers(X509_STORE* trust, X509* leaf, STACK_OF(X509) * untrusted,
                               const FILETIME* time)
{
    Verified verified = VerifyOnce(trust, leaf, untrusted, time);
    if (!platform::IssuerFetchingEnabled())
        return verified;
    platform::CIssuerFetch fetch;
    std::set<std::string> consulted;
    while (verified.ran && LacksIssuer(verified) && !verified.path.empty())
    {
        bool found = false;
        for (const std::string& url : platform::CaIssuerUrls(verified.path.back().get()))
        {
            if (consulted.size() >= static_cast<size_t>(platform::kMaxIssuerUrlsPerChain))
                break;
            if (!consulted.insert(url).second)
                continue;
            std::vector<X509Owner> candidates = fetch.Candidates(url);
            found = !candidates.empty();
            Push(untrusted, std::move(candidates));
            if (found)
                break;
        }
        if (!found)
            break;
        verified = VerifyOnce(trust, leaf, untrusted, time);
    }
    return verified;
}
} // namespace

BOOL platform::CertAddX509ToStore(HCERTSTORE handle, X509* certificate, PCCERT_CONTEXT* added)
{
    std::unique_ptr<Context> context =
        Registry().IsStore(handle) ? MakeContext(Referenced(certificate)) : nullptr;
    const PCCERT_CONTEXT result =
        context ? Registry().Add(handle, std::move(context), added != nullptr) : nullptr;
    if (result == nullptr)
    {
        ERR_clear_error();
        SetLastError(E_INVALIDARG);
        return FALSE;
    }
    if (added)
        *added = result;
    return TRUE;
}

HCERTSTORE CertOpenStore(const char* storeProvider, DWORD /*encodingType*/, ULONG_PTR /*cryptProv*/,
                         DWORD /*flags*/, const void* /*para*/)
{
    if (storeProvider != CERT_STORE_PROV_MEMORY)
    {
        SetLastError(E_INVALIDARG);
        return nullptr;
    }
    return Registry().OpenStore();
}

BOOL CertCloseStore(HCERTSTORE handle, DWORD /*flags*/)
{
    if (!Registry().CloseStore(handle))
    {
        SetLastError(E_INVALIDARG);
        return FALSE;
    }
    return TRUE;
}

BOOL CertAddEncodedCertificateToStore(HCERTSTORE handle, DWORD encodingType, const BYTE* encoded, DWORD size,
                                      DWORD /*disposition*/, PCCERT_CONTEXT* added)
{
    if (!Registry().IsStore(handle) || encoded == nullptr || (encodingType & X509_ASN_ENCODING) == 0)
    {
        SetLastError(E_INVALIDARG);
        return FALSE;
    }
    const unsigned char* p = encoded;
    X509Owner x509(d2i_X509(nullptr, &p, static_cast<long>(size)));
    if (x509 == nullptr)
    {
        ERR_clear_error();
        SetLastError(CRYPT_E_ASN1_BADTAG);
        return FALSE;
    }
    const PCCERT_CONTEXT context = Registry().Add(
        handle, MakeContext(std::move(x509), encoded, static_cast<size_t>(p - encoded)), added != nullptr);
    if (context == nullptr)
    {
        SetLastError(E_INVALIDARG);
        return FALSE;
    }
    if (added)
        *added = context;
    return TRUE;
}

PCCERT_CONTEXT CertEnumCertificatesInStore(HCERTSTORE handle, PCCERT_CONTEXT previous)
{
    if (!Registry().IsStore(handle))
        return nullptr;
    const PCCERT_CONTEXT next = Registry().Next(handle, previous);
    if (previous)
        CertFreeCertificateContext(previous);
    if (next == nullptr)
        SetLastError(CRYPT_E_NOT_FOUND);
    return next;
}

PCCERT_CONTEXT CertDuplicateCertificateContext(PCCERT_CONTEXT context)
{
    if (context == nullptr)
        return nullptr;
    if (!Registry().Hold(context))
    {
        SetLastError(E_INVALIDARG);
        return nullptr;
    }
    return context;
}

BOOL CertFreeCertificateContext(PCCERT_CONTEXT context)
{
    if (context == nullptr)
        return TRUE;
    if (!Registry().Release(context))
    {
        SetLastError(E_INVALIDARG);
        return FALSE;
    }
    return TRUE;
}

PCCERT_CONTEXT CertGetIssuerCertificateFromStore(HCERTSTORE handle, PCCERT_CONTEXT subject,
                                                 PCCERT_CONTEXT previous, DWORD* flags)
{
    const std::shared_ptr<const Context> subjectContext = Registry().Find(subject);
    if (!Registry().IsStore(handle) || subjectContext == nullptr)
    {
        SetLastError(E_INVALIDARG);
        return nullptr;
    }
    X509* subjectX509 = subjectContext->x509.get();
    if (IsSelfIssued(subjectX509))
    {
        if (previous)
            CertFreeCertificateContext(previous);
        SetLastError(CRYPT_E_SELF_SIGNED);
        return nullptr;
    }
    for (PCCERT_CONTEXT candidate = CertEnumCertificatesInStore(handle, previous); candidate;
         candidate = CertEnumCertificatesInStore(handle, candidate))
    {
        const std::shared_ptr<const Context> found = Registry().Find(candidate);
        X509* issuer = found ? found->x509.get() : nullptr;
        if (issuer == nullptr || X509_check_issued(issuer, subjectX509) != X509_V_OK)
            continue;
        if (flags)
        {
            if (*flags & CERT_STORE_SIGNATURE_FLAG)
                if (EVP_PKEY* key = X509_get0_pubkey(issuer); key && X509_verify(subjectX509, key) == 1)
                    *flags &= ~CERT_STORE_SIGNATURE_FLAG;
            if (*flags & CERT_STORE_TIME_VALIDITY_FLAG)
                if (X509_cmp_current_time(X509_get0_notBefore(subjectX509)) < 0 &&
                    X509_cmp_current_time(X509_get0_notAfter(subjectX509)) > 0)
                    *flags &= ~CERT_STORE_TIME_VALIDITY_FLAG;
        }
        ERR_clear_error();
        return candidate;
    }
    ERR_clear_error();
    SetLastError(CRYPT_E_NOT_FOUND);
    return nullptr;
}

DWORD CertNameToStrA(DWORD /*encodingType*/, const CERT_NAME_BLOB* name, DWORD strType, char* out, DWORD size)
{
    X509NameOwner parsed;
    if (name && name->pbData)
    {
        const unsigned char* p = name->pbData;
        parsed.reset(d2i_X509_NAME(nullptr, &p, static_cast<long>(name->cbData)));
    }
    if (parsed == nullptr)
    {
        ERR_clear_error();
        SetLastError(CRYPT_E_ASN1_BADTAG);
        if (out && size)
            out[0] = '\0';
        return 0;
    }
    return CopyOut(NameToString(parsed.get(), strType), out, size);
}

DWORD CertGetNameStringA(PCCERT_CONTEXT context, DWORD type, DWORD /*flags*/, void* /*typePara*/, char* out,
                         DWORD size)
{
    std::string text;
    const std::shared_ptr<const Context> live = Registry().Find(context);
    if (context != nullptr && live == nullptr)
        SetLastError(E_INVALIDARG);
    if (live && type == CERT_NAME_SIMPLE_DISPLAY_TYPE)
    {
        X509* x509 = live->x509.get();
        const X509_NAME* subject = X509_get_subject_name(x509);
        for (int nid :
             {NID_commonName, NID_organizationalUnitName, NID_organizationName, NID_pkcs9_emailAddress})
        {
            const int at = X509_NAME_get_index_by_NID(subject, nid, -1);
            if (at >= 0)
            {
                text = EntryValue(X509_NAME_get_entry(subject, at));
                break;
            }
        }
        if (text.empty())
            if (const GeneralNamesOwner names{static_cast<GENERAL_NAMES*>(
                    X509_get_ext_d2i(x509, NID_subject_alt_name, nullptr, nullptr))})
                for (int i = 0; i < sk_GENERAL_NAME_num(names.get()) && text.empty(); ++i)
                {
                    const GENERAL_NAME* gn = sk_GENERAL_NAME_value(names.get(), i);
                    if (gn->type == GEN_EMAIL)
                        text.assign(reinterpret_cast<const char*>(ASN1_STRING_get0_data(gn->d.rfc822Name)),
                                    static_cast<size_t>(ASN1_STRING_length(gn->d.rfc822Name)));
                }
    }
    return CopyOut(text, out, size);
}

BOOL CertGetCertificateChain(HCERTCHAINENGINE /*engine*/, PCCERT_CONTEXT context, const FILETIME* time,
                             HCERTSTORE additionalStore, const CERT_CHAIN_PARA* para, DWORD /*flags*/,
                             void* /*reserved*/, PCCERT_CHAIN_CONTEXT* result)
{
    const std::shared_ptr<const Context> leafContext = Registry().Find(context);
    if (leafContext == nullptr || result == nullptr)
    {
        SetLastError(E_INVALIDARG);
        return FALSE;
    }
    *result = nullptr;
    X509_STORE* trust = TrustStore();
    if (trust == nullptr)
    {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    static std::once_flag once;
    std::call_once(
        once, [] { g_errorsIndex = X509_STORE_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr); });

    auto chain = std::make_unique<Chain>();
    X509* leafX509 = leafContext->x509.get();
    chain->leaf = Referenced(leafX509);
    chain->hasSan = X509_get_ext_by_NID(leafX509, NID_subject_alt_name, -1) >= 0;

    // What the server sent, and later what the issuers' URLs answer.
    const X509StackOwner untrusted(sk_X509_new_null());
    if (untrusted == nullptr)
    {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    Push(untrusted.get(), Registry().Certificates(context->hCertStore));
    if (additionalStore != context->hCertStore)
        Push(untrusted.get(), Registry().Certificates(additionalStore));
    const Verified verified = VerifyFetchingIssuers(trust, leafX509, untrusted.get(), time);
    ERR_clear_error();
    if (!verified.ran)
    {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }

    // The elements: the path built, leaf first, each a context of the
    // chain's own store.
    chain->elementStore = Registry().OpenStore();
    std::vector<X509*> path;
    for (const X509Owner& x : verified.path)
    {
        const PCCERT_CONTEXT element =
            Registry().Add(chain->elementStore, MakeContext(Referenced(x.get())), false);
        if (element == nullptr)
            continue;
        chain->elements.push_back(CERT_CHAIN_ELEMENT{sizeof(CERT_CHAIN_ELEMENT), element, {0, 0}});
        path.push_back(x.get());
    }
    ERR_clear_error();

    DWORD status = 0;
    const bool cyclic = LacksIssuer(verified) && ClosesACycle(path);
    for (const auto& e : verified.errors)
    {
        DWORD bits = TrustBitsFor(e.error);
        if (cyclic && bits == CERT_TRUST_IS_PARTIAL_CHAIN)
            bits = CERT_TRUST_IS_CYCLIC;
        status |= bits;
        if (e.depth >= 0 && static_cast<size_t>(e.depth) < chain->elements.size())
            chain->elements[static_cast<size_t>(e.depth)].TrustStatus.dwErrorStatus |= bits;
    }
    if (para)
    {
        const UsageVerdict usage = CheckUsage(path, para->RequestedUsage);
        if (!usage.valid)
            status |= CERT_TRUST_IS_NOT_VALID_FOR_USAGE;
        for (size_t e = 0; e < usage.faulty.size(); ++e)
            if (usage.faulty[e])
                chain->elements[e].TrustStatus.dwErrorStatus |= CERT_TRUST_IS_NOT_VALID_FOR_USAGE;
    }
    for (auto& e : chain->elements)
        chain->elementList.push_back(&e);
    chain->simple.cbSize = sizeof(CERT_SIMPLE_CHAIN);
    chain->simple.TrustStatus = {status, 0};
    chain->simple.cElement = static_cast<DWORD>(chain->elementList.size());
    chain->simple.rgpElement = chain->elementList.data();
    chain->simpleList[0] = &chain->simple;
    chain->ctx.cbSize = sizeof(CERT_CHAIN_CONTEXT);
    chain->ctx.TrustStatus = {status, 0};
    chain->ctx.cChain = 1;
    chain->ctx.rgpChain = chain->simpleList;
    *result = Registry().AddChain(std::move(chain));
    return TRUE;
}

void CertFreeCertificateChain(PCCERT_CHAIN_CONTEXT chain) { Registry().FreeChain(chain); }

BOOL CertVerifyCertificateChainPolicy(const char* policyOid, PCCERT_CHAIN_CONTEXT chainContext,
                                      const CERT_CHAIN_POLICY_PARA* para, CERT_CHAIN_POLICY_STATUS* status)
{
    const std::shared_ptr<const Chain> chain = Registry().FindChain(chainContext);
    if ((policyOid != CERT_CHAIN_POLICY_SSL && policyOid != CERT_CHAIN_POLICY_BASE) || chain == nullptr ||
        status == nullptr)
    {
        SetLastError(E_INVALIDARG);
        return FALSE;
    }
    const DWORD trust = chain->ctx.TrustStatus.dwErrorStatus;
    const SSL_EXTRA_CERT_CHAIN_POLICY_PARA* ssl = nullptr;
    if (policyOid == CERT_CHAIN_POLICY_SSL && para)
        ssl = static_cast<const SSL_EXTRA_CERT_CHAIN_POLICY_PARA*>(para->pvExtraPolicyPara);
    const DWORD ignore = ssl ? ssl->fdwChecks : 0;
    const DWORD nameConstraints =
        CERT_TRUST_INVALID_NAME_CONSTRAINTS | CERT_TRUST_HAS_NOT_SUPPORTED_NAME_CONSTRAINT |
        CERT_TRUST_HAS_NOT_DEFINED_NAME_CONSTRAINT | CERT_TRUST_HAS_NOT_PERMITTED_NAME_CONSTRAINT |
        CERT_TRUST_HAS_EXCLUDED_NAME_CONSTRAINT;

    // The first failing check wins, in the platform's order. The SSL policy
    // names a root nobody trusts, a chain that never reaches a root and a
    // cycle alike: the chain's own trust status tells them apart.
    DWORD error = 0;
    if (trust & CERT_TRUST_IS_NOT_SIGNATURE_VALID)
        error = TRUST_E_CERT_SIGNATURE;
    else if ((trust & (CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_CYCLIC | CERT_TRUST_IS_PARTIAL_CHAIN)) &&
             !(ignore & SECURITY_FLAG_IGNORE_UNKNOWN_CA))
        error = policyOid == CERT_CHAIN_POLICY_SSL ? CERT_E_UNTRUSTEDROOT : CERT_E_CHAINING;
    else if ((trust & CERT_TRUST_IS_NOT_TIME_VALID) && !(ignore & SECURITY_FLAG_IGNORE_CERT_DATE_INVALID))
        error = CERT_E_EXPIRED;
    else if ((trust & CERT_TRUST_IS_NOT_VALID_FOR_USAGE) && !(ignore & SECURITY_FLAG_IGNORE_WRONG_USAGE))
        error = CERT_E_WRONG_USAGE;
    else if ((trust & CERT_TRUST_IS_REVOKED) && !(ignore & SECURITY_FLAG_IGNORE_REVOCATION))
        error = CERT_E_REVOKED;
    else if ((trust & CERT_TRUST_IS_OFFLINE_REVOCATION) && !(ignore & SECURITY_FLAG_IGNORE_REVOCATION))
        error = CERT_E_REVOCATION_FAILURE;
    else if (trust & CERT_TRUST_INVALID_EXTENSION)
        error = CERT_E_CRITICAL;
    else if (trust & CERT_TRUST_INVALID_BASIC_CONSTRAINTS)
        error = CERT_E_ROLE; // a certificate used as a CA that may not be one
    else if (trust & nameConstraints)
        error = CERT_E_INVALID_NAME; // trusted, but outside what its issuer may certify
    else if (ssl && ssl->dwAuthType == AUTHTYPE_SERVER && ssl->pwszServerName && *ssl->pwszServerName &&
             !(ignore & SECURITY_FLAG_IGNORE_CERT_CN_INVALID) &&
             !NameMatches(chain->leaf.get(), chain->hasSan, Utf16ToUtf8(ssl->pwszServerName)))
        error = CERT_E_CN_NO_MATCH;
    ERR_clear_error();

    status->dwError = error;
    status->lChainIndex = error ? 0 : -1;
    status->lElementIndex = error ? 0 : -1;
    return TRUE;
}
