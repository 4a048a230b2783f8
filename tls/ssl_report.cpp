#include "ssl_tester.h"

#include "winbase.h"

#include <cstring>
#include <set>
#include <string>

namespace
{
constexpr DWORD kNameSize = 1000;

void ProtocolLine(CHistoryOwner* owner, DWORD protocol)
{
    switch (protocol)
    {
    case SP_PROT_PCT1_CLIENT: AddToHistory(owner, "Protocol: PCT"); break;
    case SP_PROT_SSL2_CLIENT: AddToHistory(owner, "Protocol: SSL2"); break;
    case SP_PROT_SSL3_CLIENT: AddToHistory(owner, "Protocol: SSL3"); break;
    case SP_PROT_TLS1_CLIENT: AddToHistory(owner, "Protocol: TLS1"); break;
    case SP_PROT_TLS1_1_CLIENT: AddToHistory(owner, "Protocol: TLS1.1"); break;
    case SP_PROT_TLS1_2_CLIENT: AddToHistory(owner, "Protocol: TLS1.2"); break;
    default: AddToHistory(owner, "Protocol: 0x%x", protocol); break;
    }
}

void CipherLine(CHistoryOwner* owner, ALG_ID cipher)
{
    switch (cipher)
    {
    case 0x6601: AddToHistory(owner, "Cipher: DES"); break;
    case 0x6602: AddToHistory(owner, "Cipher: RC2"); break;
    case 0x6603: AddToHistory(owner, "Cipher: Triple DES"); break;
    case 0x660A: AddToHistory(owner, "Cipher: Skipjack"); break;
    case 0x660C: AddToHistory(owner, "Cipher: DES"); break;
    case 0x660E: AddToHistory(owner, "Cipher: AES(128)"); break;
    case 0x6610: AddToHistory(owner, "Cipher: AES(256)"); break;
    case 0x6801: AddToHistory(owner, "Cipher: RC4"); break;
    default: AddToHistory(owner, "Cipher: 0x%x", cipher); break;
    }
}

void HashLine(CHistoryOwner* owner, ALG_ID hash)
{
    switch (hash)
    {
    case 0x8003: AddToHistory(owner, "Hash: MD5"); break;
    case 0x8004: AddToHistory(owner, "Hash: SHA1"); break;
    case 0x8005: AddToHistory(owner, "Hash: MAC"); break;
    case 0x8006: AddToHistory(owner, "Hash: RIPEMD"); break;
    case 0x8007: AddToHistory(owner, "Hash: RIPEMD160"); break;
    case 0x8008: AddToHistory(owner, "Hash: SSL3SHAMD5"); break;
    case 0x8009: AddToHistory(owner, "Hash: HMAC"); break;
    case 0x800A: AddToHistory(owner, "Hash: TLS1PRF"); break;
    case 0x800B: AddToHistory(owner, "Hash: HASH_REPLACE_OWF"); break;
    case 0x800C: AddToHistory(owner, "Hash: SHA_256"); break;
    case 0x800D: AddToHistory(owner, "Hash: SHA_384"); break;
    case 0x800E: AddToHistory(owner, "Hash: SHA_512"); break;
    default: AddToHistory(owner, "Hash: 0x%x", hash); break;
    }
}

void ExchangeLine(CHistoryOwner* owner, ALG_ID exchange)
{
    switch (exchange)
    {
    case 0x2400:
    case 0xA400: AddToHistory(owner, "Key exchange: RSA"); break;
    case 0xAA02: AddToHistory(owner, "Key exchange: DH Ephemeral"); break;
    case 0xAA04: AddToHistory(owner, "Key exchange: KEA"); break;
    case 0xAE06: AddToHistory(owner, "Key exchange: Elliptic Curve DH Ephemeral"); break;
    default: AddToHistory(owner, "Key exchange: 0x%x", exchange); break;
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
} // namespace

void CSslTester::ReportConnectionInfo()
{
    SecPkgContext_ConnectionInfo info;
    std::memset(&info, 0, sizeof info);
    SECURITY_STATUS status = m_pSecurityFunctions->QueryContextAttributesA(&m_hContext, SECPKG_ATTR_CONNECTION_INFO, &info);
    if (status != SEC_E_OK)
    {
        AddToHistory(m_pOwner, "Error 0x%x querying connection info", static_cast<unsigned>(status));
        return;
    }
    SecPkgContext_StreamSizes sizes;
    std::memset(&sizes, 0, sizeof sizes);
    status = m_pSecurityFunctions->QueryContextAttributesA(&m_hContext, SECPKG_ATTR_STREAM_SIZES, &sizes);
    if (status != SEC_E_OK)
    {
        AddToHistory(m_pOwner, "**** Error 0x%x reading SECPKG_ATTR_STREAM_SIZES", static_cast<unsigned>(status));
        return;
    }
    AddToHistory(m_pOwner, "Header: %d, Trailer: %d, MaxMessage: %d", static_cast<int>(sizes.cbHeader),
                 static_cast<int>(sizes.cbTrailer), static_cast<int>(sizes.cbMaximumMessage));
    ProtocolLine(m_pOwner, info.dwProtocol);
    CipherLine(m_pOwner, info.aiCipher);
    AddToHistory(m_pOwner, "Cipher strength: %d", static_cast<int>(info.dwCipherStrength));
    HashLine(m_pOwner, info.aiHash);
    AddToHistory(m_pOwner, "Hash strength: %d", static_cast<int>(info.dwHashStrength));
    ExchangeLine(m_pOwner, info.aiExch);
    AddToHistory(m_pOwner, "Key exchange strength: %d", static_cast<int>(info.dwExchStrength));
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

    AddToHistory(m_pOwner, "%s", "");
    convert(certificate, true);
    convert(certificate, false);
    AddToHistory(m_pOwner, "Server issuer: %s", name);
    AddToHistory(m_pOwner, "Serial Number is: %s", SerialText(certificate->pCertInfo->SerialNumber).c_str());
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
    // shown once and the walk is bounded.
    std::set<std::string> seen;
    seen.emplace(reinterpret_cast<const char*>(certificate->pbCertEncoded), certificate->cbCertEncoded);
    PCCERT_CONTEXT current = certificate;
    for (int step = 0; step < kMaxIssuerWalk; ++step)
    {
        DWORD verificationFlags = 0;
        PCCERT_CONTEXT issuer =
            CertGetIssuerCertificateFromStore(certificate->hCertStore, current, nullptr, &verificationFlags);
        if (issuer == nullptr)
            break;
        if (!seen.emplace(reinterpret_cast<const char*>(issuer->pbCertEncoded), issuer->cbCertEncoded).second)
        {
            CertFreeCertificateContext(issuer);
            break;
        }
        convert(issuer, true);
        AddToHistory(m_pOwner, "CA subject: %s", name);
        convert(issuer, false);
        AddToHistory(m_pOwner, "CA issuer: %s", name);
        AddToHistory(m_pOwner, "Serial Number is: %s", SerialText(issuer->pCertInfo->SerialNumber).c_str());
        AddToHistory(m_pOwner, "--");
        if (current != certificate)
            CertFreeCertificateContext(current);
        current = issuer;
    }
    if (current != certificate)
        CertFreeCertificateContext(current);
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
