// The causes of the socket steps, from the codes the socket layer gives.
#pragma once

#include "test_record.h"

#include <string>

// A failed name lookup by its WSA code. A lookup without an answer is told
// apart by whether this PC has a DNS server to ask at all.
Cause LookupCause(int wsaError);
// A connect that failed, or a connection that broke, by its WSA code.
Cause ConnectCause(int wsaError);

// The DNS servers this PC's resolver asks: the nameserver lines of
// /etc/resolv.conf or, where those name only a local stub (systemd-resolved's
// 127.0.0.53 or 127.0.0.54), the servers of the stub's own file.
int ConfiguredDnsServers();
// Tests read the files under a folder of their own; "" is the system's root.
void SetDnsConfigRoot(const std::string& root);
