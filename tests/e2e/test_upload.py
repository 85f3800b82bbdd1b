"""The log archive and its anonymous upload at the end of a completed run,
against a stand-in diagnostics service on loopback (HTTPS with a test
authority trusted in the prefix only, which publishes its revocation list,
and plain HTTP through the same address override)."""
import io
import os
import re
import sys
import time
import xml.etree.ElementTree as ElementTree
import zipfile
from pathlib import Path

import pytest

from upload_server import API_KEY, ODD_ID, RevocationListServer, UploadServer
from version_server import LoopbackAuthority, SilentServer, closed_port
from winebed import LAUNCH, TOOL_FOLDER

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools"))
from simulated_agent import seed_agent  # noqa: E402

MiB = 1 << 20
THANKS = "Thank you for using ZRA Cleanup Utility...\n"
FINISHED = "\nFinished, Thank you for your support.\n"
DONE = "\nHalvora ZRA removal is complete.\nPress any key to exit..."
ENTRIES = ["CleanupToolLog.txt", "UninstallLog.xml", "manifest.xml"]
# A service that never answers holds the end of the run for about a minute
# at most (the upload's budget); Wine's own start and end are on top.
SILENT_BOUND = 80.0


@pytest.fixture(scope="module")
def revocation_list():
    server = RevocationListServer()
    yield server
    server.close()


@pytest.fixture(scope="module")
def authority(tmp_path_factory, module_prefix, revocation_list):
    ca = LoopbackAuthority(tmp_path_factory.mktemp("ca"), crl_url=revocation_list.url)
    revocation_list.publish(ca.crl())
    ca.trust(module_prefix)
    return ca


@pytest.fixture(params=["https", "http"])
def service(request, authority):
    server = UploadServer(authority.server_context() if request.param == "https" else None)
    yield server
    server.close()


@pytest.fixture
def http_service():
    server = UploadServer()
    yield server
    server.close()


def finish_run(prefix, base_url, *args, input=b""):
    """A run that creates no step and goes straight to the finishing work."""
    return prefix.run(*args, "/Step", "9", input=input, env={"ZRA_UPLOAD_BASE_URL": base_url})


def text_log(prefix) -> bytes:
    return (prefix.log_folder / "CleanupToolLog.txt").read_bytes()


def temp_file(prefix, name):
    return prefix.unix_path(prefix.temp_folder + "\\" + name)


def archives_left(prefix):
    return sorted(p.name for p in prefix.log_folder.glob("*.zip"))


def upload_lines(prefix):
    """The upload's own lines of the text log, without their time stamps."""
    lines = text_log(prefix).decode("cp1252").split("\r\n")
    return [line.split("\t", 1)[1] for line in lines
            if "\tUploadLogFilesAnonymous" in line or "\tOrroUploader" in line]


def snapshot_at_bundle(prefix, service):
    """Copies the log files as they are when the service is asked for an
    upload id, i.e. after the archive was made and before it is sent."""
    seen = {}

    def snapshot(size):
        seen["text"] = text_log(prefix)
        seen["result"] = (prefix.log_folder / "UninstallLog.xml").read_bytes()
        seen["manifest"] = temp_file(prefix, "manifest.xml").read_bytes()
        seen["archives"] = archives_left(prefix)
        seen["size"] = size

    service.on_bundle = snapshot
    return seen


def manifest_fields(document: bytes):
    root = ElementTree.fromstring(document)
    assert root.tag == "DataInfo"
    tool = root.find("ClientTool")
    return {
        "UTCDate": root.findtext("UTCDate"), "Date": root.findtext("Date"), "Product": root.findtext("Product"),
        "ProductVersion": root.findtext("ProductVersion"), "ClientTool.Name": tool.get("Name"),
        "ClientTool.Version": tool.get("Version"), "UploadUser": root.findtext("UploadUser"),
        "SiteID": root.findtext("SiteID"), "SiteName": root.findtext("SiteName"),
    }


