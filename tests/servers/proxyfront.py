#!/usr/bin/python3
"""A byte-for-byte TCP relay in front of Dovecot's haproxy=yes listener.
Dovecot 2.3.19 counts every connection whose remote IP equals its local IP (127.0.0.1 -> 127.0.0.1) as
"secured", so on loopback it offers and accepts SASL XOAUTH2/OAUTHBEARER before STLS. Through this relay the
connection arrives with a PROXY v1 header naming the real client (127.0.0.1:port); a proxied connection is
secured only by TLS, so Dovecot then behaves as it would for a remote client. Nothing else is touched: STLS,
AUTH and mail all pass through unchanged."""
import argparse, os, socket, threading

ap = argparse.ArgumentParser()
ap.add_argument("--listen", default="127.0.0.1")
ap.add_argument("--port", type=int, default=24110)
ap.add_argument("--backend", type=int, default=24112)
ap.add_argument("--pidfile", default="")
A = ap.parse_args()


def pipe(src, dst, done):
    try:
        while True:
            d = src.recv(65536)
            if not d:
                break
            dst.sendall(d)
    except OSError:
        pass
    try:
        dst.shutdown(socket.SHUT_WR)
    except OSError:
        pass
    if done.acquire(blocking=False) is False:   # second pipe to finish closes both sockets
        for s in (src, dst):
            try:
                s.close()
            except OSError:
                pass


def handle(c, addr):
    try:
        b = socket.create_connection(("127.0.0.1", A.backend), timeout=10)
        b.settimeout(None)
        b.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        b.sendall(("PROXY TCP4 %s %s %d %d\r\n" % (addr[0], A.listen, addr[1], A.port)).encode())
    except OSError:
        c.close()
        return
    done = threading.Lock()
    threading.Thread(target=pipe, args=(c, b, done), daemon=True).start()
    pipe(b, c, done)


srv = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
srv.bind((A.listen, A.port))
srv.listen(128)
if A.pidfile:
    with open(A.pidfile, "w") as f:
        f.write("%d\n" % os.getpid())
while True:
    c, addr = srv.accept()
    c.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    threading.Thread(target=handle, args=(c, addr), daemon=True).start()
