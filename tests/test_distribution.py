"""The suite tests the installed distribution, not the source tree, and the
documentation site it ships loads nothing from other hosts."""

from __future__ import annotations

import importlib.metadata
import json
import pathlib
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]
SCRIPTS = ROOT / "scripts"


def editable() -> bool:
    text = importlib.metadata.distribution("cnc_api_client_core").read_text("direct_url.json")
    return bool(text and json.loads(text).get("dir_info", {}).get("editable"))


@pytest.mark.skipif(editable(), reason="an editable install serves the source tree on purpose")
def test_suite_runs_against_the_installed_distribution(tmp_path: pathlib.Path) -> None:
    # From a folder outside the tree, as a user's script would run.
    proc = subprocess.run(
        [sys.executable, str(SCRIPTS / "smoke.py")], cwd=tmp_path, capture_output=True, text=True, timeout=60
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert "OK" in proc.stdout


def test_module_version_is_the_distributions() -> None:
    import cnc_api_client_core

    assert cnc_api_client_core.__version__ == importlib.metadata.version("cnc_api_client_core")


def test_metadata_claims_exactly_the_tested_interpreters() -> None:
    meta = importlib.metadata.metadata("cnc_api_client_core")
    assert sorted(meta["Requires-Python"].split(",")) == ["<3.14", ">=3.11"]
    versions = {
        c.rsplit(" :: ", 1)[1]
        for c in meta.get_all("Classifier") or []
        if c.startswith("Programming Language :: Python :: 3.")
    }
    assert versions == {"3.11", "3.12", "3.13"}
    assert f"{sys.version_info.major}.{sys.version_info.minor}" in versions


def site(tmp_path: pathlib.Path, page: str, css: str = "") -> pathlib.Path:
    (tmp_path / "index.html").write_text(f"<html><head>{page}</head><body><a href='https://example.org'>x</a></body>")
    (tmp_path / "assets").mkdir()
    (tmp_path / "assets" / "main.css").write_text(css)
    return tmp_path


@pytest.mark.parametrize(
    "page, css, clean",
    [
        ("<link rel='stylesheet' href='assets/main.css'><script src='assets/a.js'></script>", "", True),
        ("<link rel='canonical' href='https://example.org/'>", "", True),
        ("<link rel='stylesheet' href='https://fonts.googleapis.com/css?family=Roboto'>", "", False),
        ("<script src='//cdn.example.org/x.js'></script>", "", False),
        ("<img src='http://example.org/logo.png'>", "", False),
        ("", "@import url('https://fonts.googleapis.com/css');", False),
        ("", "body { background: url(//example.org/bg.png) }", False),
    ],
    ids=["local", "canonical-link", "remote-font", "protocol-relative-script", "remote-image", "css-import", "css-url"],
)
def test_site_check_finds_remote_loads(tmp_path: pathlib.Path, page: str, css: str, clean: bool) -> None:
    proc = subprocess.run(
        [sys.executable, str(SCRIPTS / "check_site.py"), str(site(tmp_path, page, css))],
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert proc.returncode == (0 if clean else 1), proc.stderr
    assert ("another host" in proc.stderr) is not clean


RETURNS = (
    "<p><span class='doc-section-title'>Returns:</span></p>\n"
    "<table><thead><tr><th>Type</th></tr></thead><tbody>{}</tbody></table>"
)


@pytest.mark.parametrize("rows, clean", [(1, True), (2, False)], ids=["one-row", "split-into-rows"])
def test_site_check_finds_a_returns_description_split_into_rows(tmp_path: pathlib.Path, rows: int, clean: bool) -> None:
    built = site(tmp_path, "", "")
    (built / "index.html").write_text(RETURNS.format("<tr><td>bool</td></tr>" * rows))
    proc = subprocess.run([sys.executable, str(SCRIPTS / "check_site.py"), str(built)], capture_output=True, text=True)
    assert proc.returncode == (0 if clean else 1), proc.stderr
    assert ("Returns table of 2 rows" in proc.stderr) is not clean
