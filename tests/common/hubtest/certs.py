"""Certificates for the hub, made by openssl in one place."""

import os
import shutil
import subprocess
import tempfile


def make_pem(path, key_type="rsa:2048", days=30):
    d = tempfile.mkdtemp(prefix="relayhub-pem-")
    try:
        subprocess.run(
            ["openssl", "req", "-x509", "-newkey", key_type, "-nodes", "-days", str(days),
             "-keyout", os.path.join(d, "key.pem"), "-out", os.path.join(d, "cert.pem"),
             "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost"],
            check=True, capture_output=True, timeout=120)
        with open(path, "wb") as out:
            for name in ("cert.pem", "key.pem"):
                with open(os.path.join(d, name), "rb") as f:
                    out.write(f.read())
    finally:
        shutil.rmtree(d, ignore_errors=True)


_pem_cache = {}


def cached_pem(path):
    """A certificate made by openssl once per test process, copied to `path`."""
    if "default" not in _pem_cache:
        d = tempfile.mkdtemp(prefix="relayhub-pem-cache-")
        made = os.path.join(d, "relayhub.pem")
        make_pem(made)
        with open(made, "rb") as f:
            _pem_cache["default"] = f.read()
        shutil.rmtree(d, ignore_errors=True)
    with open(path, "wb") as f:
        f.write(_pem_cache["default"])
