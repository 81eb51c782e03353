import pytest

from starlette.testclient import TestClient

from quorvex.viewer.access import loopback_names, new_token
from quorvex.viewer.server import create_app
from viewer_support import running_server

@pytest.fixture
def client(emu):
    """The viewer's application behind Starlette's test client; its cameras close afterwards."""
    with TestClient(create_app()) as test_client:
        yield test_client

@pytest.fixture
def served(emu):
    """A real viewer on a free port: (base URL, its application)."""
    app = create_app([0, 1])
    with running_server(app) as url:
        yield url, app

@pytest.fixture
def served_page(emu, tmp_path):
    """A real viewer that needs its token, as `quorvex viewer` serves it: (the page's address
    with the token, as the command prints it, its application). Its recordings go to a
    temporary folder."""
    token = new_token()
    app = create_app([0, 1], recordings=tmp_path / "recordings", token=token, hosts=loopback_names("127.0.0.1"))
    with running_server(app) as url:
        yield f"{url}/?token={token}", app
