"""The bridge's front door: a listener that reads each WebSocket handshake, refuses those a web
page or a DNS-rebinding page makes, and splices the others through to the Foxglove SDK's server
(which checks neither `Origin` nor `Host`, and offers no hook to do so).

WebSockets are not bound by the browser's same-origin rules: any page the user visits may open
`ws://127.0.0.1:8765`. A browser always sends `Origin`, so a connection with one must come from
an allowed origin; tools that are not browsers send none. A DNS-rebinding page reaches the port
under its own hostname, hence `Host` must be a loopback address or the address bound to.
"""

from __future__ import annotations

import asyncio
import ipaddress
import os
import socket
import threading
from collections.abc import Iterable
from urllib.parse import urlsplit

HEAD_LIMIT = 16 * 1024  # bytes of a request head
HEAD_TIMEOUT = 5.0  # seconds for a client to send its request head
CHUNK = 64 * 1024
DEFAULT_ORIGINS = ("https://app.foxglove.dev",)


def _address(host: str) -> ipaddress.IPv4Address | ipaddress.IPv6Address | None:
    try:
        return ipaddress.ip_address(host.strip("[]"))
    except ValueError:
        return None


def normal_origin(origin: str) -> str:
    """`origin` as browsers send it (scheme://host[:port], lower case); ValueError if it is not one."""
    text = origin.strip().lower().rstrip("/")
    try:
        parts = urlsplit(text)
        _ = parts.port  # ValueError for a port that is not a number
    except ValueError:
        parts = None
    if parts is None or parts.scheme not in ("http", "https") or not parts.hostname or parts.path \
            or parts.query or parts.fragment or parts.username is not None:
        raise ValueError(f"an allowed origin is scheme://host[:port], such as https://example.com, not {origin!r}")
    return text


def origin_allowed(origin: str | None, allowed: Iterable[str]) -> bool:
    """Whether a handshake's `Origin` passes: none (not a browser), a loopback origin (a page this
    machine serves), or one of `allowed` (normalized)."""
    if origin is None:
        return True
    try:
        origin = normal_origin(origin)
    except ValueError:
        return False  # "null" (sandboxed pages, files) included
    return origin in allowed or urlsplit(origin).hostname in ("localhost", "127.0.0.1", "::1")


def host_allowed(host: str | None, bound: str) -> bool:
    """Whether a handshake's `Host` (name[:port]) names this bridge for a listener on `bound`: a
    loopback address, or the address bound to. A hostname other than localhost is refused (it
    could be one rebound to this machine). Bound to every address (0.0.0.0, ::), any IP address
    passes, since such clients reach one of this machine's addresses by number."""
    if not host:
        return False
    host = host.strip().lower()
    if host.startswith("["):  # [IPv6]:port
        name = host[: host.find("]") + 1]
    else:
        name = host.rsplit(":", 1)[0] if host.count(":") == 1 else host
    if name == "localhost":
        return True
    address = _address(name)
    if address is None:
        return False
    if address.is_loopback:
        return True
    listening = _address(bound)
    if listening is None:
        return False
    return listening.is_unspecified or address == listening


def _headers(head: bytes) -> dict[str, list[str]]:
    fields: dict[str, list[str]] = {}
    for line in head.decode("latin-1").split("\r\n")[1:]:
        name, colon, value = line.partition(":")
        if colon:
            fields.setdefault(name.strip().lower(), []).append(value.strip())
    return fields


def refusal(head: bytes, bound: str, allowed: Iterable[str]) -> str | None:
    """Why the request `head` is refused, or None when it may pass."""
    fields = _headers(head)
    hosts, origins = fields.get("host", []), fields.get("origin", [])
    if len(hosts) != 1 or not host_allowed(hosts[0], bound):
        return "Host must name a loopback address or the address the bridge listens on"
    if len(origins) > 1 or not origin_allowed(origins[0] if origins else None, allowed):
        return "this Origin may not watch the cameras (quorvex bridge --allow-origin ORIGIN allows one)"
    return None