def test_completed_run_uploads_its_logs(prefix, service):
    seen = snapshot_at_bundle(prefix, service)
    result = finish_run(prefix, service.base_url, "/silent")
    assert result.exit_code == 0
    assert result.text == ""
    assert service.header_errors == []

    # One upload, put together by the service, unzips to exactly the three
    # files as they were on disk.
    [upload] = service.completed
    data = upload.data()
    assert seen["size"] == len(data)
    archive = zipfile.ZipFile(io.BytesIO(data))
    assert archive.testzip() is None
    assert archive.namelist() == ENTRIES
    assert all(info.compress_type == zipfile.ZIP_DEFLATED for info in archive.infolist())
    assert archive.read("UninstallLog.xml") == seen["result"]
    assert archive.read("manifest.xml") == seen["manifest"]
    # The text log was taken as it stood; the two lines after it are the
    # archive's own.
    packed = archive.read("CleanupToolLog.txt")
    assert seen["text"].startswith(packed)
    later = seen["text"][len(packed):].decode("cp1252").split("\r\n")
    assert re.fullmatch(r"\S+ \S+\tUploadLogFilesAnonymous : Manifest file C:\\tests\\.*\\Temp\\manifest.xml Added\.",
                        later[0]), later
    assert re.fullmatch(r"\S+ \S+\tUploadLogFilesAnonymous : Archive file C:\\tests\\.*\\Temp\\halvora\\ZraCleanup\\"
                        r"ZraCleanupLogs_\d{8}_\d{9}\.zip created\.", later[1]), later
    assert seen["archives"] == [re.search(r"(ZraCleanupLogs_\d+_\d+\.zip)", later[1]).group(1)]

    # The calls: one id for the archive's size, one chunk at offset 0.
    paths = [request["path"] for request in service.requests]
    assert paths == [f"/feeds/api/bundle/?size={len(data)}",
                     f"/feeds/api/upload_raw_chunk/?id={upload.id}&offset=0"]
    assert service.requests[0]["headers"]["Authorization"] == "PK  " + API_KEY
    assert upload_lines(prefix)[2:] == [f"OrroUploader::AnonymousUpload : Upload Id is {upload.id}",
                                        "UploadLogFilesAnonymous : Upload Successful"]
    # The archive is gone; manifest and site identity stay in the temp folder.
    assert archives_left(prefix) == []
    assert temp_file(prefix, "manifest.xml").exists()
    assert temp_file(prefix, "Site.txt").exists()


def test_manifest_fields_and_site_identity(prefix, http_service):
    finish_run(prefix, http_service.base_url, "/silent")
    first = zipfile.ZipFile(io.BytesIO(http_service.completed[0].data())).read("manifest.xml")
    assert first.endswith(b"</DataInfo>\r\n") and first.count(b"\n") == 1
    fields = manifest_fields(first)
    site = temp_file(prefix, "Site.txt").read_bytes()
    assert re.fullmatch(rb"[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\r\n", site), site
    assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ", fields.pop("UTCDate"))
    assert re.fullmatch(r"\d\d/\d\d/\d{4} \d\d:\d\d:\d\d", fields.pop("Date"))
    assert fields == {"Product": "Zorander", "ProductVersion": "", "ClientTool.Name": "ZRACleanupTool",
                      "ClientTool.Version": "1.0.3.0", "UploadUser": "Anonymous",
                      "SiteID": site.decode().strip(), "SiteName": "ZRACleanupTool"}

    # A second upload from the machine reuses the identity.
    finish_run(prefix, http_service.base_url, "/silent")
    second = zipfile.ZipFile(io.BytesIO(http_service.completed[1].data())).read("manifest.xml")
    assert manifest_fields(second)["SiteID"] == site.decode().strip()
    assert temp_file(prefix, "Site.txt").read_bytes() == site

    # An identity file written by someone else: its first line, cut to 39
    # characters, goes into the manifest as text, markup and all.
    temp_file(prefix, "Site.txt").write_bytes(b"<site & \"co\">" + b"x" * 40 + b"\r\nsecond line\r\n")
    finish_run(prefix, http_service.base_url, "/silent")
    third = zipfile.ZipFile(io.BytesIO(http_service.completed[2].data())).read("manifest.xml")
    assert manifest_fields(third)["SiteID"] == ("<site & \"co\">" + "x" * 40)[:39]


def test_interactive_run_thanks_the_user(prefix, http_service):
    result = finish_run(prefix, http_service.base_url, input=b"\n")
    assert result.exit_code == 0
    assert result.text == THANKS + "Continuing cleanup\n" + FINISHED + DONE
    assert len(http_service.completed) == 1


