#!/usr/bin/env python3
"""Times `kestavane-cli report` over the whole catalogue, twice:

  blackholed  every catalogue endpoint drops new connections (a listener
              whose accept queue one connection fills), as behind a firewall
              that drops everything: each connect waits out its 10 s;
  answering   every endpoint answers as a processor would: a TLS server with
              a certificate from a root of the script's own (SSL_CERT_FILE),
              or a greeter that sends CONNECTED.

    python3 bench/report_speed.py build/bin/kestavane-cli [ROUNDS]

The catalogue's hosts come from bench/loopback_hosts.txt through --hosts, so
any build will do. The script moves itself into a network namespace of its
own (unshare; as root, or through a user namespace), so nothing leaves this
machine. The report runs with its default parallelism and no proxy. Each
server thread stops by itself after the rounds or a minute.
"""
import os
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time

from run_all_jobs import dropping_listener, enter_namespace

HERE = os.path.dirname(os.path.abspath(__file__))
HOSTS = os.path.join(HERE, "loopback_hosts.txt")
LIFETIME_S = 60


def endpoints(cli):
    listing = subprocess.run([cli, "list", "--hosts", HOSTS], check=True, capture_output=True, text=True).stdout
    found = set()
    for line in listing.splitlines():
        fields = line.split("\t")
        found.add((fields[2], fields[6], int(fields[7])))
    return sorted(found)


def make_pki(folder):
    """A root and one server certificate for every loopback address the list uses."""
    def openssl(*args):
        subprocess.run(["openssl", *args], check=True, capture_output=True)
    root_key, root, key, csr, cert = (os.path.join(folder, n) for n in ("root.key", "root.pem", "key.pem",
                                                                         "csr.pem", "cert.pem"))
    openssl("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-keyout", root_key,
            "-out", root, "-days", "2", "-subj", "/CN=Bench Root", "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign")
    openssl("req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-keyout", key, "-out", csr,
            "-subj", "/CN=127.0.0.1")
    ext = os.path.join(folder, "ext.cnf")
    with open(ext, "w") as f:
        f.write("subjectAltName=IP:127.0.0.1\nextendedKeyUsage=serverAuth\n")
    openssl("x509", "-req", "-in", csr, "-CA", root, "-CAkey", root_key, "-CAcreateserial", "-out", cert,
            "-days", "2", "-extfile", ext)
    return root, cert, key


def serve(listener, handle, stop):
    listener.settimeout(0.2)
    deadline = time.monotonic() + LIFETIME_S
    while not stop.is_set() and time.monotonic() < deadline:
        try:
            conn, _ = listener.accept()
        except socket.timeout:
            continue
        threading.Thread(target=handle, args=(conn,), daemon=True).start()
    listener.close()


def tls_handler(context):
    def handle(conn):
        conn.settimeout(5)
        try:
            with context.wrap_socket(conn, server_side=True) as tls:
                while tls.recv(4096):
                    pass
        except (OSError, ssl.SSLError):
            pass
    return handle


def greeter(conn):
    conn.settimeout(5)
    try:
        conn.sendall(b"CONNECTED\x03")
        while conn.recv(4096):
            pass
    except OSError:
        pass
    finally:
        conn.close()


def answering_listener(host, port):
    server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind((host, port))
    server.listen(64)
    return server


def report(cli, env):
    with tempfile.NamedTemporaryFile(suffix=".html") as page:
        start = time.monotonic()
        done = subprocess.run([cli, "report", "--hosts", HOSTS, "--via-proxy", "none", "--format", "html",
                               "--output", page.name], env=env, capture_output=True, text=True)
        elapsed = time.monotonic() - start
        size = os.path.getsize(page.name)
    return elapsed, done.returncode, size, done.stderr.strip()


def main():
    args = sys.argv[1:]
    if not args:
        sys.exit(__doc__)
    cli = os.path.abspath(args[0])
    rounds = int(args[1]) if len(args) > 1 else 3
    enter_namespace()
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    targets = endpoints(cli)
    print(f"{len(targets)} catalogue endpoints; {rounds} rounds each")
    print(f"{'network':>10}  {'wall s':>7}  {'exit':>4}  {'page KiB':>8}")

    held = [dropping_listener(host, port) for _, host, port in targets]
    for _ in range(rounds):
        elapsed, code, size, err = report(cli, dict(os.environ))
        print(f"{'blackholed':>10}  {elapsed:>7.2f}  {code:>4}  {size / 1024:>8.1f}", flush=True)
    for server, filler in held:
        filler.close()
        server.close()

    with tempfile.TemporaryDirectory() as folder:
        root, cert, key = make_pki(folder)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert, key)
        stop = threading.Event()
        threads = []
        for tester, host, port in targets:
            handle = tls_handler(context) if tester == "Tls" else greeter
            t = threading.Thread(target=serve, args=(answering_listener(host, port), handle, stop), daemon=True)
            t.start()
            threads.append(t)
        env = dict(os.environ, SSL_CERT_FILE=root)
        for _ in range(rounds):
            elapsed, code, size, err = report(cli, env)
            print(f"{'answering':>10}  {elapsed:>7.2f}  {code:>4}  {size / 1024:>8.1f}", flush=True)
            if code != 0:
                print(err, file=sys.stderr)
        stop.set()
        for t in threads:
            t.join()


if __name__ == "__main__":
    main()
