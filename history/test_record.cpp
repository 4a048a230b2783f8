#include "test_record.h"

const char* TestStepName(TestStep step)
{
    switch (step)
    {
    case TestStep::None: return "none";
    case TestStep::Resolve: return "resolve";
    case TestStep::Connect: return "connect";
    case TestStep::Handshake: return "handshake";
    case TestStep::ConnectionInfo: return "connection_info";
    case TestStep::Certificate: return "certificate";
    case TestStep::Verification: return "verification";
    case TestStep::Greeting: return "greeting";
    case TestStep::Shutdown: return "shutdown";
    }
    return "none";
}

const char* TlsAlertName(int description)
{
    switch (description)
    {
    case 0: return "close_notify";
    case 10: return "unexpected_message";
    case 20: return "bad_record_mac";
    case 21: return "decryption_failed";
    case 22: return "record_overflow";
    case 30: return "decompression_failure";
    case 40: return "handshake_failure";
    case 41: return "no_certificate";
    case 42: return "bad_certificate";
    case 43: return "unsupported_certificate";
    case 44: return "certificate_revoked";
    case 45: return "certificate_expired";
    case 46: return "certificate_unknown";
    case 47: return "illegal_parameter";
    case 48: return "unknown_ca";
    case 49: return "access_denied";
    case 50: return "decode_error";
    case 51: return "decrypt_error";
    case 60: return "export_restriction";
    case 70: return "protocol_version";
    case 71: return "insufficient_security";
    case 80: return "internal_error";
    case 86: return "inappropriate_fallback";
    case 90: return "user_canceled";
    case 100: return "no_renegotiation";
    case 109: return "missing_extension";
    case 110: return "unsupported_extension";
    case 111: return "certificate_unobtainable";
    case 112: return "unrecognized_name";
    case 113: return "bad_certificate_status_response";
    case 114: return "bad_certificate_hash_value";
    case 115: return "unknown_psk_identity";
    case 116: return "certificate_required";
    case 120: return "no_application_protocol";
    default: return nullptr;
    }
}

std::string CauseName(Cause cause, int alert)
{
    switch (cause)
    {
    case Cause::None: return "none";
    case Cause::NameNotFound: return "name_not_found";
    case Cause::NoDnsServer: return "no_dns_server";
    case Cause::DnsNoAnswer: return "dns_no_answer";
    case Cause::ResolveFailed: return "resolve_failed";
    case Cause::Refused: return "refused";
    case Cause::TimedOut: return "timed_out";
    case Cause::Unreachable: return "unreachable";
    case Cause::Reset: return "reset";
    case Cause::SocketError: return "socket_error";
    case Cause::ConnectFailed: return "connect_failed";
    case Cause::Alert:
    {
        const char* name = TlsAlertName(alert);
        return std::string("alert_") + (name ? name : "unknown");
    }
    case Cause::HandshakeTimedOut: return "handshake_timed_out";
    case Cause::PeerClosed: return "peer_closed";
    case Cause::NotTls: return "not_tls";
    case Cause::NoCommonAlgorithm: return "no_common_algorithm";
    case Cause::TlsError: return "tls_error";
    case Cause::ProviderMissing: return "provider_missing";
    case Cause::CredentialsRefused: return "credentials_refused";
    case Cause::NoHostName: return "no_host_name";
    case Cause::NoServerCertificate: return "no_server_certificate";
    case Cause::CertificateError: return "certificate_error";
    case Cause::Expired: return "expired";
    case Cause::NotYetValid: return "not_yet_valid";
    case Cause::UntrustedRoot: return "untrusted_root";
    case Cause::IncompleteChain: return "incomplete_chain";
    case Cause::NameMismatch: return "name_mismatch";
    case Cause::WrongUsage: return "wrong_usage";
    case Cause::NameConstraints: return "name_constraints";
    case Cause::Revoked: return "revoked";
    case Cause::VerificationFailed: return "verification_failed";
    case Cause::GreetingTimedOut: return "greeting_timed_out";
    case Cause::ConnectionLost: return "connection_lost";
    case Cause::ProxyUnreachable: return "proxy_unreachable";
    case Cause::ProxyRefused: return "proxy_refused";
    case Cause::ProxyAuthRequired: return "proxy_auth_required";
    case Cause::ProxyTargetFailed: return "proxy_target_failed";
    case Cause::ProxyTimedOut: return "proxy_timed_out";
    case Cause::ProxyBadAnswer: return "proxy_bad_answer";
    }
    return "none";
}
