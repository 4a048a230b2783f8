// What a test found out, beside the history lines: the testers fill a record
// at the step where they learn each fact, the failure from the outcome of the
// step that ended the test, and hand it to the owner's result sink when one
// is set. The window sets none and writes exactly its history;
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
    Handshake, // the TLS test's credentials count as part of it
    ConnectionInfo,
    Certificate,  // the server certificate: the host name to check it for, the certificate itself
    Verification, // its chain, built and checked against the SSL policy
    Greeting,
    Shutdown
};

// "none", "resolve", "connect", "handshake", "connection_info", "certificate",
// "verification", "greeting", "shutdown".
const char* TestStepName(TestStep step);

// Why a step failed, from a fixed list: what the records, the metrics and the
// hints are keyed to. The history never shows it. Add a cause here, give it
// its name in CauseName, and every output has it.
enum class Cause
{
    None,
    // resolve
    NameNotFound,  // the DNS answered that the name has no (IPv4) address
    NoDnsServer,   // the lookup failed and this PC has no DNS server configured
    DnsNoAnswer,   // DNS servers are configured but the lookup got no answer
    ResolveFailed, // any other failed lookup
    // connect
    Refused,       // the host answered with a reset: nothing listens on the port
    TimedOut,      // nothing answered within the bound: dropped on the way
    Unreachable,   // no route to the host, or the network is down
    Reset,         // the connection was reset or aborted
    SocketError,   // this PC's socket layer failed (start-up, socket, already open)
    ConnectFailed, // any other connect error
    // handshake
    Alert,             // the server ended the handshake with a TLS alert (named apart)
    HandshakeTimedOut, // a read of the handshake waited its whole bound
    PeerClosed,        // the server closed the connection during the handshake
    NotTls,            // what the server sent is not TLS
    NoCommonAlgorithm, // no protocol version or cipher both sides accept
    TlsError,          // any other failure of the handshake
    ProviderMissing,   // the security provider could not be loaded
    CredentialsRefused,
    // certificate
    NoHostName, // no host name to check the certificate against
    NoServerCertificate,
    CertificateError,
    // verification
    Expired,
    NotYetValid,
    UntrustedRoot,
    IncompleteChain,
    NameMismatch,
    WrongUsage,
    NameConstraints,
    Revoked,
    VerificationFailed,
    // greeting
    GreetingTimedOut,
    ConnectionLost,
    // through a proxy (--via-proxy): what stood between this PC and the host
    ProxyUnreachable,  // the proxy's name did not resolve, or nothing took the connection
    ProxyRefused,      // the proxy refused to open a tunnel to that host and port
    ProxyAuthRequired, // the proxy wants a user name and password, or refused those given
    ProxyTargetFailed, // the proxy answered that it could not reach the host
    ProxyTimedOut,     // the proxy took the request but gave no answer within the bound
    ProxyBadAnswer     // the proxy hung up, or answered with something that is not HTTP
};

// "refused", "timed_out", ...; an alert is "alert_" and the alert's
// registered name ("alert_protocol_version"), "alert_unknown" for a number
// without one. "none" for Cause::None.
std::string CauseName(Cause cause, int alert = -1);
// The registered name of a TLS alert description ("protocol_version"); null for an unknown number.
const char* TlsAlertName(int description);

// What one step of a test came to. Two writers read it: the tester writes
// the step's failure lines from it (in the system's words, `detail`), and
// the record takes its time and, when it ended the test, its failure.
struct StepOutcome
{
    StepOutcome() = default;
    // A step that succeeded.
    explicit StepOutcome(TestStep passed) : step(passed) {}

    TestStep step = TestStep::None;
    Cause cause = Cause::None; // None: the step succeeded
    // The platform's code as the history prints it: a socket error, a
    // provider status, a trust error, a last-error value; 0 when none.
    int32_t code = 0;
    int alert = -1;           // the TLS alert description when cause is Alert
    std::string detail;       // the failure as the history shows it
    std::optional<double> ms; // the step's time on the wait clock, when it was measured

    bool Failed() const { return cause != Cause::None; }
};

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
    // Every certificate of the chain as the chain engine built it, the
    // server's first and the root last; empty when no chain was built.
    std::vector<CertificateFacts> chain;
    // The chain policy's error: 0 when trusted; its platform name
    // ("ERROR_SUCCESS", "CERT_E_CN_NO_MATCH", ...). nullopt when the check did not run.
    std::optional<uint32_t> verifyCode;
    std::string verifyName;
};

// The test of one further address of the target's name (--all-addresses).
struct AddressRecord
{
    std::string address;
    bool passed = false;
    TestStep failedStep = TestStep::None;
    Cause cause = Cause::None;
    int alert = -1;
};

struct TargetRecord
{
    int buttonId = 0;    // 0 for a typed server
    std::string caption; // the button's caption, carriage return as is; empty for a typed server
    std::string label;
    std::string host;
    int port = 0;
    std::string tester; // "tls" or "plain"
    // "direct", or "proxy" when the connection went through a proxy's CONNECT;
    // proxy is then its URL without credentials, and resolvedAddress stays
    // empty: the proxy looks the name up, not this PC.
    std::string path = "direct";
    std::string proxy;
    std::string resolvedAddress;
    std::string sourceAddress;
    int sourcePort = 0;
    bool passed = false;
    // Where and why the target failed, from the outcome of the step that
    // ended it. The reason is the failure exactly as the history shows it:
    // the text after a "** FAILED to ... **" line's fixed part, or the line
    // that ended the target (a greeting time-out, a verification failure, a
    // credentials error); empty when the target passed, or failed without a
    // line. The TLS test's credentials count as part of its handshake.
    TestStep failedStep = TestStep::None;
    std::string reason;
    Cause cause = Cause::None;
    int32_t code = 0; // the platform's code of the failure, as the history prints it
    int alert = -1;   // the server's TLS alert, when the cause is Alert
    StepTimes times;
    std::optional<TlsFacts> tls;
    // Every address of the name, the first (the one the history narrates)
    // first, when the sink asks for them; empty otherwise.
    std::vector<AddressRecord> addresses;
    // Filled by a front end that presents the record, never by a tester.
    std::string hint;
    std::vector<std::string> warnings;
};

struct PressRecord
{
    int buttonId = 0;
    std::string caption;
    std::string sequence;             // "Single", "SingleNumbered", "Chain", "Pair"
    std::vector<std::string> tested;  // labels, in order
    std::vector<std::string> skipped; // labels a Chain stop left out
    bool passed = false;
    std::string path = "direct"; // "proxy" when the press was made through a proxy
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
    // True when the testers should also test every further address of a
    // name, silently, for the record.
    virtual bool WantsEveryAddress() const { return false; }
};