def test_archive_over_two_mib_goes_in_three_chunks(prefix, http_service):
    # Random bytes do not compress: the archive is a little over 2.5 MiB.
    prefix.log_folder.mkdir(parents=True, exist_ok=True)
    padding = os.urandom(5 * MiB // 2)
    (prefix.log_folder / "CleanupToolLog.txt").write_bytes(padding)
    finish_run(prefix, http_service.base_url, "/silent")
    [upload] = http_service.completed
    size = upload.size
    assert 5 * MiB // 2 < size < 3 * MiB
    chunks = http_service.chunk_requests()
    assert [re.search(r"offset=(\d+)$", r["path"]).group(1) for r in chunks] == ["0", str(MiB), str(2 * MiB)]
    assert [r["body_length"] for r in chunks] == [MiB, MiB, size - 2 * MiB]
    packed = zipfile.ZipFile(io.BytesIO(upload.data())).read("CleanupToolLog.txt")
    assert packed.startswith(padding)


def test_upload_id_is_carried_intact_in_the_chunk_urls(prefix, http_service):
    http_service.fail("bundle", "odd-id")
    finish_run(prefix, http_service.base_url, "/silent")
    [upload] = http_service.completed
    assert upload.id == ODD_ID
    assert [r["path"] for r in http_service.chunk_requests()] == [
        "/feeds/api/upload_raw_chunk/?id=a%20b%26c%3Dd%2Fe%2Bf%3Fg%23h&offset=0"]


@pytest.mark.parametrize("fault", ["no-colon", "no-brace", "500"])
def test_upload_id_not_given_three_times(prefix, http_service, fault):
    http_service.fail("bundle", fault, times=3)
    result = finish_run(prefix, http_service.base_url, input=b"\n")
    assert result.exit_code == 0
    assert result.text == THANKS + "Continuing cleanup\n" + FINISHED + DONE
    assert [r["kind"] for r in http_service.requests] == ["bundle"] * 3
    assert upload_lines(prefix)[2:] == [
        "OrroUploader::AnonymousUpload : upload Id is empty", "UploadLogFilesAnonymous : Retry 1",
        "OrroUploader::AnonymousUpload : upload Id is empty", "UploadLogFilesAnonymous : Retry 2",
        "OrroUploader::AnonymousUpload : upload Id is empty", "UploadLogFilesAnonymous : Retry 3"]
    assert archives_left(prefix) == []


@pytest.mark.parametrize("fault", ["no-complete", "500", "reset"])
def test_refused_chunk_is_sent_again(prefix, http_service, fault):
    http_service.fail("chunk", fault, times=2)
    finish_run(prefix, http_service.base_url, "/silent")
    [upload] = http_service.completed
    assert zipfile.ZipFile(io.BytesIO(upload.data())).testzip() is None
    chunks = http_service.chunk_requests()
    assert [r["path"] for r in chunks] == [f"/feeds/api/upload_raw_chunk/?id={upload.id}&offset=0"] * 3
    assert [r["fault"] for r in chunks] == [fault, fault, None]
    assert [line for line in upload_lines(prefix) if "Retry" in line] == []
    assert upload_lines(prefix)[-1] == "UploadLogFilesAnonymous : Upload Successful"
    assert archives_left(prefix) == []


def test_chunk_refused_three_times_starts_the_upload_again(prefix, http_service):
    http_service.fail("chunk", "no-complete", times=3)
    finish_run(prefix, http_service.base_url, "/silent")
    assert [r["kind"] for r in http_service.requests] == ["bundle"] + ["chunk"] * 3 + ["bundle", "chunk"]
    [upload] = http_service.completed
    assert zipfile.ZipFile(io.BytesIO(upload.data())).namelist() == ENTRIES
    lines = upload_lines(prefix)[2:]
    assert [line.split(" is ")[0] for line in lines] == [
        "OrroUploader::AnonymousUpload : Upload Id", "UploadLogFilesAnonymous : Retry 1",
        "OrroUploader::AnonymousUpload : Upload Id", "UploadLogFilesAnonymous : Upload Successful"]


def test_three_failed_uploads(prefix, http_service):
    http_service.fail("chunk", "500", times=9)
    result = finish_run(prefix, http_service.base_url, input=b"\n")
    assert result.exit_code == 0
    assert result.text == THANKS + "Continuing cleanup\n" + FINISHED + DONE
    assert [r["kind"] for r in http_service.requests] == (["bundle"] + ["chunk"] * 3) * 3
    assert [line for line in upload_lines(prefix) if "Retry" in line] == [
        f"UploadLogFilesAnonymous : Retry {n}" for n in (1, 2, 3)]
    assert archives_left(prefix) == []


def test_no_service_at_all(prefix):
    started = time.monotonic()
    result = finish_run(prefix, f"http://127.0.0.1:{closed_port()}/feeds/api", input=b"\n")
    elapsed = time.monotonic() - started
    assert result.exit_code == 0
    assert result.text == THANKS + "Continuing cleanup\n" + FINISHED + DONE
    assert upload_lines(prefix)[2:] == [
        "OrroUploader::AnonymousUpload : upload Id is empty", "UploadLogFilesAnonymous : Retry 1",
        "OrroUploader::AnonymousUpload : upload Id is empty", "UploadLogFilesAnonymous : Retry 2",
        "OrroUploader::AnonymousUpload : upload Id is empty", "UploadLogFilesAnonymous : Retry 3"]
    assert archives_left(prefix) == []
    assert elapsed < 30


@pytest.mark.parametrize("scheme", ["http", "https"])
def test_silent_service_is_given_up_in_bounded_time(prefix, scheme):
    silent = SilentServer()
    try:
        started = time.monotonic()
        result = finish_run(prefix, f"{scheme}://127.0.0.1:{silent.port}/feeds/api", input=b"\n")
        elapsed = time.monotonic() - started
    finally:
        silent.close()
    assert silent.connections, "the tool never connected"
    assert result.exit_code == 0
    assert result.text.endswith(FINISHED + DONE)
    assert [line for line in upload_lines(prefix) if "Retry" in line] == [
        f"UploadLogFilesAnonymous : Retry {n}" for n in (1, 2, 3)]
    assert archives_left(prefix) == []
    assert elapsed < SILENT_BOUND


def test_chunks_never_answered_end_with_the_budget(prefix, http_service):
    # Every chunk waits for its full receive time-out: nine of them would
    # take minutes; the upload's budget ends it after about one.
    http_service.fail("chunk", "silent", times=9)
    started = time.monotonic()
    result = finish_run(prefix, http_service.base_url, "/silent")
    elapsed = time.monotonic() - started
    assert result.exit_code == 0
    assert elapsed < SILENT_BOUND
    assert 2 <= len(http_service.chunk_requests()) < 9
    assert [line for line in upload_lines(prefix) if "Retry" in line] == [
        f"UploadLogFilesAnonymous : Retry {n}" for n in (1, 2, 3)]
    assert archives_left(prefix) == []


@pytest.fixture
def own_authority(prefix, tmp_path):
    """An authority of the test's own, trusted in the prefix, whose
    revocation list the test publishes."""
    crl = RevocationListServer()
    ca = LoopbackAuthority(tmp_path / "ca", crl_url=crl.url)
    ca.trust(prefix)
    server = UploadServer(ca.server_context())
    yield ca, crl, server
    server.close()
    crl.close()


def test_certificate_without_reachable_revocation_list_is_refused(prefix, own_authority):
    # The upload asks for the revocation of the service's certificate to be
    # checked: a list that cannot be fetched stops the request.
    ca, crl, server = own_authority
    finish_run(prefix, server.base_url, "/silent")
    assert crl.fetches >= 1
    assert server.requests == []
    assert [line for line in upload_lines(prefix) if "Retry" in line] == [
        f"UploadLogFilesAnonymous : Retry {n}" for n in (1, 2, 3)]


def test_revoked_service_certificate_is_refused(prefix, own_authority):
    ca, crl, server = own_authority
    crl.publish(ca.crl(revoke_server=True))
    finish_run(prefix, server.base_url, "/silent")
    assert crl.fetches >= 1
    if server.requests:
        pytest.skip("Wine 8 fetches the revocation list but does not refuse a certificate listed in it")
    assert [line for line in upload_lines(prefix) if "Retry" in line] == [
        f"UploadLogFilesAnonymous : Retry {n}" for n in (1, 2, 3)]


def test_disabled_upload_sends_nothing(prefix, http_service):
    result = finish_run(prefix, http_service.base_url, "/DISABLEEXPERIENCEMETRICS", input=b"\n")
    assert result.exit_code == 0
    assert result.text == THANKS + "Continuing cleanup\n" + DONE
    assert http_service.requests == []
    assert upload_lines(prefix) == []
    assert archives_left(prefix) == []
    assert not temp_file(prefix, "manifest.xml").exists()


def test_cleanup_of_a_simulated_agent_uploads_its_logs(fresh_prefix, http_service, tmp_path):
    seed_agent(fresh_prefix, LAUNCH.parent, tmp_path / "packages", log=lambda line: None)
    seen = snapshot_at_bundle(fresh_prefix, http_service)
    env = {"ZRA_UPLOAD_BASE_URL": http_service.base_url}
    # The agent's packages and drivers take two restarts, replayed from
    # RunOnce as Windows does at the next logon; the last run uploads.
    result = fresh_prefix.run("/silent", env=env)
    assert result.exit_code == 1
    assert fresh_prefix.run(program=TOOL_FOLDER + "\\zra-runonce.exe", env=env).exit_code == 1
    assert http_service.completed == []
    result = fresh_prefix.run(program=TOOL_FOLDER + "\\zra-runonce.exe", env=env)
    assert result.exit_code == 0
    [upload] = http_service.completed
    archive = zipfile.ZipFile(io.BytesIO(upload.data()))
    assert archive.testzip() is None
    assert archive.read("UninstallLog.xml") == seen["result"]
    assert seen["text"].startswith(archive.read("CleanupToolLog.txt"))
    assert manifest_fields(archive.read("manifest.xml"))["ProductVersion"] == "24.3.1.2207"
    assert archives_left(fresh_prefix) == []
