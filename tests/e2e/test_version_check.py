"""The latest-version check of every start, shown through /version, against
a stand-in version host on loopback (HTTPS with a test authority trusted in
the prefix only, and plain HTTP through the same address override)."""
import itertools
import re
import time

import pytest

from version_server import (LoopbackAuthority, RecordingProxy, SilentServer, TricklingHeadersServer, VersionServer,
                            closed_port)

OWN = "1.0.3.0"
HEADER = f"ZRA cleanup utility version {OWN}\n"
OFFLINE = HEADER + "Cannot connect to the network to determine the latest version.\n"
LATEST = HEADER + "You are using the latest version.\n"
# However the network behaves, start-up waits at most about 10 seconds for
# the version text; Wine's own start is on top of that.
START_UP_BOUND = 15.0


@pytest.fixture(scope="module")
def authority(tmp_path_factory, module_prefix):
    ca = LoopbackAuthority(tmp_path_factory.mktemp("ca"))
    ca.trust(module_prefix)
    return ca


@pytest.fixture
def https_server(authority):
    server = VersionServer(authority.server_context())
    yield server
    server.close()


@pytest.fixture
def http_server():
    server = VersionServer()
    yield server
    server.close()


@pytest.fixture
def silent_server():
    server = SilentServer()
    yield server
    server.close()


def version_report(prefix, url, *args):
    result = prefix.run(*args, "/version", env={"ZRA_VERSION_URL": url})
    assert result.exit_code == 0
    return result.text


def timed_report(prefix, url):
    started = time.monotonic()
    text = version_report(prefix, url)
    return text, time.monotonic() - started


def text_log(prefix) -> bytes:
    return (prefix.log_folder / "CleanupToolLog.txt").read_bytes()


@pytest.mark.parametrize("body, expected", [
    (b"1.0.10.0", HEADER + "There is a new version 1.0.10.0 available.\n"),
    (b"2.0.0.0\r\n", HEADER + "There is a new version 2.0.0.0 available.\n"),
    (OWN.encode() + b"\r\n", LATEST),
    (b"1.0.2.99", LATEST),
])
def test_https_version_text(prefix, https_server, body, expected):
    https_server.answer(200, body)
    assert version_report(prefix, https_server.url) == expected
    path, headers = https_server.requests[-1]
    assert path == "/zcu/ZCUVersion.txt"
    assert headers.get("User-Agent") == "ZRACleanupTool"


def test_first_argument_test_host_switch_keeps_the_override(prefix, https_server):
    https_server.answer(200, b"3.1.0.0")
    assert version_report(prefix, https_server.url, "-CDNTEST") == (
        HEADER + "There is a new version 3.1.0.0 available.\n")
    assert len(https_server.requests) == 1


@pytest.mark.parametrize("body, expected", [
    # The status is never looked at: the body counts whatever it holds.
    (b"9.9.9.9 not found", HEADER + "There is a new version 9.9.9.9 available.\n"),
    (b"<html><body><h1>404 Not Found</h1></body></html>", OFFLINE),
])
def test_not_found_page_is_taken_as_the_answer(prefix, http_server, body, expected):
    http_server.answer(404, body)
    assert version_report(prefix, http_server.url) == expected
    assert http_server.requests[-1][0] == "/zcu/ZCUVersion.txt"


def test_body_arriving_in_pieces_is_joined(prefix, http_server):
    http_server.answer_in_pieces(200, [b"1.", b"0.", b"4", b".7"], pause=0.3)
    assert version_report(prefix, http_server.url) == HEADER + "There is a new version 1.0.4.7 available.\n"


def test_broken_connection_keeps_what_was_read_and_logs_the_failure(prefix, http_server):
    http_server.answer_then_reset(200, b"6.1.0.2", length=100)
    assert version_report(prefix, http_server.url) == HEADER + "There is a new version 6.1.0.2 available.\n"
    # Which of the two calls meets the reset depends on timing; either
    # logs its failure with the error code.
    assert re.search(rb"\tGetLatestVersionInfo: (Error: Failed to Query dataAvailable|Read Data Failure, Error Code:)"
                     rb" \d+\r\n", text_log(prefix)), text_log(prefix)


def test_huge_body_is_cut_and_still_read(prefix, http_server):
    http_server.answer(200, b"4.0.0.0" + b"x" * (4 << 20))
    text, elapsed = timed_report(prefix, http_server.url)
    assert text == HEADER + "There is a new version 4.0.0.0 available.\n"
    assert elapsed < START_UP_BOUND


def test_no_server_is_offline_at_once_and_logs_nothing(prefix):
    text, elapsed = timed_report(prefix, f"http://127.0.0.1:{closed_port()}/zcu/ZCUVersion.txt")
    assert text == OFFLINE
    assert elapsed < 8.0
    # Connection failures are silent in the text log.
    assert b"GetLatestVersionInfo" not in text_log(prefix)


@pytest.mark.parametrize("scheme", ["http", "https"])
def test_server_that_never_answers_delays_start_up_boundedly(prefix, silent_server, scheme):
    text, elapsed = timed_report(prefix, f"{scheme}://127.0.0.1:{silent_server.port}/zcu/ZCUVersion.txt")
    assert text == OFFLINE
    assert silent_server.connections, "the tool never connected"
    assert elapsed < START_UP_BOUND


def test_trickling_body_is_given_up_within_the_bound(prefix, http_server):
    # One byte a second, for far longer than the bound.
    http_server.answer_in_pieces(200, itertools.chain([b"9.0.0."], itertools.repeat(b"1")), pause=1.0,
                                 length=1000)
    text, elapsed = timed_report(prefix, http_server.url)
    assert elapsed < START_UP_BOUND
    # What arrived before the deadline is the answer.
    assert text.startswith(HEADER + "There is a new version 9.0.0.1"), text


def test_trickling_headers_are_given_up_within_the_bound(prefix):
    # The status line and headers arrive one byte at a time: every single
    # read is quick, the whole answer would take about a minute.
    server = TricklingHeadersServer()
    try:
        text, elapsed = timed_report(prefix, f"http://127.0.0.1:{server.port}/zcu/ZCUVersion.txt")
    finally:
        server.close()
    assert server.connections, "the tool never connected"
    assert text == OFFLINE
    assert elapsed < START_UP_BOUND


def test_untrusted_certificate_is_refused(fresh_prefix, tmp_path):
    # The authority is trusted in no prefix here.
    stranger = LoopbackAuthority(tmp_path / "ca")
    server = VersionServer(stranger.server_context())
    try:
        server.answer(200, b"5.0.0.0")
        assert version_report(fresh_prefix, server.url) == OFFLINE
        assert server.requests == []
    finally:
        server.close()


@pytest.fixture
def proxy():
    server = RecordingProxy()
    yield server
    server.close()


@pytest.mark.parametrize("args, host", [
    ([], "tools.halvora.example:443"),
    (["/cdntest"], "cdntest.halvora.example:443"),
    (["-CDNTEST"], "cdntest.halvora.example:443"),
    (["/silent", "/cdntest"], "tools.halvora.example:443"),
])
def test_fixed_hosts_without_override(prefix, proxy, args, host):
    # Without the address override the fixed hosts apply; a refusing proxy
    # on loopback shows which one is asked for.
    result = prefix.run(*args, "/version", env={"ZRA_VERSION_URL": "", "http_proxy": proxy.url})
    assert result.exit_code == 0
    assert result.text == OFFLINE
    assert proxy.request_lines == [f"CONNECT {host} HTTP/1.1"]
