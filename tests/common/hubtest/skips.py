"""Tests skipped by name where the hub runs under an emulator.

RELAYHUB_SKIPS names a file of lines "Class.test_method  reason" (blank lines
and lines starting with # are ignored). A listed test is reported as skipped
with its reason instead of run; every other test runs as usual.
"""

import os
import unittest


def _load(path):
    skips = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.strip()
            if not line or line.startswith("#"):
                continue
            name, _, reason = line.partition(" ")
            skips[name] = reason.strip() or "listed in " + path
    return skips


def install():
    path = os.environ.get("RELAYHUB_SKIPS", "")
    if not path:
        return
    skips = _load(path)
    original_run = unittest.TestCase.run

    def run(self, result=None):
        name = "%s.%s" % (type(self).__name__, self._testMethodName)
        reason = skips.get(name)
        if reason:
            method = getattr(self, self._testMethodName)
            setattr(self, self._testMethodName, unittest.skip(reason)(method))
        return original_run(self, result)

    unittest.TestCase.run = run
