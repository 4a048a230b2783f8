#include "ssl_tester.h"

#include "cert_owners.h"
#include "winbase.h"

#include <cstdio>
#include <cstring>
#include <set>
#include <string>

namespace
{
constexpr DWORD kNameSize = 1000;
// The hash identifiers 6 and 7 have no platform name of their own.
constexpr ALG_ID kHashRipemd = ALG_CLASS_HASH | ALG_TYPE_ANY | 6;
constexpr ALG_ID kHashRipemd160 = ALG_CLASS_HASH | ALG_TYPE_ANY | 7;

std::string Hex(DWORD value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", static_cast<unsigned>(value));
    return text;
}

// The names the report prints; a value without one prints as 0x%x.
std::string ProtocolName(DWORD protocol)
{
    switch (protocol)
    {
    case SP_PROT_PCT1_CLIENT: return "PCT";
    case SP_PROT_SSL2_CLIENT: return "SSL2";
    case SP_PROT_SSL3_CLIENT: return "SSL3";
    case SP_PROT_TLS1_CLIENT: return "TLS1";
    case SP_PROT_TLS1_1_CLIENT: return "TLS1.1";
    case SP_PROT_TLS1_2_CLIENT: return "TLS1.2";
    default: return Hex(protocol);
    }
}

std::string CipherName(ALG_ID cipher)
{
    switch (cipher)
    {
    case CALG_DES: return "DES";
    case CALG_RC2: return "RC2";
    case CALG_3DES: return "Triple DES";
    case CALG_SKIPJACK: return "Skipjack";
    case CALG_CYLINK_MEK: return "DES";
    case CALG_AES_128: return "AES(128)";
    case CALG_AES_256: return "AES(256)";
    case CALG_RC4: return "RC4";
    default: return Hex(cipher);
    }
}

std::string HashName(ALG_ID hash)
{
    switch (hash)
    {
    case CALG_MD5: return "MD5";
    case CALG_SHA1: return "SHA1";
    case CALG_MAC: return "MAC";
    case kHashRipemd: return "RIPEMD";
    case kHashRipemd160: return "RIPEMD160";
    case CALG_SSL3_SHAMD5: return "SSL3SHAMD5";
    case CALG_HMAC: return "HMAC";
    case CALG_TLS1PRF: return "TLS1PRF";
    case CALG_HASH_REPLACE_OWF: return "HASH_REPLACE_OWF";
    case CALG_SHA_256: return "SHA_256";
    case CALG_SHA_384: return "SHA_384";
    case CALG_SHA_512: return "SHA_512";
    default: return Hex(hash);
    }
}

std::string ExchangeName(ALG_ID exchange)
{
    switch (exchange)
    {
    case CALG_RSA_SIGN:
    case CALG_RSA_KEYX: return "RSA";
    case CALG_DH_EPHEM: return "DH Ephemeral";
    case CALG_KEA_KEYX: return "KEA";
    case CALG_ECDH_EPHEM: return "Elliptic Curve DH Ephemeral";
    default: return Hex(exchange);
    }
}

// Serial numbers are stored least significant byte first; shown the other way.
std::string SerialText(const CRYPT_INTEGER_BLOB& serial)
{
    std::string text;
    char byte[8];
    for (DWORD i = serial.cbData; i > 0; --i)
    {
        std::snprintf(byte, sizeof byte, "0x%02x ", serial.pbData[i - 1]);
        text += byte;
    }
    return text;
}

// Seconds since 1970 of a file time (100 ns steps since 1601).
int64_t UnixTime(const FILETIME& time)
{
    const uint64_t ticks = (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    return static_cast<int64_t>(ticks / 10000000u) - 11644473600;
}
} // namespace

void CSslTester::ReportConnectionInfo()
{
    SecPkgContext_ConnectionInfo info;
    std::memset(&info, 0, sizeof info);
    SECURITY_STATUS status =
        m_pSecurityFunctions->QueryContextAttributesA(&m_hContext, SECPKG_ATTR_CONNECTION_INFO, &info);
    if (status != SEC_E_OK)
    {
        AddToHistory(m_pOwner, "Error 0x%x querying connection info", static_cast<unsigned>(status));
        return;
    }
    TlsFacts& facts = *m_record.tls;
    facts.protocol = ProtocolName(info.dwProtocol);
    facts.cipher = CipherName(info.aiCipher);
    facts.cipherStrength = static_cast<int>(info.dwCipherStrength);
    facts.hash = HashName(info.aiHash);
    facts.hashStrength = static_cast<int>(info.dwHashStrength);
    facts.keyExchange = ExchangeName(info.aiExch);
    facts.keyExchangeStrength = static_cast<int>(info.dwExchStrength);

    SecPkgContext_StreamSizes sizes;
    std::memset(&sizes, 0, sizeof sizes);
    status = m_pSecurityFunctions->QueryContextAttributesA(&m_hContext, SECPKG_ATTR_STREAM_SIZES, &sizes);
    if (status != SEC_E_OK)
    {
        AddToHistory(m_pOwner, "**** Error 0x%x reading SECPKG_ATTR_STREAM_SIZES",
                     static_cast<unsigned>(status));
        return;
    }
    facts.headerSize = static_cast<int>(sizes.cbHeader);
    facts.trailerSize = static_cast<int>(sizes.cbTrailer);
    facts.maxMessageSize = static_cast<int>(sizes.cbMaximumMessage);

    AddToHistory(m_pOwner, "Header: %d, Trailer: %d, MaxMessage: %d", facts.headerSize, facts.trailerSize,
                 facts.maxMessageSize);
    AddToHistory(m_pOwner, "Protocol: %s", facts.protocol.c_str());
    AddToHistory(m_pOwner, "Cipher: %s", facts.cipher.c_str());
    AddToHistory(m_pOwner, "Cipher strength: %d", facts.cipherStrength);
    AddToHistory(m_pOwner, "Hash: %s", facts.hash.c_str());
    AddToHistory(m_pOwner, "Hash strength: %d", facts.hashStrength);
    AddToHistory(m_pOwner, "Key exchange: %s", facts.keyExchange.c_str());
    AddToHistory(m_pOwner, "Key exchange strength: %d", facts.keyExchangeStrength);
}

CertificateFacts CSslTester::FactsOf(PCCERT_CONTEXT certificate)
{
    CertificateFacts facts;
    char name[kNameSize];
    const DWORD nameType = CERT_X500_NAME_STR | CERT_NAME_STR_NO_PLUS_FLAG;
    const CERT_INFO* info = certificate->pCertInfo;
    std::memset(name, 0, sizeof name);
    CertNameToStrA(certificate->dwCertEncodingType, &info->Subject, nameType, name, kNameSize);
    facts.subject = name;
    std::memset(name, 0, sizeof name);
    CertNameToStrA(certificate->dwCertEncodingType, &info->Issuer, nameType, name, kNameSize);
    facts.issuer = name;
    facts.serial = SerialText(info->SerialNumber);
    facts.notBefore = UnixTime(info->NotBefore);
    facts.notAfter = UnixTime(info->NotAfter);
    return facts;
}

void CSslTester::ReportCertChain(PCCERT_CONTEXT certificate)
{
    char name[kNameSize];
    const DWORD nameType = CERT_X500_NAME_STR | CERT_NAME_STR_NO_PLUS_FLAG;
    auto convert = [&](PCCERT_CONTEXT of, bool subject) {
        std::memset(name, 0, sizeof name);
        const CERT_NAME_BLOB* blob = subject ? &of->pCertInfo->Subject : &of->pCertInfo->Issuer;
        if (CertNameToStrA(of->dwCertEncodingType, blob, nameType, name, kNameSize))
            return;
        if (subject)
            AddToHistory(m_pOwner, "**** Error 0x%x building subject name", GetLastError());
        else
            AddToHistory(m_pOwner, "**** Error 0x%x building issuer name", GetLastError());
    };

    CertificateFacts facts;
    AddToHistory(m_pOwner, "%s", "");
    convert(certificate, true);
    facts.subject = name;
    convert(certificate, false);
    facts.issuer = name;
    AddToHistory(m_pOwner, "Server issuer: %s", name);
    facts.serial = SerialText(certificate->pCertInfo->SerialNumber);
    AddToHistory(m_pOwner, "Serial Number is: %s", facts.serial.c_str());
    facts.notBefore = UnixTime(certificate->pCertInfo->NotBefore);
    facts.notAfter = UnixTime(certificate->pCertInfo->NotAfter);
    if (m_record.tls)
        m_record.tls->certificate = facts;
    AddToHistory(m_pOwner, "valid from %s to %s", FormatCertDate(&certificate->pCertInfo->NotBefore).c_str(),
                 FormatCertDate(&certificate->pCertInfo->NotAfter).c_str());
    AddToHistory(m_pOwner, "%d extensions", static_cast<int>(certificate->pCertInfo->cExtension));

    std::memset(name, 0, sizeof name);
    if (CertGetNameStringA(certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name, kNameSize) <= 1)
        AddToHistory(m_pOwner, "Name Not Found in CERT!");
    else
        AddToHistory(m_pOwner, "Server cert name : %s", name);
    AddToHistory(m_pOwner, "--");

    // What the server sent may name itself in a cycle; each certificate is
    // shown once and the walk is bounded. The server certificate stays the
    // caller's; each issuer shown is held until the next one replaces it.
    std::set<std::string> seen;
    seen.emplace(reinterpret_cast<const char*>(certificate->pbCertEncoded), certificate->cbCertEncoded);
    CCertContext shown;
    PCCERT_CONTEXT current = certificate;
    for (int step = 0; step < kMaxIssuerWalk; ++step)
    {
        DWORD verificationFlags = 0;
        CCertContext issuer(
            CertGetIssuerCertificateFromStore(certificate->hCertStore, current, nullptr, &verificationFlags));
        if (!issuer)
            break;
        if (!seen.emplace(reinterpret_cast<const char*>(issuer.Get()->pbCertEncoded),
                          issuer.Get()->cbCertEncoded)
                 .second)
            break;
        convert(issuer.Get(), true);
        AddToHistory(m_pOwner, "CA subject: %s", name);
        convert(issuer.Get(), false);
        AddToHistory(m_pOwner, "CA issuer: %s", name);
        AddToHistory(m_pOwner, "Serial Number is: %s",
                     SerialText(issuer.Get()->pCertInfo->SerialNumber).c_str());
        AddToHistory(m_pOwner, "--");
        shown = std::move(issuer);
        current = shown.Get();
    }
}

std::string CSslTester::FormatCertDate(const FILETIME* time)
{
    if (time == nullptr)
        return std::string();
    char pattern[80];
    std::memset(pattern, 0, sizeof pattern);
    GetLocaleInfoA(LOCALE_SYSTEM_DEFAULT, LOCALE_SSHORTDATE, pattern, sizeof pattern);
    SYSTEMTIME date;
    std::memset(&date, 0, sizeof date);
    FileTimeToSystemTime(time, &date);
    char text[80];
    std::memset(text, 0, sizeof text);
    GetDateFormatA(LOCALE_SYSTEM_DEFAULT, 0, &date, pattern, text, sizeof text);
    return text;
}
