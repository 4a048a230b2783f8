// What a test found out, beside the history lines: the testers fill a record
// at the step where they learn each fact, and hand it to the owner's result
// sink when one is set. The window sets none and writes exactly its history;
// the command line collects records and formats them. Nothing here is ever
// parsed back out of history text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

enum class TestStep
{
    None,
    Resolve,
    Connect,
    Handshake,
    Certificate,
    Greeting,
    Shutdown
};

// "none", "resolve", "connect", "handshake", "certificate", "greeting", "shutdown".
const char* TestStepName(TestStep step);

// Milliseconds spent in each step, from one monotonic clock (the clock the
// waits consult); nullopt where the step was not reached (or does not exist
// for the tester's kind).
struct StepTimes
{
    std::optional<double> resolveMs;
    std::optional<double> connectMs;
    std::optional<double> handshakeMs; // TLS
    std::optional<double> greetingMs;  // plain
    std::optional<double> verifyMs;    // TLS: the certificate report and chain check
    std::optional<double> shutdownMs;  // close-notify (TLS) and close
};

struct CertificateFacts
{
    std::string subject; // as the certificate services write them
    std::string issuer;
    std::string serial;    // as the history shows it: "0x01 0x9f "
    int64_t notBefore = 0; // seconds since 1970, UTC
    int64_t notAfter = 0;
};

struct TlsFacts
{
    // As the history names them ("TLS1.2", "AES(256)", "SHA_384",
    // "Elliptic Curve DH Ephemeral"), or the fallback's "0x660f".
    std::string protocol;
    std::string cipher;
    int cipherStrength = 0;
    std::string hash;
    int hashStrength = 0;
    std::string keyExchange;
    int keyExchangeStrength = 0;
    int headerSize = 0;
    int trailerSize = 0;
    int maxMessageSize = 0;
    std::optional<CertificateFacts> certificate;
    // The soonest notAfter of the chain the check built (server certificate,
    // intermediates, root); nullopt when no chain was built.
    std::optional<int64_t> chainNotAfter;
    // The chain policy's error: 0 when trusted; its platform name
    // ("ERROR_SUCCESS", "CERT_E_CN_NO_MATCH", ...). nullopt when the check did not run.
    std::optional<uint32_t> verifyCode;
    std::string verifyName;
};

struct TargetRecord
{
    int buttonId = 0;    // 0 for a typed server
    std::string caption; // the button's caption, carriage return as is; empty for a typed server
    std::string label;
    std::string host;
    int port = 0;
    std::string tester; // "tls" or "plain"
    std::string resolvedAddress;
    std::string sourceAddress;
    int sourcePort = 0;
    bool passed = false;
    // Where the target failed. The TLS test's credentials count as part of
    // its handshake; a refused or unfinished connect (and a socket library
    // that did not start) as the connect.
    TestStep failedStep = TestStep::None;
    // The failure's reason exactly as the history shows it: the text after
    // a "** FAILED to ... **" line's fixed part, or the line that ended the
    // target (a greeting time-out, a verification failure, a credentials
    // error). Empty when the target passed, or failed without a line.
    std::string reason;
    StepTimes times;
    std::optional<TlsFacts> tls;
};

struct PressRecord
{
    int buttonId = 0;
    std::string caption;
    std::string sequence;             // "Single", "SingleNumbered", "Chain", "Pair"
    std::vector<std::string> tested;  // labels, in order
    std::vector<std::string> skipped; // labels a Chain stop left out
    bool passed = false;
};

// Collects records. Targets arrive between BeginPress and Press of the press
// that tested them; a typed server's test arrives outside any press.
class CResultSink
{
public:
    virtual ~CResultSink() = default;
    virtual void BeginPress(int buttonId, const std::string& caption) = 0;
    virtual void Target(const TargetRecord& record) = 0;
    virtual void Press(const PressRecord& record) = 0;
};
