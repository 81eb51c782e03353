"""Who may use the viewer.

A request is served only when it comes to a name the viewer answers to (its Host header:
a web page on another site that re-points its own name at this machine gets no further),
from the viewer's own page or from no page at all (Origin, Sec-Fetch-Site), and, when the
viewer has a token, with that token: once as `?token=` in the address, which the page
exchanges for a cookie, or in a header, for scripts. A refused request gets 403; a refused
WebSocket is closed before it is accepted, which the server answers with 403 as well.
"""

from __future__ import annotations

import hmac
import secrets
from collections.abc import Collection
from urllib.parse import parse_qsl, urlencode

from starlette.datastructures import Headers
from starlette.requests import cookie_parser
from starlette.responses import JSONResponse, RedirectResponse
from starlette.types import ASGIApp, Receive, Scope, Send

from quorvex._net import is_loopback

LOOPBACK_NAMES = frozenset({"localhost", "127.0.0.1", "::1"})
TOKEN_HEADER = "x-quorvex-token"


def new_token() -> str:
    return secrets.token_urlsafe(32)


def loopback_names(host: str) -> frozenset[str]:
    """The names a viewer listening on loopback address `host` answers to, whatever the port:
    an SSH tunnel may bring it to another port on the machine the browser runs on."""
    return LOOPBACK_NAMES | {host.strip("[]").lower()}


def host_name(value: str) -> str | None:
    """The name or address of a Host header without its port; None for a malformed one."""
    value = value.strip().lower()
    if value.startswith("["):
        end = value.find("]")
        name, rest = (value[1:end], value[end + 1:]) if end > 0 else ("", "")
    else:
        name, colon, port = value.partition(":")
        rest = colon + port
    if rest and not (rest.startswith(":") and rest[1:].isdigit()):
        return None
    return name or None


def cookie_name(scope: Scope) -> str:
    # One per port, so that two viewers on one machine do not replace each other's cookie.
    server = scope.get("server")
    return f"quorvex-viewer-{server[1]}" if server and server[1] else "quorvex-viewer"


class Guard:
    """ASGI middleware refusing what the viewer does not serve. `token` None serves without
    one; `hosts` None answers to any Host (a viewer that needs its token on every request)."""

    def __init__(self, app: ASGIApp, token: str | None = None, hosts: Collection[str] | None = None) -> None:
        self.app = app
        self.token = token
        self.hosts = frozenset(host.strip("[]").lower() for host in hosts) if hosts is not None else None

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] not in ("http", "websocket"):
            await self.app(scope, receive, send)
            return
        headers = Headers(scope=scope)
        refusal = self._foreign(scope, headers)
        if refusal is None and self.token is not None:
            given = self._tokens(scope, headers)
            matching = [place for place, token in given if hmac.compare_digest(token.encode(), self.token.encode())]
            if not matching:
                refusal = ("the viewer's token is wrong: open the address `quorvex viewer` printed last" if given else
                           "this viewer needs its token: open the address `quorvex viewer` printed, with its ?token=")
            elif "query" in matching and scope["type"] == "http" and scope["method"] in ("GET", "HEAD") \
                    and scope["path"] == "/":
                await self._exchange_for_cookie(scope, receive, send)
                return
        if refusal is None:
            await self.app(scope, receive, send)
        elif scope["type"] == "websocket":
            await receive()  # the connect message
            # A close reason is at most 123 bytes.
            reason = refusal.encode()[:120].decode(errors="ignore")
            await send({"type": "websocket.close", "code": 1008, "reason": reason})
        else:
            await JSONResponse({"error": refusal}, status_code=403)(scope, receive, send)

    def _foreign(self, scope: Scope, headers: Headers) -> str | None:
        """Why a request comes from somewhere the viewer does not serve, or None."""
        host = headers.get("host", "")
        if self.hosts is not None and host_name(host) not in self.hosts:
            return f"this viewer answers to {', '.join(sorted(self.hosts))}, not to {host!r}"
        origin = headers.get("origin")
        scheme = {"ws": "http", "wss": "https"}.get(scope.get("scheme", "http"), scope.get("scheme", "http"))
        if origin is not None and origin.lower() != f"{scheme}://{host}".lower():
            return f"requests from another site's page ({origin}) are refused"
        # A page elsewhere may not embed the viewer's pictures either; following a link to it is fine.
        site = headers.get("sec-fetch-site")
        if site in ("cross-site", "same-site") and (
                headers.get("sec-fetch-mode") != "navigate" or scope.get("method") not in ("GET", "HEAD")):
            return "requests from another site's page are refused"
        return None

    @staticmethod
    def _tokens(scope: Scope, headers: Headers) -> list[tuple[str, str]]:
        """Every token the request carries, with where it came from."""
        found = [("query", value) for key, value in parse_qsl(scope.get("query_string", b"").decode("latin-1"))
                 if key == "token"]
        if TOKEN_HEADER in headers:
            found.append(("header", headers[TOKEN_HEADER]))
        scheme, _, value = headers.get("authorization", "").partition(" ")
        if scheme.lower() in ("token", "bearer") and value:
            found.append(("header", value.strip()))
        cookie = cookie_parser(headers.get("cookie", "")).get(cookie_name(scope))
        if cookie:
            found.append(("cookie", cookie))
        return found

    async def _exchange_for_cookie(self, scope: Scope, receive: Receive, send: Send) -> None:
        # The page's address without the token, so that it stays out of the history and of
        # anything the address is shared with.
        rest = [(key, value) for key, value in parse_qsl(scope["query_string"].decode("latin-1"), keep_blank_values=True)
                if key != "token"]
        response = RedirectResponse("/" + (f"?{urlencode(rest)}" if rest else ""), status_code=303)
        response.set_cookie(cookie_name(scope), str(self.token), httponly=True, samesite="strict", path="/")
        await response(scope, receive, send)
