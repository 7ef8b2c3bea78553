#!/usr/bin/python3
"""A small OAuth 2.0 authorization server for the tests (python3 standard library only).

Endpoints (127.0.0.1 only, state in memory, every request logged to --log):
  GET  /authorize    auto-approves: 302 to redirect_uri?code=..&state=.. (PKCE S256 required)
  POST /token        grant_type=authorization_code (PKCE S256 checked) | refresh_token
  POST /introspect   RFC 7662: {"active":true,"username":..} for a live access token, else {"active":false}
  POST /revoke       RFC 7009: revoke an access or refresh token (a refresh token takes its access tokens along)
  GET  /.well-known/oauth-authorization-server   RFC 8414 metadata
  POST /test/issue   lab only: user=..&ttl=..&length=..&scope=.. -> tokens without the code flow
  POST /test/outage  lab only: on=1 -> /introspect answers 503 (Dovecot: temporary failure), on=0 -> normal
  POST /test/expire  lab only: token=.. -> that access token expires now (the client still thinks it lives)
  POST /test/config  lab only: access_ttl=.. -> lifetime of the access tokens issued from now on
  GET  /test/state   lab only: counts of codes, tokens and requests
"""
import argparse, base64, hashlib, json, re, secrets, sys, threading, time, urllib.parse
from http.server import ThreadingHTTPServer, BaseHTTPRequestHandler

ap = argparse.ArgumentParser()
ap.add_argument("--listen", default="127.0.0.1")
ap.add_argument("--port", type=int, default=24080)
ap.add_argument("--log", default="-")
ap.add_argument("--access-ttl", type=int, default=300, help="access token lifetime, seconds")
ap.add_argument("--refresh-ttl", type=int, default=30 * 86400, help="refresh token lifetime, seconds")
ap.add_argument("--code-ttl", type=int, default=60)
ap.add_argument("--rotate-refresh", choices=("yes", "no"), default="yes",
                help="yes: each refresh_token grant returns a new refresh token and retires the old one")
ap.add_argument("--users", default="alice bob", help="users /authorize may approve (login_hint picks one)")
ap.add_argument("--default-user", default="alice")
ap.add_argument("--domain", default="korvex.test")
ap.add_argument("--clients", default="korvex-test",
                help="space separated client_id or client_id:secret (secret => confidential client); '*' = any id")
ap.add_argument("--introspect-client", default="",
                help="client_id:secret (or @FILE holding it) that /introspect requires (empty: no client authentication)")
ap.add_argument("--pidfile", default="")
A = ap.parse_args()
if A.introspect_client.startswith("@"):          # @FILE: read client_id:secret from FILE (keeps it out of ps)
    A.introspect_client = open(A.introspect_client[1:]).read().strip()

USERS = A.users.split()
CLIENTS = {}
for c in A.clients.split():
    cid, _, sec = c.partition(":")
    CLIENTS[cid] = sec or None
LOCK = threading.RLock()   # err() counts under it, and is called with it held
CODES, ACCESS, REFRESH = {}, {}, {}
STATE = {"outage": False}
COUNTS = {"authorize": 0, "authorization_code": 0, "refresh_token": 0, "token_errors": 0}
LOGF = sys.stdout if A.log == "-" else open(A.log, "a", buffering=1)
UNRESERVED = re.compile(r"^[A-Za-z0-9\-._~]{43,128}$")


def short(tok):
    return (tok[:10] + "..") if tok and len(tok) > 12 else tok


def log(msg):
    LOGF.write("%s %s\n" % (time.strftime("%Y-%m-%dT%H:%M:%S"), msg))


def b64url_sha256(s):
    return base64.urlsafe_b64encode(hashlib.sha256(s.encode("ascii")).digest()).rstrip(b"=").decode()


def new_token(prefix, length=0):
    t = prefix + secrets.token_urlsafe(32)
    while len(t) < length:
        t += secrets.token_urlsafe(48)
    return t[:length] if length > len(prefix) + 16 else t


