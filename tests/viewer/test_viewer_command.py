"""`quorvex viewer` as a user starts it: a process that serves until Ctrl+C."""

import http.cookiejar
import json
import os
import signal
import subprocess
import sys
import urllib.error
import urllib.request

import pytest

COMMAND = [sys.executable, "-m", "quorvex.viewer"]
# `quorvex viewer` through the package's command line, as the console script runs it.
SUBCOMMAND = [sys.executable, "-m", "quorvex", "viewer"]


def refused(url, **headers):
    with pytest.raises(urllib.error.HTTPError) as refusal:
        urllib.request.urlopen(urllib.request.Request(url, headers=headers), timeout=10)
    return refusal.value.code == 403


@pytest.mark.parametrize("command, options", [(COMMAND, []), (SUBCOMMAND, ["--no-token"])],
                         ids=["module", "subcommand-no-token"])
def test_serves_the_page_until_interrupted(emu, command, options):
    process = subprocess.Popen([*command, "--port", "0", "--camera", "1", *options],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    watching = None
    try:
        line = process.stderr.readline()
        assert line.startswith("quorvex viewer: serving on 127.0.0.1 port "), line
        address = process.stdout.readline().strip()
        base = address.split("?")[0]
        assert base.startswith("http://127.0.0.1:") and base.endswith("/")
        if options:
            assert address == base
        else:
            assert address.startswith(base + "?token=") and len(address) > len(base) + 40
            assert refused(base) and refused(base + "api/cameras") and refused(base + "api/cameras?token=guess")
        assert refused(base + "api/cameras", Host="attacker.example")
        # As a browser: the address with the token, then its cookie.
        browser = urllib.request.build_opener(urllib.request.HTTPCookieProcessor(http.cookiejar.CookieJar()))
        with browser.open(address, timeout=10) as page:
            assert b"Quorvex viewer" in page.read() and page.url == base
        with browser.open(base + "api/cameras", timeout=10) as listing:
            assert json.load(listing)["shown"] == [1]
        # A page still open, its endless stream included, does not hold up stopping.
        watching = browser.open(base + "api/cameras/1/stream.mjpg", timeout=10)
        assert b"image/jpeg" in watching.read(300)
    finally:
        process.send_signal(signal.SIGINT)
        _, rest = process.communicate(timeout=20)
        if watching is not None:
            watching.close()
    assert process.returncode == 0
    # No error (such as streams cancelled at the end of a grace period), no traceback, and none
    # of the library's own warnings.
    assert "ERROR" not in rest and "Traceback" not in rest and "warning" not in rest


@pytest.mark.parametrize("command", [COMMAND, SUBCOMMAND], ids=["module", "subcommand"])
@pytest.mark.parametrize("arguments, message", [
    (["--camera", "7"], "no camera 7 (3 found)"),
    (["--port", "70000"], "port 70000 is not between 0 and 65535"),
    (["--host", "192.0.2.1"], "cannot listen on 192.0.2.1:8000"),
    # A FIFO nobody writes: refused, not waited on.
    (["--recording", "{tmp}/fifo.qxrec"], "cannot play the recording: {tmp}/fifo.qxrec is not a regular file"),
    (["--host", "0.0.0.0", "--no-token"], "--no-token is refused on 0.0.0.0"),
])
def test_refuses_what_it_cannot_serve_with_one_line(emu, tmp_path, command, arguments, message):
    os.mkfifo(tmp_path / "fifo.qxrec")
    arguments = [argument.replace("{tmp}", str(tmp_path)) for argument in arguments]
    message = message.replace("{tmp}", str(tmp_path))
    result = subprocess.run([*command, *arguments], capture_output=True, text=True, timeout=60)
    assert result.returncode == 1
    assert result.stderr.startswith(f"quorvex viewer: {message}") and result.stderr.count("\n") == 1
