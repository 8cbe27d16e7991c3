"""Binary patches through the real program and nginx: version 2 is packed with
mirovane-pack --previous <version 1>, so the list names a patch for the host program from the
version installed. The patch alone is fetched when it applies; every way it can fail falls
back to the zipped file and still installs version 2. A signed list's patches are those it
names when signed."""
import hashlib
import re

import pytest

from conftest import win
from test_session import CHANGED, HOST1, HOST2, NEW, pack, session, tree  # noqa: F401 (session: fixture)
from test_signed import SKIP, Signed, keys, pack as pack_tool  # noqa: F401 (keys: fixture)

OK_STAGES = [0, 1, 3, 4, 6, 7, 9, 10, 12, 13]


def publish_with_patches(s, *opts):
    code, out = pack(s.v2, s.nginx.root / "u", "--main-list", "main.xml", "--previous", win(s.v1), *opts)
    assert code == 0, out
    patch = s.nginx.root / "u" / (s.app + "." + hashlib.sha256(HOST1.read_bytes()).hexdigest()[:16] + ".zpatch")
    assert patch.exists(), out
    return patch


def other_result_patch(s):
    """A patch from version 1 that rebuilds other bytes than version 2's host program, with its
    own size and hash in the served list: it applies, and the result fails the file's sha256."""
    other = s.tmp / "v2other"
    other.mkdir()
    (other / s.app).write_bytes(HOST2.read_bytes()[:-15] + b"not the release")  # the size the list says
    code, out = pack(other, s.tmp / "otherp", "--previous", win(s.v1))
    assert code == 0, out
    return next((s.tmp / "otherp").glob(s.app + ".*.zpatch")).read_bytes()


def served_file_requests(s):
    return [r.path for r in s.nginx.requests() if r.method == "GET" and s.app in r.path]


CASES = {
    # case: (what is changed before the session, the reason logged; None: the patch applies)
    "applies": None,
    "wrong-base": "no patch for the installed version",
    "damaged-patch": "the patch does not match its sha256",
    "result-fails-its-hash": "the rebuilt file does not match its sha256",
    "missing-patch": "failed",
}


@pytest.mark.parametrize("case", list(CASES))
def test_patch_or_fall_back_to_the_file(session, case):
    s = session()
    patch = publish_with_patches(s)
    listed = s.nginx.root / "u" / "mirovane.xml"
    if case == "wrong-base":
        (s.dir / s.app).write_bytes(HOST1.read_bytes() + b"changed by someone")
    elif case == "damaged-patch":
        data = bytearray(patch.read_bytes())
        data[len(data) // 2] ^= 0x20
        patch.write_bytes(bytes(data))
    elif case == "result-fails-its-hash":
        other = other_result_patch(s)
        patch.write_bytes(other)
        text = listed.read_text(encoding="utf-8")
        text, n = re.subn(r'(<patch [^>]*path="%s\.[^"]*" size=")\d+(" sha256=")[0-9a-f]{64}' % re.escape(s.app),
                          lambda m: m.group(1) + str(len(other)) + m.group(2) + hashlib.sha256(other).hexdigest(), text)
        assert n == 1
        listed.write_text(text, encoding="utf-8")
    elif case == "missing-patch":
        patch.unlink()

    if case in ("applies", "damaged-patch"):
        # The publisher's check before upload sees what the updater would.
        code, out = pack_tool("--verify", win(s.nginx.root / "u"))
        assert (code, "its patch" in out) == ((0, False) if case == "applies" else (1, True)), out
    s.watch()
    assert s.watched() == (OK_STAGES, CHANGED), s.log()
    assert s.installed_is_new()
    assert s.restarted_version() == "version 2"
    requests = served_file_requests(s)
    log = s.log()
    if CASES[case] is None:
        assert set(requests) == {"/u/" + patch.name}, requests
        assert f"patch applied[{s.app}]" in log
        assert "patch not used" not in log, log
    else:
        assert requests and requests[-1] == f"/u/{s.app}._.zip", requests
        assert set(requests) <= {"/u/" + patch.name, f"/u/{s.app}._.zip"}, requests
        lines = [l for l in log.splitlines() if "patch not used" in l]
        assert len(lines) == 1 and f"patch not used[{s.app}]" in lines[0] and CASES[case] in lines[0], log
        assert f"patch applied[{s.app}]" not in log
    # Nothing of the patch is left in the download directory.
    assert not list(s.temp.rglob("*.zpatch"))


@pytest.mark.parametrize("case", ["named-when-signed", "added-after-signing", "unnamed-beside-the-file"])
def test_signed_list_patches_are_those_it_names(session, nginx, keys, case):
    r = Signed(session, nginx, keys)
    s = r.s
    if case == "named-when-signed":
        r.publish("vendor", "--previous", win(s.v1))
    else:
        # A valid patch, made with the same tool, served where a patch would be.
        made = s.tmp / "made"
        code, out = pack(s.v2, made, "--previous", win(s.v1))
        assert code == 0, out
        patch = next(made.glob(s.app + ".*.zpatch"))
        (r.folder / patch.name).write_bytes(patch.read_bytes())
        if case == "added-after-signing":
            element = re.search(r'<patch [^>]*path="%s\.[^>]*/>' % re.escape(s.app),
                                (made / "mirovane.xml").read_text(encoding="utf-8")).group(0)
            listed = r.folder / "mirovane.xml"
            text = listed.read_text(encoding="utf-8")
            text = re.sub(r'(<file path="%s"[^>]*)/>' % re.escape(s.app), lambda m: m.group(1) + ">" + element + "</file>",
                          text)
            assert element in text
            listed.write_text(text, encoding="utf-8")
    stages, code = r.run()
    requests = served_file_requests(s)
    if case == "added-after-signing":
        assert "mirovane.xml] refused: its signature does not match" in s.log()
        assert requests == [] and tree(s.dir, SKIP) == tree(s.v1)
        return
    assert (stages, code) == (OK_STAGES, CHANGED), s.log()
    assert tree(s.dir, SKIP) == {**NEW, s.app: HOST2.read_bytes()}
    if case == "named-when-signed":
        assert len(set(requests)) == 1 and requests[0].endswith(".zpatch"), requests
        assert f"patch applied[{s.app}]" in s.log()
    else:
        assert set(requests) == {f"/u/{s.app}._.zip"}, requests
        assert "patch applied" not in s.log() and "patch not used" not in s.log()