def issue(user, client_id, scope, ttl=None, length=0, refresh=None):
    """issue an access token (and a refresh token unless one is given to keep); caller holds LOCK"""
    now = int(time.time())
    ttl = A.access_ttl if ttl is None else ttl
    if refresh is None:
        refresh = new_token("ort_")
        REFRESH[refresh] = {"user": user, "client_id": client_id, "scope": scope,
                            "iat": now, "exp": now + A.refresh_ttl, "revoked": False}
    at = new_token("oat_", length)
    ACCESS[at] = {"user": user, "client_id": client_id, "scope": scope, "iat": now,
                  "exp": now + ttl, "revoked": False, "refresh": refresh}
    return {"access_token": at, "token_type": "Bearer", "expires_in": ttl,
            "refresh_token": refresh, "scope": scope}


def client_auth(h, form):
    """-> (client_id, secret or None) from HTTP Basic or the form"""
    auth = h.headers.get("Authorization", "")
    if auth.lower().startswith("basic "):
        try:
            cid, _, sec = base64.b64decode(auth[6:]).decode().partition(":")
            return urllib.parse.unquote_plus(cid), urllib.parse.unquote_plus(sec)
        except Exception:
            return None, None
    return form.get("client_id"), form.get("client_secret")


def client_ok(cid, sec):
    if cid is None:
        return False
    if cid not in CLIENTS:
        return "*" in CLIENTS
    return CLIENTS[cid] is None or CLIENTS[cid] == sec


def loopback_uri(uri):
    u = urllib.parse.urlsplit(uri)
    return u.scheme == "http" and u.hostname in ("127.0.0.1", "localhost", "::1") and not u.fragment