class Guard:
    """Listens on `host`:`port` on its own thread and passes each allowed handshake, and all that
    follows, to `upstream_port` of 127.0.0.1 (`upstream_host`)."""

    def __init__(self, host: str, port: int, upstream_host: str, upstream_port: int,
                 allowed_origins: Iterable[str]) -> None:
        self.upstream = upstream_host, upstream_port
        self.allowed = frozenset(allowed_origins)
        self._socket = _bind(host, port)
        # The address, not the name it was given by: a client that names this machine must do so by number.
        self.address, self.port = self._socket.getsockname()[:2]
        self._loop = asyncio.new_event_loop()
        self._connections: set[asyncio.Task[None]] = set()
        self._server: asyncio.Server | None = None
        ready = threading.Event()
        self._thread = threading.Thread(target=self._run, args=(ready,), name="quorvex-bridge-guard", daemon=True)
        self._thread.start()
        ready.wait()

    def _run(self, ready: threading.Event) -> None:
        asyncio.set_event_loop(self._loop)

        async def listen() -> None:
            self._server = await asyncio.start_server(self._serve, sock=self._socket, limit=HEAD_LIMIT)

        try:
            self._loop.run_until_complete(listen())
        finally:
            ready.set()
        self._loop.run_forever()

    async def _serve(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        task = asyncio.current_task()
        assert task is not None
        self._connections.add(task)
        upstream: asyncio.StreamWriter | None = None
        try:
            try:
                head = await asyncio.wait_for(reader.readuntil(b"\r\n\r\n"), HEAD_TIMEOUT)
            except (asyncio.LimitOverrunError, asyncio.IncompleteReadError, TimeoutError, ValueError):
                return  # too long, too slow or cut short: no request to answer
            reason = refusal(head, self.address, self.allowed)
            if reason is not None:
                body = (reason + "\n").encode()
                writer.write(b"HTTP/1.1 403 Forbidden\r\nContent-Type: text/plain; charset=utf-8\r\n"
                             b"Content-Length: %d\r\nConnection: close\r\n\r\n%s" % (len(body), body))
                await writer.drain()
                return
            upstream_reader, upstream = await asyncio.open_connection(*self.upstream)
            upstream.write(head)
            pumps = [asyncio.ensure_future(_pump(reader, upstream)),
                     asyncio.ensure_future(_pump(upstream_reader, writer))]
            try:
                await asyncio.wait(pumps, return_when=asyncio.FIRST_COMPLETED)
            finally:
                for pump in pumps:
                    pump.cancel()
                await asyncio.gather(*pumps, return_exceptions=True)
        except OSError:
            pass  # either side went away
        except asyncio.CancelledError:  # the bridge is closing: what is left unsent goes too
            for stream in (writer, upstream):
                if stream is not None:
                    stream.transport.abort()
            raise
        finally:
            for stream in (writer, upstream):
                if stream is not None:
                    stream.close()
            self._connections.discard(task)

    def close(self) -> None:
        """Stops listening and ends every connection; the port is released when it returns."""
        if self._loop.is_closed():
            return

        async def stop() -> None:
            if self._server is not None:
                self._server.close()
            for connection in list(self._connections):
                connection.cancel()
            await asyncio.gather(*self._connections, return_exceptions=True)
            for _ in range(2):
                await asyncio.sleep(0)  # the transports close their sockets on the loop's next turns

        if self._thread.is_alive():
            asyncio.run_coroutine_threadsafe(stop(), self._loop).result()
            self._loop.call_soon_threadsafe(self._loop.stop)
            self._thread.join()
        self._socket.close()
        self._loop.close()


async def _pump(reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
    while data := await reader.read(CHUNK):
        writer.write(data)
        await writer.drain()  # a slow side holds the other back instead of filling memory


def _bind(host: str, port: int) -> socket.socket:
    """A listening socket on `host`:`port`; OSError in one line when it cannot be had."""
    try:
        family, kind, protocol, _, address = socket.getaddrinfo(host, port, type=socket.SOCK_STREAM,
                                                                flags=socket.AI_PASSIVE)[0]
        listener = socket.socket(family, kind, protocol)
    except OSError as failure:
        raise OSError(f"cannot listen on {host}:{port}: {failure.strerror or failure}") from None
    try:
        if os.name == "posix":  # as servers do there: a port left in TIME_WAIT can be bound again
            listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.bind(address)
        listener.listen(128)
    except OSError as failure:
        listener.close()
        raise OSError(f"cannot listen on {host}:{port}: {failure.strerror or failure}") from None
    listener.setblocking(False)
    return listener
