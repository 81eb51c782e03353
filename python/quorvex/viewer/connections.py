"""The viewer's HTTP connections: uvicorn's HTTP/1.1 protocol with read deadlines.

uvicorn closes a connection idle between two requests (its keep-alive timeout), but waits for
ever on one that never finishes sending a request: such connections would pile up until the
process runs out of them. Here the headers of a request must arrive within `header_timeout`
of its first byte (of the connection's opening, for the first), and a body may not pause
for longer than `body_timeout`; past that the connection is dropped.
"""

from __future__ import annotations

import asyncio
from typing import Any

import h11
from uvicorn.protocols.http.h11_impl import H11Protocol

HEADER_TIMEOUT = 10.0  # seconds; a browser sends its headers at once
BODY_TIMEOUT = 30.0  # seconds without a byte of a body being sent


class TimedH11Protocol(H11Protocol):
    def __init__(self, config: Any, *args: Any, **options: Any) -> None:
        super().__init__(config, *args, **options)
        self.header_timeout: float = getattr(config, "header_timeout", HEADER_TIMEOUT)
        self.body_timeout: float = getattr(config, "body_timeout", BODY_TIMEOUT)
        self._deadline: asyncio.TimerHandle | None = None
        self._handed_over = False  # to the WebSocket protocol, which has deadlines of its own

    def connection_made(self, transport: asyncio.Transport) -> None:  # type: ignore[override]
        super().connection_made(transport)
        self._arm(self.header_timeout)

    def connection_lost(self, exc: Exception | None) -> None:
        self._disarm()
        super().connection_lost(exc)

    def data_received(self, data: bytes) -> None:
        super().data_received(data)
        if self._handed_over or self.transport.is_closing():
            self._disarm()
            return
        state = self.conn.their_state
        if state is h11.IDLE:  # part of a request line or headers: the deadline runs from their first byte
            if self._deadline is None:
                self._arm(self.header_timeout)
        elif state is h11.SEND_BODY:
            self._arm(self.body_timeout)
        else:
            self._disarm()

    def on_response_complete(self) -> None:
        self._disarm()  # the keep-alive timeout takes over until the next request's first byte
        super().on_response_complete()

    def handle_websocket_upgrade(self, event: h11.Request) -> None:
        # The WebSocket protocol owns the connection from here, with its pings; h11 still
        # takes the upgrade request for one with a body to come, which no deadline may end.
        self._handed_over = True
        self._disarm()
        super().handle_websocket_upgrade(event)

    def _arm(self, timeout: float) -> None:
        self._disarm()
        self._deadline = self.loop.call_later(timeout, self._expired, timeout)

    def _disarm(self) -> None:
        if self._deadline is not None:
            self._deadline.cancel()
            self._deadline = None

    def _expired(self, timeout: float) -> None:
        self._deadline = None
        state = self.conn.their_state
        if state is h11.SEND_BODY and self.flow.read_paused:
            self._arm(timeout)  # the application has not read what came yet: not the client's delay
        elif state in (h11.IDLE, h11.SEND_BODY) and not self.transport.is_closing():
            self.transport.abort()


def drop_connections(connections: set[Any]) -> None:
    """Ends every connection at once, bytes still queued for it or not (a closing transport
    waits for a client that stopped reading to take them, which it may never do)."""
    for connection in list(connections):
        transport = getattr(connection, "transport", None)
        if transport is not None:
            transport.abort()
