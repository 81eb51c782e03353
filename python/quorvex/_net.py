"""What the package's servers (the viewer, the bridge) ask of an address."""

import ipaddress


def is_loopback(host: str) -> bool:
    """Whether `host` is reached only from this machine (localhost, 127.0.0.0/8, ::1)."""
    host = host.strip("[]").lower()
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False
