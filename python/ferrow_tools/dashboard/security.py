"""Who may do what: where the server may listen, the token that enables the
actions, the cookie that carries a sign-in and the CSRF check of forms, and
the Host check that keeps other web sites from reading a loopback dashboard
through a name of theirs that points at 127.0.0.1.

Cookies do not tell ports apart, so any other program serving pages on this
machine's loopback address can set (though not read) this server's cookies,
and its pages count as the same site. Hence a form's CSRF field is an HMAC of
the CSRF cookie under a secret of this server run, which such a page cannot
compute, and a form whose Origin is another is refused as well.
"""
import hashlib
import hmac
import ipaddress
import secrets
import urllib.parse
from typing import TYPE_CHECKING, Any, Dict, Optional, Set

if TYPE_CHECKING:
    from starlette.types import ASGIApp, Receive, Scope, Send

LOOPBACK_NAMES = {"localhost", "localhost.", "ip6-localhost"}


def is_loopback(host: str) -> bool:
    if host.lower() in LOOPBACK_NAMES:
        return True
    try:
        return ipaddress.ip_address(host.strip("[]")).is_loopback
    except ValueError:
        return False


def check_listen(host: str, token: Optional[str]) -> None:
    """Raises ValueError when the server must not listen as asked."""
    if token is not None and not token.strip():
        raise ValueError("--token must not be empty")
    if not is_loopback(host) and token is None:
        raise ValueError("refusing to listen on {} without --token: anyone who can reach it "
                         "could read every message; pass --token or keep the loopback "
                         "default".format(host))


def same(a: str, b: str) -> bool:
    return hmac.compare_digest(a.encode("utf-8"), b.encode("utf-8"))


class Guard:
    """The token of one server run, and the cookies derived from it."""

    def __init__(self, token: Optional[str], port: int) -> None:
        self.token = token
        self._secret = secrets.token_bytes(32)
        # Named per port, so that dashboards on two ports keep their own.
        self.auth_cookie_name = "ferrow_auth_{}".format(port)
        self.csrf_cookie_name = "ferrow_csrf_{}".format(port)

    @property
    def enabled(self) -> bool:
        return self.token is not None

    def token_ok(self, given: Optional[str]) -> bool:
        return self.token is not None and given is not None and same(given, self.token)

    def auth_cookie(self) -> str:
        """The sign-in cookie's value: proves the token was given without
        being the token, and is void when the server restarts."""
        assert self.token is not None
        return hmac.new(self._secret, self.token.encode("utf-8"), hashlib.sha256).hexdigest()

    def signed_in(self, cookies: Dict[str, str]) -> bool:
        given = cookies.get(self.auth_cookie_name)
        return self.token is not None and given is not None and same(given, self.auth_cookie())

    def header_token(self, headers: Any) -> Optional[str]:
        auth = headers.get("authorization", "")
        if auth.lower().startswith("bearer "):
            return str(auth[7:].strip())
        token = headers.get("x-ferrow-token")
        return None if token is None else str(token)

    @staticmethod
    def new_csrf_cookie() -> str:
        return secrets.token_urlsafe(32)

    def csrf_field(self, cookie: str) -> str:
        """The value a form of this server carries for this CSRF cookie."""
        return hmac.new(self._secret, b"csrf:" + cookie.encode("utf-8"),
                        hashlib.sha256).hexdigest()

    def csrf_ok(self, cookies: Dict[str, str], field: Optional[str], origin: Optional[str],
                host: Optional[str]) -> bool:
        cookie = cookies.get(self.csrf_cookie_name)
        if not cookie or field is None or not same(field, self.csrf_field(cookie)):
            return False
        if origin is not None:
            return urllib.parse.urlsplit(origin).netloc.lower() == (host or "").lower()
        return True


class HostCheck:
    """Answers 421 to HTTP requests whose Host header is not one of
    `allowed` (any host when `allowed` is None)."""

    def __init__(self, app: "ASGIApp", allowed: Optional[Set[str]]) -> None:
        self.app = app
        self.allowed = allowed

    async def __call__(self, scope: "Scope", receive: "Receive", send: "Send") -> None:
        if scope["type"] == "http" and self.allowed is not None:
            host = dict(scope.get("headers", ())).get(b"host", b"").decode("latin-1")
            name = urllib.parse.urlsplit("//" + host).hostname or ""
            if name.lower() not in self.allowed:
                await send({"type": "http.response.start", "status": 421,
                            "headers": [(b"content-type", b"text/plain; charset=utf-8")]})
                await send({"type": "http.response.body",
                            "body": b"This dashboard answers to its own address only.\n"})
                return
        await self.app(scope, receive, send)


def allowed_hosts(listen_host: str) -> Optional[Set[str]]:
    """The Host names a server listening on `listen_host` answers to: the
    loopback names for a loopback address, any for others (a token guards
    those)."""
    if not is_loopback(listen_host):
        return None
    hosts = {"localhost", "127.0.0.1", "::1", listen_host.lower().strip("[]")}
    return hosts
