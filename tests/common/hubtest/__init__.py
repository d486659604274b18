"""What the end-to-end tests of every folder share.

  hub              the relayhub process of one test and its connection log
  certs            certificates, made by openssl
  streams          raw TCP and TLS byte-stream clients
  ws_clients       hand-written RFC 6455 and hixie-76 clients
  library_clients  Python websockets, Node ws, openssl s_client
  browser          headless Chromium on a page, reporting by itself or driven
  skips            tests skipped by name (RELAYHUB_SKIPS), with the reason

CTest puts tests/common on PYTHONPATH and names the built program in
RELAYHUB_BIN; to run one test file by hand from its folder:
  PYTHONPATH=../common RELAYHUB_BIN=$PWD/../../build/relayhub python3 test_x.py
RELAYHUB_WRAPPER is put in front of the program (for example wine64 for the
Windows build, see scripts/test-windows).
"""

from hubtest import skips as _skips

_skips.install()