class H(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "korvex-test-oauth/1"

    def log_message(self, fmt, *args):  # quiet stderr; we log ourselves
        pass

    def reply(self, code, obj=None, headers=None, note=""):
        body = b"" if obj is None else json.dumps(obj).encode()
        self.send_response(code)
        if obj is not None:
            self.send_header("Content-Type", "application/json")
        self.send_header("Cache-Control", "no-store")
        self.send_header("Pragma", "no-cache")
        for k, v in (headers or {}).items():
            self.send_header(k, v)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)
        log("%s %s %s -> %d %s" % (self.client_address[0], self.command, self.path.split("?")[0], code,
                                   note or (obj.get("error", "") if isinstance(obj, dict) else "")))

    def form(self):
        n = int(self.headers.get("Content-Length") or 0)
        raw = self.rfile.read(n).decode("utf-8", "replace") if n else ""
        q = urllib.parse.urlsplit(self.path).query
        f = dict(urllib.parse.parse_qsl(q, keep_blank_values=True))
        f.update(urllib.parse.parse_qsl(raw, keep_blank_values=True))
        return f

    def err(self, code, error, desc, extra=None):
        if urllib.parse.urlsplit(self.path).path == "/token":
            with LOCK:
                COUNTS["token_errors"] += 1
        o = {"error": error, "error_description": desc}
        o.update(extra or {})
        self.reply(code, o, note="%s (%s)" % (error, desc))

    # ---- GET ----
    def do_GET(self):
        path = urllib.parse.urlsplit(self.path).path
        if path == "/authorize":
            return self.authorize(dict(urllib.parse.parse_qsl(urllib.parse.urlsplit(self.path).query)))
        if path in ("/.well-known/oauth-authorization-server", "/.well-known/openid-configuration"):
            base = "http://%s:%d" % (A.listen, A.port)
            return self.reply(200, {
                "issuer": base, "authorization_endpoint": base + "/authorize",
                "token_endpoint": base + "/token", "introspection_endpoint": base + "/introspect",
                "revocation_endpoint": base + "/revoke", "response_types_supported": ["code"],
                "grant_types_supported": ["authorization_code", "refresh_token"],
                "code_challenge_methods_supported": ["S256"],
                "token_endpoint_auth_methods_supported": ["none", "client_secret_post", "client_secret_basic"]})
        if path == "/test/state":
            with LOCK:
                now = time.time()
                return self.reply(200, {"codes": len(CODES), "access_tokens": len(ACCESS),
                                        "live_access_tokens": sum(1 for t in ACCESS.values()
                                                                  if not t["revoked"] and t["exp"] > now),
                                        "refresh_tokens": len(REFRESH), "outage": STATE["outage"],
                                        "access_ttl": A.access_ttl, "rotate_refresh": A.rotate_refresh,
                                        "requests": dict(COUNTS)})
        self.reply(404, {"error": "not_found"})

    def authorize(self, q):
        with LOCK:
            COUNTS["authorize"] += 1
        cid, ru, state = q.get("client_id"), q.get("redirect_uri"), q.get("state")
        if not cid or not client_ok(cid, CLIENTS.get(cid)):
            return self.err(400, "invalid_client", "unknown or missing client_id")   # never redirect
        if not ru or not loopback_uri(ru):
            return self.err(400, "invalid_request", "redirect_uri must be http://127.0.0.1|localhost|[::1][:port]/...")

        def back(params, note):
            if state is not None:
                params["state"] = state
            loc = ru + ("&" if urllib.parse.urlsplit(ru).query else "?") + urllib.parse.urlencode(params)
            self.reply(302, None, {"Location": loc}, note=note)

        if q.get("response_type") != "code":
            return back({"error": "unsupported_response_type"}, "unsupported_response_type")
        ch, meth = q.get("code_challenge"), q.get("code_challenge_method")
        if not ch:
            return back({"error": "invalid_request", "error_description": "code_challenge required (PKCE)"},
                        "invalid_request (no code_challenge)")
        if meth != "S256":
            return back({"error": "invalid_request", "error_description": "code_challenge_method must be S256"},
                        "invalid_request (method %r)" % meth)
        if not re.match(r"^[A-Za-z0-9_-]{43}$", ch):
            return back({"error": "invalid_request", "error_description": "malformed code_challenge"},
                        "invalid_request (malformed challenge)")
        user = (q.get("login_hint") or A.default_user).split("@")[0].lower()
        if user not in USERS:
            return back({"error": "access_denied", "error_description": "no such lab user"}, "access_denied")
        code = secrets.token_urlsafe(24)
        with LOCK:
            CODES[code] = {"client_id": cid, "redirect_uri": ru, "challenge": ch, "user": user,
                           "scope": q.get("scope") or "mail", "exp": time.time() + A.code_ttl, "used": False,
                           "tokens": []}
        back({"code": code}, "code for %s (auto-approved)" % user)

    # ---- POST ----
    def do_POST(self):
        path = urllib.parse.urlsplit(self.path).path
        f = self.form()
        if path == "/token":
            return self.token(f)
        if path == "/introspect":
            return self.introspect(f)
        if path == "/revoke":
            return self.revoke(f)
        if path == "/test/issue":
            user = f.get("user", A.default_user)
            ttl = int(f["ttl"]) if f.get("ttl") else None
            with LOCK:
                r = issue(user, f.get("client_id", "korvex-test"), f.get("scope", "mail"), ttl,
                          int(f.get("length") or 0))
            return self.reply(200, r, note="test issue %s %s ttl=%s" % (user, short(r["access_token"]), r["expires_in"]))
        if path == "/test/expire":
            with LOCK:
                t = ACCESS.get(f.get("token", ""))
                if t is not None:
                    t["exp"] = int(time.time()) - 1
            return self.reply(200, {"expired": t is not None})
        if path == "/test/config":
            if f.get("access_ttl"):
                A.access_ttl = int(f["access_ttl"])
            return self.reply(200, {"access_ttl": A.access_ttl})
        if path == "/test/outage":
            STATE["outage"] = f.get("on", "1") == "1"
            return self.reply(200, {"outage": STATE["outage"]}, note="outage=%s" % STATE["outage"])
        self.reply(404, {"error": "not_found"})

    def token(self, f):
        cid, sec = client_auth(self, f)
        if not client_ok(cid, sec):
            return self.err(401, "invalid_client", "unknown client or bad secret",
                            ) if cid else self.err(400, "invalid_request", "client_id required")
        gt = f.get("grant_type")
        now = time.time()
        with LOCK:
            if gt in COUNTS:
                COUNTS[gt] += 1
        if gt == "authorization_code":
            code, ver = f.get("code", ""), f.get("code_verifier", "")
            with LOCK:
                c = CODES.get(code)
                if c is None:
                    return self.err(400, "invalid_grant", "unknown code")
                if c["used"]:
                    for at in c["tokens"]:        # RFC 6749 4.1.2: code replay -> revoke what it issued
                        ACCESS[at]["revoked"] = True
                        REFRESH[ACCESS[at]["refresh"]]["revoked"] = True
                    return self.err(400, "invalid_grant", "code already used (tokens revoked)")
                if c["exp"] < now:
                    return self.err(400, "invalid_grant", "code expired")
                if c["client_id"] != cid:
                    return self.err(400, "invalid_grant", "code was issued to another client")
                if f.get("redirect_uri") != c["redirect_uri"]:
                    return self.err(400, "invalid_grant", "redirect_uri differs from /authorize")
                if not UNRESERVED.match(ver):
                    return self.err(400, "invalid_request", "code_verifier missing or malformed")
                if b64url_sha256(ver) != c["challenge"]:
                    return self.err(400, "invalid_grant", "PKCE verification failed")
                c["used"] = True
                r = issue(c["user"], cid, c["scope"], int(f["lab_ttl"]) if f.get("lab_ttl") else None,
                          int(f.get("lab_length") or 0))
                c["tokens"].append(r["access_token"])
            return self.reply(200, r, note="code grant %s %s" % (c["user"], short(r["access_token"])))
        if gt == "refresh_token":
            rt = f.get("refresh_token", "")
            with LOCK:
                R = REFRESH.get(rt)
                if R is None or R["revoked"] or R["exp"] < now:
                    return self.err(400, "invalid_grant", "refresh token unknown, revoked or expired")
                if R["client_id"] != cid:
                    return self.err(400, "invalid_grant", "refresh token belongs to another client")
                if A.rotate_refresh == "yes":
                    R["revoked"] = True   # retired; its access tokens stay valid until they expire
                    r = issue(R["user"], cid, R["scope"], int(f["lab_ttl"]) if f.get("lab_ttl") else None,
                              int(f.get("lab_length") or 0))
                else:
                    r = issue(R["user"], cid, R["scope"], int(f["lab_ttl"]) if f.get("lab_ttl") else None,
                              int(f.get("lab_length") or 0), refresh=rt)
            return self.reply(200, r, note="refresh grant %s %s" % (R["user"], short(r["access_token"])))
        return self.err(400, "unsupported_grant_type", "grant_type %r" % gt)

    def introspect(self, f):
        if A.introspect_client:
            cid, sec = client_auth(self, f)
            if "%s:%s" % (cid, sec) != A.introspect_client:
                return self.err(401, "invalid_client", "introspection needs the resource server's credentials")
        if STATE["outage"]:
            return self.reply(503, {"error": "temporarily_unavailable"}, note="outage (503)")
        tok = f.get("token", "")
        now = int(time.time())
        with LOCK:
            t = ACCESS.get(tok)   # only access tokens: a refresh token must never open a mailbox
            why = ("unknown token" if t is None else "revoked" if t["revoked"] else
                   "expired" if t["exp"] <= now else "")
            if why:
                return self.reply(200, {"active": False}, note="inactive %s: %s" % (short(tok), why))
            r = {"active": True, "username": t["user"], "sub": t["user"],
                 "email": "%s@%s" % (t["user"], A.domain), "scope": t["scope"], "client_id": t["client_id"],
                 "token_type": "Bearer", "exp": t["exp"], "iat": t["iat"]}
        self.reply(200, r, note="active %s user=%s exp_in=%ds" % (short(tok), t["user"], t["exp"] - now))

    def revoke(self, f):
        tok = f.get("token", "")
        with LOCK:
            what = "unknown"
            if tok in ACCESS:
                ACCESS[tok]["revoked"] = True
                what = "access token"
            elif tok in REFRESH:
                REFRESH[tok]["revoked"] = True
                n = 0
                for t in ACCESS.values():
                    if t["refresh"] == tok and not t["revoked"]:
                        t["revoked"] = True
                        n += 1
                what = "refresh token (+%d access tokens)" % n
        self.reply(200, None, note="revoked %s %s" % (what, short(tok)))   # RFC 7009: 200 even if unknown


class Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True


if __name__ == "__main__":
    srv = Server((A.listen, A.port), H)
    if A.pidfile:
        import os
        with open(A.pidfile, "w") as p:
            p.write("%d\n" % os.getpid())
    log("listening on %s:%d access_ttl=%d rotate_refresh=%s clients=%s users=%s introspect_auth=%s"
        % (A.listen, A.port, A.access_ttl, A.rotate_refresh, " ".join(CLIENTS), " ".join(USERS),
           "yes" if A.introspect_client else "no"))
    try:
        srv.serve_forever()
    except KeyboardInterrupt:
        pass
